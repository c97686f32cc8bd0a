// Particle output: turns a matched pair into the particle record of the .sno: evaluates it,
// compresses camera A's image and then camera B's, stages both image blocks behind the record's
// 30-byte head and enforces the length limit; or drops the pair. Keeps no state; reads oldlen of
// the particle writer for len_prev. Writes only the diagnostics below to the error log.
//
// Particle record (little-endian, packed):
//   off         width  type     field
//   0           2      int16    indic         total length = 34 + img_len_A + img_len_B, < 16382
//   2           2      int16    len_prev      length of the record before it in the .sno
//   4           8      float64  y_start       first line of the A particle
//   12          2      int16    eq_diam       mm x 100, truncated
//   14          2      int16    line_no_A
//   16          2      int16    line_no_diff  low byte of line_no(B) - line_no(A), as int8, widened
//   18          2      int16    diff_lins     trunc(dy_start) + trunc(dy_end), low 16 bits
//   20          2      int16    x_min_A
//   22          2      int16    x_min_B
//   24          2      int16    scale_h       mm per line x 10000, truncated
//   26          2      int16    scale_a       mm per pixel x 10000, truncated
//   28          2      int16    scale_b       mm per pixel x 10000, truncated
//   ---- head ends; the staging area holds the rest, from its offset 0 ----
//   30          2      int16    img_len_A     length of img_A (its 2-byte line count included)
//   32          n_A    bytes    img_A         cmpr_frm output for the A particle
//   32+n_A      2      int16    img_len_B
//   34+n_A      n_B    bytes    img_B         cmpr_frm output for the B particle
//
// A 16-bit field gets the low 16 bits of the truncated value; a value that is not finite or lies
// outside the 64-bit range stores 0. Products (eq_diam x 100, scale x 10000) are formed in double.
//
// Diagnostics (error log): "particle lost due to length overflow \n" for a record of 16382 bytes
// or more (dropped); "cmpr_frm: image of camera A ..." / "... B ..." when an image cannot be coded
// (dropped); the five eq_diam lines when eq_diam < 0.01 (the record is produced all the same).
#pragma once

#include <cstdint>

#include "lines/line_records.h"
#include "output/particle_eval.h"

namespace dp {

inline constexpr int k_sno_head = 30;
inline constexpr int k_img_stage = 240000;
inline constexpr int32_t k_max_record = 16382;  ///< a record must be shorter than this

/// Builds the record of pair (a, b), evaluated from in: head[0..30) and the tail in stage
/// (indic - 30 bytes); len_prev is the length of the record before it. Returns 1 when complete, 0 when the pair is
/// dropped.
int pix_out(const particle_rec* a, const particle_rec* b, const eval_inputs& in, int16_t len_prev, uint8_t* stage,
            uint8_t head[k_sno_head]);

/// The 16-bit field of v: low 16 bits of trunc(v); 0 when v is not finite or outside int64.
int16_t field16(double v);

}  // namespace dp
