// The acquisition unit's side of the raw data file: its own line-data encoder (blocks split where
// line numbers jump and now and then where they do not, repetition codes, code widths and x
// offsets varying from block to block, spare bytes after some code streams), the main-header
// payloads of formats 1, 2 and 3, and the records as the unit writes them: a camera writes its
// record when it is full (a line count drawn anew per record, or a byte bound), when the camera
// has seen no shadow for idle_lines lines, or when the record's first line lies span_lines back;
// records of both cameras and main headers reach the file in the order they were written.
// Owns only the oeu_state record of its caller; never prints (failures come back as results).
//
// Record (little-endian, back to back from the file's start):
//   offset  width  type    meaning
//   0       2      int16   type: 1 line data of camera A, 2 of camera B, 3 main header
//   2       2      int16   payload length in bytes
//   4       length         payload
//
// Line-data payload:
//   offset  width  type    meaning
//   0       2      int16   n_lin: lines over all blocks (1..1900 as written here)
//   2       ...            blocks, back to back
// Block:
//   0       4      uint32  block header, bit field below
//   4       8      double  format 3: line number of the block's first line
//   4       4      uint32  formats 1 and 2: the same
//   12 / 8  rest           code stream: 16-bit little-endian words, least significant bit first,
//                          then 0 or 2 spare bytes
// Block header:
//   31    28 27    24 23              14 13                     0
//   +-------+--------+------------------+-----------------------+
//   |nb_lght|nb_dark |  x offset 0..1023|  block length in bytes |
//   +-------+--------+------------------+-----------------------+
// A code of width n is n-1 value bits and a flag bit. Per line a light code opens: flag 1 value 0
// ends the block, flag 1 value r repeats the record's last explicit line r times, flag 0 value v
// starts piece 0 at x offset + v; then per piece a dark code (length; flag: last piece) and before
// each further piece a light code (gap, flag 0).
//
// Main-header payload, format 3 (56 bytes):
//   offset  width  type     field
//   0       2      int16    spare0 (0)
//   2       2      int16    data_format (the format number)
//   4       2      int16    oeu_nr
//   6       8      float64  base_frequ
//   14      2      int16    x_center
//   16      2      int16    gate1, gate2 (18)
//   20      4      float32  HBL, HBR (24), HFR (28)
//   32      4      float32  XSCALE0_1, XSCALE0_2 (36), L0_1 (40), L0_2 (44)
//   48      2      int16    ratio_den, ratio_num (50)
//   52      4      uint32   valid_since
// Format 2 (54 bytes): format 3 without x_center, the fields from gate1 on 2 bytes earlier.
// Format 1 (38 bytes):
//   0 int16 data_format (1) | 2 int16 oeu_nr | 4 int16 timer divisor | 6 int16 gate1 |
//   8 int16 gate2 | 10 float32 plane distance (HBL) | 14 XSCALE0_1 | 18 XSCALE0_2 | 22 L0_1 |
//   26 L0_2 | 30 int16 ratio_den | 32 int16 ratio_num | 34 uint32 valid_since
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "instrument.h"
#include "lines/line_records.h"
#include "rng.h"

namespace dp::abgen {

inline constexpr int k_record_lines = 1900;        ///< most lines one record takes
inline constexpr int32_t k_record_bytes = 28000;   ///< payload bound used to close a record
inline constexpr int32_t k_block_bytes = 15000;    ///< code-stream bound used to close a block

/// How freely the encoder varies its choices (probabilities; all 0: the plainest coding).
struct encode_style {
  double split = 0.01;  ///< per line: start a new block although the line numbers run on
  double slack = 0.5;   ///< per block: x offset below the block's smallest first column
  double wider = 0.4;   ///< per block and code kind: a code wider than its values need
  double spare = 0.3;   ///< per block: two spare bytes after the code stream
};

/// What the encoder wrote, summed over calls.
struct encode_stats {
  int64_t records = 0;
  int64_t blocks = 0;
  int64_t split_blocks = 0;     ///< blocks that continue the line numbers of the block before
  int64_t multi_block = 0;      ///< records of more than one block
  int64_t repetitions = 0;      ///< repetition codes
  int64_t repeated_lines = 0;   ///< lines coded by them
  int64_t width_used[16] = {};  ///< blocks by light code width (and by dark code width, added)
};

/// Appends the line-data payload of lines[0..n) (line numbers strictly rising, 1..6 pieces each,
/// columns 0..1023, n 1..2000) to out. Returns false, leaving out as it was, when they cannot be
/// coded in one record (payload over 32767 bytes or a block over 16383).
bool encode_payload(const line_rec* lines, int n, int16_t format, const encode_style& style,
                    rng& r, std::vector<uint8_t>& out, encode_stats* stats);

/// Appends the main-header payload of in's format, valid from valid_since, to out.
void header_payload(const instrument& in, uint32_t valid_since, std::vector<uint8_t>& out);

/// Appends one record (type, length, payload) to out.
void put_record(int16_t type, const std::vector<uint8_t>& payload, std::vector<uint8_t>& out);

/// One camera's record in the making.
struct oeu_camera {
  int16_t type = 1;               ///< record type: 1 camera A, 2 camera B
  std::vector<line_rec> lines;    ///< lines gathered
  int32_t bound = 0;              ///< upper bound of their payload's size in bytes
  int32_t max_lines = k_record_lines;  ///< the record is written when it holds this many lines
};

/// A record written by the unit, waiting for its turn in the file.
struct timed_record {
  double stamp = 0;   ///< line number of the moment the unit wrote it
  int16_t rank = 0;   ///< order among equal stamps: 0 header, 1 camera A, 2 camera B
  std::vector<uint8_t> bytes;  ///< the whole record
};

/// The unit and the file it writes.
struct oeu_state {
  instrument in;
  encode_style style;
  rng r;
  std::FILE* f = nullptr;
  int64_t idle_lines = 680;          ///< a camera idle this long writes its record
  int64_t span_lines = 1700;         ///< a record whose first line is this old is written
  int32_t min_lines = 200;           ///< record line counts are drawn from [min_lines, 1900]
  oeu_camera cam[2];
  std::vector<timed_record> waiting;
  std::vector<double> header_lines;  ///< line numbers of the main headers still to come
  std::vector<uint32_t> header_times;  ///< their valid_since
  size_t next_header = 0;
  std::vector<uint8_t> out;          ///< bytes not yet written to f
  std::vector<uint8_t> payload;      ///< the payload being coded
  uint64_t bytes = 0;                ///< bytes handed to the file so far
  int64_t headers_written = 0;
  encode_stats stats;
  bool failed = false;               ///< a write to f failed (the caller reports it)
  bool uncodable = false;            ///< a record could not be coded (never expected)
};

/// Prepares s to write to f; headers (line number, valid_since) rise and the first comes first.
void oeu_init(oeu_state& s, const instrument& in, std::FILE* f, uint64_t seed,
              const std::vector<double>& header_lines, const std::vector<uint32_t>& header_times);
/// Camera cam (0 A, 1 B) hands over its next shadowed line (line numbers rise).
void oeu_line(oeu_state& s, int cam, const line_rec& line);
/// Every line below frontier has been handed over: idle cameras write their records, and every
/// record written before frontier goes to the file.
void oeu_advance(oeu_state& s, double frontier);
/// End of the recording: the open records are written, headers up to end_line, all to the file.
void oeu_finish(oeu_state& s, double end_line);

}  // namespace dp::abgen
