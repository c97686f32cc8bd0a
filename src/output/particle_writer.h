// The particle file writer: takes matched pairs, has each turned into a particle record, collects
// the records in a 100000-byte buffer and has the output file set append them to the .sno in
// blocks (forced, more than 3 s after the last flush, or when the buffer cannot take the next
// record), indexing each record's minute in pix_bf; every non-empty block rewrites the table parts
// at the head of the .shd and the .abh. New main headers go through it too, after the records
// before them. Owns the buffer and the writer state below. Never keeps a reference to a particle.
// What it reads of other units (the timing model's header list and position tables, the
// calibration tables, the current line frequency) it is handed by the caller: connect_writer
// before the first record, set_writer_line_frequency at every main header read.
// The layouts of the three files are described in output_files.h.
//
// Every failed operation of a flush ends the program with exit status 1: after a failed reopen
// every later record would be lost without notice; after a failed write, seek or table rewrite
// the files would no longer agree. The report line of the operation's label (perror form) comes
// first, then a line naming the file and the system's reason, on the console too. A block of
// records written in part is cut off, so the .sno ends with its last whole record.
#pragma once

#include <cstdint>

#include "headers/timing_model.h"
#include "lines/line_records.h"
#include "output/calibration.h"
#include "output/particle_output.h"

namespace dp {

inline constexpr int32_t k_sno_buf = 100000;
inline constexpr uint32_t k_flush_seconds = 3;  ///< a flush is due when more have passed

/// What the writer reads of the run without owning it.
struct writer_sources {
  const timing_state* timing = nullptr;      ///< header list (evaluation), posa_bf/posb_bf (.abh)
  const calibration_state* calib = nullptr;  ///< the evaluation's correction tables
};

struct particle_writer_state {
  writer_sources sources;
  double line_frequ = 0;       ///< of the main header read last: minutes of the .shd index
  uint8_t sno_buf[k_sno_buf];
  uint8_t img_stage[k_img_stage];  ///< tail of the record being built (from img_len_A on)
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

/// Gives the writer what it reads of other units; before the first net_wr or flush.
void connect_writer(const writer_sources& sources);
/// The line frequency of the main header read last (a repeated header's too).
void set_writer_line_frequency(double base_frequ);
/// Hands a matched pair to the writer (a and b both set), or with both null gives it a chance
/// to flush. Ends the program when the .sno is not open or an operation of a flush fails.
void net_wr(const particle_rec* a, const particle_rec* b);
/// Writes every buffered record out now (a forced flush).
void flush_particles();
/// Appends a new main header to the .shd and the .abh, flushes the particle records before it
/// and appends it to the .sno; the next particle record follows it. Ends the program when a file
/// cannot be written (the file and the system's reason named), leaving each file with whole
/// records.
void write_main_header(const main_hd& hd);
/// Back to the start-up state, not connected (pix_bf as the output file set creates it: entry 0 is 0, all
/// others -1; sno_size 0).
void reset_particle_writer();

}  // namespace dp
