// Compressor of a particle's line list back into the instrument's line-data payload, with 8-byte
// line numbers (the layout line_decoder reads for format 3): one block per run of consecutive
// line numbers, code widths chosen per block from the block's own values, a run of identical
// lines coded as one explicit line and repetition codes. Owns its output buffer (valid until the
// next call) and a repetition table, of which a call touches only the entries of its own lines.
// Never allocates; never writes outside its buffer; never prints except the fatal "cmpr_frm
// exceede \n" (the caller reports an uncodable image).
//
// Output (little-endian):
//   offset  width  type    meaning
//   0       2      int16   n_lin = the number of lines
//   2       ...            blocks, back to back
//
// Block as written here:
//   offset  width  type    meaning
//   0       4      uint32  block header (bits 0-13 block length, 14-23 x offset = smallest x_beg
//                          of piece 0 over the block, 24-27 nb_dark, 28-31 nb_light)
//   4       8      double  y_count of the block's first line
//   12      rest           code stream, ending with the end code (light 0, flag 1) and then the
//                          writer's last 32 accumulator bits as 4 bytes
//
// Code widths: nb = 2 + index of the highest bit set among bits 1..9 of the block's largest
// value (light: 1, the largest gap, repetition count and first-piece offset, at most 1023;
// dark: 1 and the largest piece length); so 1 -> 2, 2..3 -> 3, ..., 512..1023 -> 11.
#pragma once

#include <cstdint>

#include "base/byte_order.h"
#include "lines/line_records.h"

namespace dp {

inline constexpr int32_t k_frame_limit = 16381;  ///< longest image: with its 2-byte length, 16383

/// Bit writer: codes packed least significant bit first into 16-bit little-endian words. It never
/// writes at or beyond cap; a word that would reach past it sets the sticky overflow flag.
struct bit_writer {
  uint8_t* buf = nullptr;  ///< the whole output buffer
  int32_t cap = 0;         ///< bytes of buf that may be written
  int32_t pos = 0;         ///< next word goes to buf[pos]
  uint32_t acc = 0;        ///< bits not yet written, the oldest in bit 0
  int32_t count = 0;       ///< bits held in acc, at most 31
  bool overflow = false;   ///< a write was refused
};

/// Resets w for a code stream starting at buf[pos].
inline void put_bits_reset(bit_writer& w, uint8_t* buf, int32_t cap, int32_t pos) {
  w.buf = buf;
  w.cap = cap;
  w.pos = pos;
  w.acc = 0;
  w.count = 0;
  w.overflow = false;
}

/// Appends one code of width 1..15: the low width-1 bits of value, then the flag bit.
inline void put_bits(bit_writer& w, uint32_t value, int width, bool flag) {
  value &= (1u << (width - 1)) - 1u;
  if (flag) value |= 1u << (width - 1);
  if (w.count >= 32 - width) {
    if (w.pos + 2 <= w.cap) store_le16(w.buf + w.pos, static_cast<uint16_t>(w.acc));
    else w.overflow = true;
    w.acc >>= 16;
    w.count -= 16;
    w.pos += 2;
  }
  w.acc |= value << w.count;
  w.count += width;
}

/// Closes a code stream: the accumulator's 4 bytes, whatever it holds.
inline void put_bits_end(bit_writer& w) {
  if (w.pos + 4 <= w.cap) store_le32(w.buf + w.pos, w.acc);
  else w.overflow = true;
  w.pos += 4;
}

/// Compresses lines[0..n) (each 1..6 pieces in column order); *len receives the output length
/// (2-byte count included), *buf the output. Returns 1, or 0 when a line cannot be coded (a
/// first-piece column outside 0..1023, a gap or piece length outside 0..1023, a piece ending
/// beyond 1024, not 1..6 pieces; n negative): found before anything is written, *len and *buf
/// untouched, nothing printed.
/// An image longer than 16381 bytes ends the program with "cmpr_frm exceede \n".
int16_t cmpr_frm(int16_t n, const line_rec* lines, int16_t* len, const uint8_t** buf);

}  // namespace dp
