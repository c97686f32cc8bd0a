// Particle output: turns a matched pair into the particle record of the .sno, evaluated, with
// both compressed images staged behind its 30-byte head, or drops it.
//
// Particle record (little-endian):
//   off  type    field
//   0    int16   indic        total length = 34 + img_len_A + img_len_B
//   2    int16   len_prev     length of the record before it
//   4    float64 y_start      first line of the A particle
//   12   int16   eq_diam      mm x 100, truncated
//   14   int16   line_no_A
//   16   int16   line_no_diff low byte of line_no(B) - line_no(A), signed
//   18   int16   diff_lins    trunc(dy_start) + trunc(dy_end)
//   20   int16   x_min_A
//   22   int16   x_min_B
//   24   int16   scale_h      x 10000, truncated
//   26   int16   scale_a      x 10000, truncated
//   28   int16   scale_b      x 10000, truncated
//   30   int16   img_len_A, then img_A, int16 img_len_B, then img_B
#pragma once

#include <cstdint>

#include "lines/line_records.h"

namespace dp {

inline constexpr int k_sno_head = 30;
inline constexpr int k_img_stage = 240000;

/// Builds the record of pair (a, b): head[0..30) and the tail in stage (indic - 30 bytes).
/// Returns 1 when complete, 0 when the pair is dropped.
int pix_out(const particle_rec* a, const particle_rec* b, uint8_t* stage, uint8_t head[k_sno_head]);

}  // namespace dp
