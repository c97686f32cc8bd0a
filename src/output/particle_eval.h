// Evaluation of a matched pair: the main header that holds for it, the pixel sizes of both
// cameras and the vertical scale at its position with their calibration corrections, the
// fragmentation verdict, and the equivalent-volume diameter. Reads the header list and the
// calibration tables; changes nothing.
#pragma once

#include "lines/line_records.h"

namespace dp {

/// What the evaluation of an accepted pair delivers (mm, mm per pixel, mm per line).
struct eval_result {
  float eq_diam = 0;
  float scale_a = 0;
  float scale_b = 0;
  float scale_h = 0;
};

/// Evaluates the pair (a, b); true when accepted (then *out is set), false when rejected.
/// Ends the program when no main header holds for the pair.
bool eval_dr(const particle_rec* a, const particle_rec* b, eval_result* out);

}  // namespace dp
