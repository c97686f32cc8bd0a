#include "headers/camera_matching.h"

#include <cmath>
#include <cstdlib>

#include "base/messages.h"
#include "headers/chronology.h"

namespace dp {

namespace {

// trunc(v) as int32, saturated at the ends of the range; NaN gives 0.
int32_t trunc_sat32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

}  // namespace

int match_test(const particle_rec* a, const particle_rec* b, const match_context& ctx) {
  if (a->width == 0 || b->width == 0) return 0;
  if (std::abs(b->line_no - a->line_no) > ctx.delta_hgt) return 0;
  // Both bounds rounded to single precision, so that widths 7 and 10 pass in either order with
  // WA_WB 0.7: f32(10/7) == f32(1/f32(0.7)).
  const float r = static_cast<float>(a->width) / static_cast<float>(b->width);
  const float upper = 1.0f / ctx.wa_wb;
  if (r < ctx.wa_wb || r > upper) return 0;
  const int64_t d1 = trunc_sat32(b->y_start - a->y_start);
  const int64_t d2 = trunc_sat32(b->y_end - a->y_end);
  return d1 + d2 > 0 ? 1 : 0;
}

void find_m(int32_t* total, double match_limit, const match_context& ctx) {
  cam_queues* const qa = ctx.cam_a;
  cam_queues* const qb = ctx.cam_b;
  if (qa->wait_tail == nullptr) return;

  int32_t window = 0;
  if (ctx.ab_format == 1 || ctx.ab_format == 2) window = k_window_f12;
  else if (ctx.ab_format == 3) window = k_window_f3;
  else fatal_log_first("findmatch: wrong ab-format\n", "findmatch: wrong ab-format");

  int32_t matched = 0;
  particle_rec* a = qa->wait_tail;
  while (a != nullptr) {
    particle_rec* const a_newer = a->prev;
    if (match_limit - window < a->y_start) break;  // B may still deliver its partner
    if (qb->wait_tail == nullptr) return;

    particle_rec* b = qb->wait_tail;
    while (b != nullptr) {
      particle_rec* const b_newer = b->prev;
      if (b->y_start < a->y_start) {
        w_unlink(b, qb);  // no later A particle can take it
      } else if (b->y_start - window > a->y_start) {
        w_unlink(a, qa);  // every B particle from here on is out of a's window
        break;
      } else if (match_test(a, b, ctx) == 1) {
        ++*total;
        ++matched;
        if (check_match(a) == 1) ctx.write_pair(a, b);
        w_unlink(a, qa);
        w_unlink(b, qb);
        break;
      }
      b = b_newer;
    }
    a = a_newer;
  }

  hprintf2("** find_m - matched: %d\n", matched);
  hprintf2("** find_m: ");
  w_map();
  hprintf("total=%ld\n", *total);
}

}  // namespace dp
