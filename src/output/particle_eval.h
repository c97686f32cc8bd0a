// Evaluation of a matched pair: the main header that holds for it, the pixel sizes of both
// cameras and the vertical scale at its position with their calibration corrections, the
// fragmentation verdict, and the equivalent-volume diameter. Reads the header list, the two
// particles and the calibration tables it is handed; changes none of them, keeps no reference to
// them and keeps no state of its own. Never prints, except the fatal report when no header holds.
//
// Arithmetic: every formula is evaluated in double from the single-precision inputs, left to
// right as written, and rounded to single precision where its result is stored (centres,
// offsets, plane distances, scales, per-line widths, the running slice sum, the volume and the
// diameter). A table index that is not finite or falls outside 0..511 applies no correction.
#pragma once

#include "headers/timing_model.h"
#include "lines/line_records.h"
#include "output/calibration.h"

namespace dp {

inline constexpr float k_pi = 3.14159f;                                       ///< slice area
inline constexpr float k_recip_pi = static_cast<float>(1.0 / 3.14159);        ///< 0.3183101
inline constexpr double k_min_delay = 1.0;      ///< smallest line delay sum d
inline constexpr double k_height_factor = 5.0;  ///< (line_no(A)+line_no(B)) * scale_h * 5 = 0.1 mm
inline constexpr double k_width_factor = 10.0;  ///< width in mm * 10 = index in 0.1 mm
inline constexpr int k_frag_pieces = 5;         ///< a line with this many pieces is fragmented
inline constexpr double k_frag_ratio = 1.5;     ///< w_jump above 1.5 * w_ref rejects the pair

/// What the evaluation of an accepted pair delivers (mm, mm per pixel, mm per line).
struct eval_result {
  float eq_diam = 0;
  float scale_a = 0;
  float scale_b = 0;
  float scale_h = 0;
};

/// What the evaluation reads of the run: the timing model's header list (its head and its last
/// node) and the calibration tables.
struct eval_inputs {
  const hd_node* headers = nullptr;
  const hd_node* last = nullptr;
  const calibration_state* calib = nullptr;
};

/// Evaluates the pair (a, b); true when accepted (then *out is set), false when rejected as
/// fragmented. Ends the program when no main header holds for y_start(a): header lookup takes
/// the first node n from the head with n.line <= t <= next(n).line (upper bound inclusive), else
/// the last node if t >= its line (found from the tail, as the list's lines grow strictly).
bool eval_dr(const particle_rec* a, const particle_rec* b, const eval_inputs& in, eval_result* out);

/// Extent of a line: x_end of its last piece minus x_beg of its first (0 for a line without
/// pieces; a count above 6 counts as 6).
int line_extent(const line_rec& line);

}  // namespace dp
