// The particle file writer: collects particle records in a 100000-byte buffer and appends them
// to the .sno in blocks (forced, more than 3 s after the last flush, or when the buffer is full),
// indexing each record's minute in pix_bf; every block rewrites the tables at the head of the
// .shd and the .abh.
// Owns the buffer and the writer state below (oldlen is shared with the main header step).
#pragma once

#include <cstdint>

#include "headers/timing_model.h"
#include "lines/line_records.h"

namespace dp {

inline constexpr int32_t k_sno_buf = 100000;

struct particle_writer_state {
  uint8_t sno_buf[k_sno_buf];
  int32_t sno_fill = 0;        ///< bytes used in sno_buf
  int16_t force_flush = 0;     ///< the next call flushes
  uint32_t last_flush = 0;     ///< calendar seconds of the last flush
  int16_t oldlen = 0;          ///< length of the record last placed in the .sno or the buffer
  double buffered_y = 0;       ///< y_start of the last record placed in the buffer
  double lastpix_y = 0;        ///< buffered_y at the last flush that wrote records
  int32_t sno_size = 0;        ///< bytes written to the .sno so far
  int32_t pix_bf[k_minutes];   ///< per minute, .sno offset of its first particle record, or -1
  int16_t minut_pix = 0;       ///< highest minute entered in pix_bf
  int32_t pix_end = 0;         ///< end of the .sno after the last write
  int32_t sno_pos = 0;         ///< .sno position saved before a flush
};

extern particle_writer_state writer;

/// Hands a matched pair to the writer (a and b both set), or with both null gives it a chance
/// to flush.
void net_wr(const particle_rec* a, const particle_rec* b);
/// Back to the start-up state (pix_bf as the output file set creates it).
void reset_particle_writer();

}  // namespace dp
