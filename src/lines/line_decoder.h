// Decoder of one line-data payload (record types 1 and 2, and the images of the particle file)
// into the line array its caller hands it. It reads only the payload bytes it is handed, never a file, and no read
// ever leaves that payload or the block it is decoding. A payload that ends too early, or whose
// counts, widths or columns cannot be right, is rejected with one error-log line, which names the
// record's offset in the raw file when the caller knows it; the record's own diagnostics (too
// many lines, repetition first, seventh piece, missing gap) keep their texts.
// Owns no state between calls: the bit reader and the saved line live in one call. Never
// allocates, never writes beyond the 2000 lines of that array.
//
// Payload (little-endian):
//   offset  width  type    meaning
//   0       2      int16   n_lin: lines of the record over all its blocks; 0 = no lines
//   2       ...            line blocks, back to back, until n_lin lines have been produced
//
// Line block (a run of lines with consecutive line numbers):
//   offset  width  type    meaning
//   0       4      uint32  block header, bit field below
//   4       4      uint32  formats 1 and 2: line number of the block's first line
//   4       8      double  format 3: line number of the block's first line
//   8 / 12  rest           code stream, 16-bit little-endian words, up to the block length
//
// Block header:
//   31    28 27    24 23              14 13                     0
//   +-------+--------+------------------+-----------------------+
//   |nb_lght|nb_dark |  x offset 0..1023|  block length in bytes |
//   +-------+--------+------------------+-----------------------+
//   The length counts the header, the line number and the code stream.
//
// Code stream: stream bit k is bit (k mod 16) of word (k div 16). A code of width n is n-1 value
// bits (least significant first) and then one flag bit. Per line, the first code is a light one:
//   flag 1, value 0   end of block
//   flag 1, value r   the record's last explicit line repeated r more times
//   flag 0, value v   explicit line: piece 0 starts at x offset + v; then per piece a dark code
//                     (length in pixels, flag = last piece) and, before each further piece, a
//                     light code (gap of lit pixels, flag 0). At most 6 pieces.
#pragma once

#include <cstdint>

#include "base/byte_order.h"
#include "lines/line_records.h"

namespace dp {

/// Bit reader over one block's code stream. The window holds the last two words loaded; a load
/// looks one word ahead of the codes, and a word beyond the block loads as zeros. A code that
/// needs a bit beyond the block's code stream reads as zeros and sets the sticky overrun flag.
struct bit_reader {
  const uint8_t* block = nullptr;  ///< first byte of the block (its header)
  int32_t end = 0;                 ///< block length: the code stream ends here
  int32_t offset = 0;              ///< next word to load, in bytes from the block's start
  uint32_t window = 0;             ///< upper half: last word loaded, lower half: the one before
  int32_t bitpos = 32;             ///< next unread bit of the window
  bool overrun = false;            ///< a code ran past the block; stays set until the reset
};

/// Resets r for a block of block_len bytes whose code stream starts at byte start (8 or 12).
inline void get_bits_reset(bit_reader& r, const uint8_t* block, int32_t block_len, int32_t start) {
  r.block = block;
  r.end = block_len;
  r.offset = start;
  r.window = 0;
  r.bitpos = 32;
  r.overrun = false;
}

/// Reads one code of width 1..15: returns its value (width-1 bits) and stores its flag bit.
inline uint32_t get_bits(bit_reader& r, int width, int* flag) {
  if (r.bitpos >= 16) {
    uint32_t w = 0;
    if (r.offset + 2 <= r.end) w = load_le16(r.block + r.offset);
    else if (r.offset < r.end) w = r.block[r.offset];
    r.window = (r.window >> 16) | (w << 16);
    r.offset += 2;
    r.bitpos -= 16;
  }
  // Bits of the block not read yet; once negative it stays negative, so the overrun is sticky.
  const int32_t avail = (r.end - r.offset) * 8 + 32 - r.bitpos;
  if (width > avail) {
    r.overrun = true;
    r.bitpos += width;
    *flag = 0;
    return 0;
  }
  const uint32_t bits = r.window >> r.bitpos;
  r.bitpos += width;
  *flag = static_cast<int>((bits >> (width - 1)) & 1u);
  return bits & ((1u << (width - 1)) - 1u);
}

/// Decodes the payload p[0..len) of raw-file format `format` (3: 8-byte line numbers, else 4-byte)
/// into out, which has room for k_line_buf_size lines; stores the line count in *n_lin. Returns 1
/// when out[0..*n_lin) is valid, 0 (and *n_lin = 0) when the record holds no lines or is rejected.
/// record_at is the record's offset in the raw file, which a rejection line ends with as
/// " (record at offset N)"; -1 when unknown (the line without it).
int16_t decmpr(const uint8_t* p, int32_t len, int16_t format, line_rec* out, int16_t* n_lin, int64_t record_at);

}  // namespace dp
