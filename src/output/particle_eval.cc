#include "output/particle_eval.h"

#include <algorithm>
#include <cmath>

#include "base/messages.h"

namespace dp {

namespace {

// The header that holds for a particle starting at line t, or the end of the program.
// The search runs from the tail, where a particle of the present finds its header at once: the
// lines of the list grow strictly (timing_model), so the first node from the head whose range
// [n.line, next(n).line] holds t is the node nearest the tail whose line lies below t, or the
// head when t is its line; t beyond the tail's line takes the tail.
const main_hd& header_for(const eval_inputs& in, double t) {
  const hd_node* n = in.headers;
  if (n == nullptr) fatal_announced("eval_dr 01: no main header in file ?!? \n");
  if (n->next == nullptr) {
    if (t >= n->line) return n->hd;
    fatal_announced("t1=%lu, ptr->line=%lu \neval_dr 02: no corresponding main header ? \n",
                    line_lu(t), line_lu(n->line));
  }
  const hd_node* const tail = in.last;
  if (t > tail->line) return tail->hd;
  for (n = tail->prev; n != nullptr; n = n->prev) {
    if (n->line < t) return n->hd;  // t lies above n's line and at most at next(n)'s
    if (n->prev == nullptr && n->line == t) return n->hd;
  }
  fatal_announced("eval_dr 04: no corresponding main header ? \n");
}

// The two table indexes check the range on the value itself and let the conversion truncate,
// without a trunc call (the baseline x86-64 has no instruction for it): trunc(v) lies in
// 0..511 exactly when v lies strictly between -1 and 512 (NaN and the infinities fail the test).

// Table index of a height value: trunc(v), or -1 when not finite or outside the table.
int height_index(double v) {
  if (!(v > -1.0 && v < k_corr_size)) return -1;
  return static_cast<int>(v);
}

// Table index of a width value: trunc(x), one more when the fraction is at least 0.5; that is
// in 0..511 exactly when x lies strictly between -1 and 511.5.
int width_index(double x) {
  if (!(x > -1.0 && x < k_corr_size - 0.5)) return -1;
  const int k = static_cast<int>(x);
  return x - k >= 0.5 ? k + 1 : k;
}

// Fragmentation check of one camera's lines, then its width correction. False: fragmented.
bool width_check(const particle_rec* p, const float* corr, float* scale) {
  int w_max = 0, w_ref = 0, w_jump = 0, prev_n = 0;
  bool frozen = false;
  for (int k = 0; k < p->line_no; ++k) {
    const line_rec& ln = p->lines[k];
    w_max = std::max(w_max, line_extent(ln));
    // A one-piece line wider than the reference: after a fragmented line it freezes the
    // reference and sets the jump, else (while not frozen) it becomes the reference. Chosen
    // rather than branched: whether a drop's line grows is hard to guess.
    const bool grows = ln.n_pieces == 1 && w_ref < w_max;
    const bool jump = grows && prev_n >= k_frag_pieces;
    const bool ref = grows && prev_n < k_frag_pieces && !frozen;
    w_ref = ref ? w_max : w_ref;
    w_jump = jump ? w_max : w_jump;
    frozen = frozen || jump;
    prev_n = ln.n_pieces;
  }
  if (w_jump > k_frag_ratio * w_ref) return false;
  const int idx = width_index(w_max * static_cast<double>(*scale) * k_width_factor);
  if (idx >= 0) *scale = static_cast<float>(static_cast<double>(*scale) * corr[idx]);
  return true;
}

}  // namespace

int line_extent(const line_rec& line) {
  if (line.n_pieces == 1) return line.piece[0].x_end - line.piece[0].x_beg;  // most lines of drops
  const int n = std::min<int>(line.n_pieces, k_max_pieces);
  if (n < 1) return 0;
  return line.piece[n - 1].x_end - line.piece[0].x_beg;
}

bool eval_dr(const particle_rec* a, const particle_rec* b, const eval_inputs& in, eval_result* out) {
  const calibration_state& calib = *in.calib;
  const main_hd& hd = header_for(in, a->y_start);

  const int sum_a = a->x_min + a->x_max;
  const int sum_b = b->x_min + b->x_max;
  const float cen_a = static_cast<float>(sum_a * 0.5);
  const float cen_b = static_cast<float>(sum_b * 0.5);
  const float off_a = static_cast<float>(sum_a / 2 - hd.x_center);
  const float off_b = static_cast<float>(sum_b / 2 - hd.x_center);
  const int n_pix = 2 * hd.x_center - 1;

  // Distance of the light planes at the particle: a plane through the three measured corners.
  const double hbl = hd.HBL, hbr = hd.HBR, hfr = hd.HFR;
  const float hfl = static_cast<float>(hbl + hfr - hbr);
  const float front = static_cast<float>(hfl + (hfr - hfl) * cen_a / n_pix);
  const float back = static_cast<float>(hbl + (hbr - hbl) * cen_a / n_pix);
  const float plane_dist =
      static_cast<float>(back + (static_cast<double>(front) - back) * cen_b / n_pix);

  double d = (b->y_start - a->y_start) + (b->y_end - a->y_end);
  if (d <= k_min_delay) d = k_min_delay;
  float scale_h = static_cast<float>(plane_dist * 2.0 / d);

  const int l_sum = a->line_no + b->line_no;
  const int h_idx = height_index(l_sum * static_cast<double>(scale_h) * k_height_factor);
  if (h_idx >= 0)
    scale_h = static_cast<float>(scale_h * (static_cast<double>(calib.corr_ha[h_idx]) + calib.corr_hb[h_idx]) * 0.5);

  const double xs1 = hd.XSCALE0_1, xs2 = hd.XSCALE0_2, l01 = hd.L0_1, l02 = hd.L0_2;
  float scale_a = static_cast<float>((l01 - xs2 * off_b) * xs1 / l01);
  float scale_b = static_cast<float>((xs1 * off_a + l02) * xs2 / l02);

  if (!width_check(a, calib.corr_wa, &scale_a)) return false;
  if (!width_check(b, calib.corr_wb, &scale_b)) return false;

  // Volume: lines paired from the top as elliptic slices of thickness scale_h.
  const int n = std::min(a->line_no, b->line_no);
  float s = 0;
  for (int k = 0; k < n; ++k) {
    const float wa = static_cast<float>(line_extent(a->lines[k]) * static_cast<double>(scale_a));
    const float wb = static_cast<float>(line_extent(b->lines[k]) * static_cast<double>(scale_b));
    s = static_cast<float>(s + static_cast<double>(wa) * wb * k_pi * 0.25 * scale_h);
  }
  const float v = static_cast<float>(static_cast<double>(s) * l_sum / (n * 2.0));

  out->eq_diam = static_cast<float>(std::pow(v * 6.0 * k_recip_pi, 1.0 / 3.0));
  out->scale_a = scale_a;
  out->scale_b = scale_b;
  out->scale_h = scale_h;
  return true;
}

}  // namespace dp
