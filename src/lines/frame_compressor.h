// Compressor of a particle's line list back into the instrument's line-data payload, with 8-byte
// line numbers (the layout line_decoder reads for format 3): one block per run of consecutive
// line numbers, code widths chosen per block from the block's own values, a run of identical
// lines coded as one explicit line and repetition codes. Owns its output buffer (valid until the
// next call), a repetition table and a table of block plans, of which a call touches only the
// entries of its own lines and blocks: one pass plans the blocks (and finds an uncodable line
// before anything is written), a second writes them. Never allocates; never writes outside its
// buffer; never prints except the fatal "cmpr_frm exceede \n" (the caller reports an uncodable
// image).
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

/// Bit writer: codes packed least significant bit first, stored 32 bits at a time. The stream it
/// leaves is the one of 16-bit words written whenever a code would fill 32 bits, closed by the
/// accumulator's last 4 bytes: put_bits_end works out that length from the number of bits. It
/// never writes at or beyond cap; a store that would reach past it sets the sticky overflow flag.
struct bit_writer {
  uint8_t* buf = nullptr;  ///< the whole output buffer
  int32_t cap = 0;         ///< bytes of buf that may be written
  int32_t base = 0;        ///< where the code stream starts in buf
  int32_t pos = 0;         ///< next 4 bytes go to buf[pos]
  uint64_t acc = 0;        ///< bits not yet written, the oldest in bit 0
  int32_t count = 0;       ///< bits held in acc, at most 31 between calls
  bool overflow = false;   ///< a write was refused
};

/// Resets w for a code stream starting at buf[pos].
inline void put_bits_reset(bit_writer& w, uint8_t* buf, int32_t cap, int32_t pos) {
  w.buf = buf;
  w.cap = cap;
  w.base = pos;
  w.pos = pos;
  w.acc = 0;
  w.count = 0;
  w.overflow = false;
}

/// Appends width 1..32 bits, the low bits of bits (the bits above must be 0).
inline void put_raw(bit_writer& w, uint32_t bits, int width) {
  w.acc |= static_cast<uint64_t>(bits) << w.count;
  w.count += width;
  if (w.count >= 32) {
    if (w.pos + 4 <= w.cap) store_le32(w.buf + w.pos, static_cast<uint32_t>(w.acc));
    else w.overflow = true;
    w.acc >>= 32;
    w.count -= 32;
    w.pos += 4;
  }
}

/// One code of width 1..15 as put_bits appends it: the low width-1 bits of value, then the flag.
inline uint32_t code_bits(uint32_t value, int width, bool flag) {
  value &= (1u << (width - 1)) - 1u;
  if (flag) value |= 1u << (width - 1);
  return value;
}

/// Appends one code of width 1..15: the low width-1 bits of value, then the flag bit.
inline void put_bits(bit_writer& w, uint32_t value, int width, bool flag) {
  put_raw(w, code_bits(value, width, flag), width);
}

/// Closes a code stream of t bits: 2 * (t / 16 - 1) bytes of 16-bit words (none below 32 bits),
/// then 4 bytes of what a 32-bit accumulator held, zero bits after the last code. The bytes stored
/// so far are a multiple of 4, so 2 or 4 remain.
inline void put_bits_end(bit_writer& w) {
  const int32_t bits = 8 * (w.pos - w.base) + w.count;
  const int32_t words = bits >= 32 ? bits / 16 - 1 : 0;
  const int32_t rest = w.base + 2 * words + 4 - w.pos;
  if (w.pos + rest > w.cap) w.overflow = true;
  else if (rest == 4) store_le32(w.buf + w.pos, static_cast<uint32_t>(w.acc));
  else store_le16(w.buf + w.pos, static_cast<uint16_t>(w.acc));
  w.pos += rest;
}

/// Compresses lines[0..n) (each 1..6 pieces in column order); *len receives the output length
/// (2-byte count included), *buf the output. Returns 1, or 0 when a line cannot be coded (a
/// first-piece column outside 0..1023, a gap or piece length outside 0..1023, a piece ending
/// beyond 1024, not 1..6 pieces; n negative): found before anything is written, *len and *buf
/// untouched, nothing printed.
/// An image longer than 16381 bytes ends the program with "cmpr_frm exceede \n".
int16_t cmpr_frm(int16_t n, const line_rec* lines, int16_t* len, const uint8_t** buf);

}  // namespace dp
