// Camera matching: pairs each camera-A particle on its wait queue with the first camera-B
// particle in the window after it that passes the match test, hands the pair (A first) to the
// writer its caller names and releases both, whether the pair was written or not; particles that
// can no longer find a partner are released unmatched. Works only through the wait queues of
// the work pool (walked oldest first, along prev) and w_unlink; keeps no state between calls
// besides the run-wide total it is handed; the settings and format it needs come in a context.
// Never allocates.
//
// Window W (lines): 350 for raw-file formats 1 and 2, 600 for format 3. A pair handed to the
// writer always has y_start(A) <= y_start(B) <= y_start(A) + W.
#pragma once

#include <cstdint>

#include "lines/line_records.h"
#include "lines/work_pool.h"

namespace dp {

inline constexpr int32_t k_window_f12 = 350;  ///< matching window of formats 1 and 2, lines
inline constexpr int32_t k_window_f3 = 600;   ///< matching window of format 3, lines

/// What a matching pass works with: the pair settings, the raw file's format (which sets the
/// window) and where a pair that passes the test and the order check goes.
struct match_context {
  float wa_wb = 0;        ///< WA_WB of the settings
  int16_t delta_hgt = 0;  ///< DELTA_HGT of the settings
  int16_t ab_format = 0;  ///< 1, 2 or 3
  void (*write_pair)(const particle_rec* a, const particle_rec* b) = nullptr;
  cam_queues* cam_a = nullptr;  ///< camera A's queues: matching takes from its wait queue
  cam_queues* cam_b = nullptr;
};

/// 1 when a and b can show the same particle, 0 otherwise: both widths non-zero, line counts
/// within DELTA_HGT, width ratio f32(width(a)/width(b)) inside [WA_WB, f32(1/WA_WB)], and b later
/// than a by trunc(dy_start) + trunc(dy_end) > 0 lines. No side effects.
int match_test(const particle_rec* a, const particle_rec* b, const match_context& ctx);
/// One matching pass over both wait queues; *total counts the pairs that passed the match test
/// over the run (written or dropped by the order check). match_limit is the line number of
/// camera A's newest line: A particles starting after match_limit - W wait for a later call.
/// An ab_format other than 1, 2 or 3 ends the program.
void find_m(int32_t* total, double match_limit, const match_context& ctx);

}  // namespace dp
