// Test-only: the ground truth of abgen rain per minute, as the per-minute products should see it.
// Every raindrop (no splash) whose centre crossed the area seen by both cameras (abgen's camera
// model under the main header's geometry, the area integrated on a 0.1 mm grid) counts with the
// weight 1 / (A v dt) that the products give their particles.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "abgen/instrument.h"
#include "headers/main_header.h"
#include "sno_products.h"

namespace dp_test {

/// The truth of one minute.
struct truth_minute {
  int drops = 0;
  double m0 = 0, m3 = 0, m4 = 0, m6 = 0, d3_a = 0;  ///< sums of D^k / (A v dt), D^3 / (A dt)
  double nd[dp::k_diam_bins] = {};
  int counts[dp::k_diam_bins] = {};
};

/// Truth per minute since 1970 of the ground-truth rows of abgen, recorded under header hd.
inline std::map<int64_t, truth_minute> truth_per_minute(const std::vector<std::map<std::string, std::string>>& rows,
                                                        const dp::main_hd& hd) {
  dp::abgen::instrument in;
  in.x_center = hd.x_center;
  in.XSCALE0_1 = hd.XSCALE0_1;
  in.XSCALE0_2 = hd.XSCALE0_2;
  in.L0_1 = hd.L0_1;
  in.L0_2 = hd.L0_2;
  const double n = 2.0 * hd.x_center;
  const auto inside = [&](double u, double v) {
    const double a = dp::abgen::column_a(in, u, v), b = dp::abgen::column_b(in, u, v);
    return a >= 0 && a <= n && b >= 0 && b <= n;
  };
  const double half = 0.55 * n * std::max(hd.XSCALE0_1, hd.XSCALE0_2);
  double area_mm2 = 0;
  for (double u = -half + 0.05; u < half; u += 0.1)
    for (double v = -half + 0.05; v < half; v += 0.1) area_mm2 += inside(u, v) ? 0.01 : 0.0;
  const double area = area_mm2 * 1e-6, day = hd.main_time - hd.main_time % 86400;

  std::map<int64_t, truth_minute> truth;
  for (const auto& r : rows) {
    const auto num = [&r](const char* key) { return std::stod(r.at(key)); };
    if (r.at("splash") != "0" || r.at("line_a") == "0" || !inside(num("u_mm"), num("v_mm"))) continue;
    const double d = num("diameter_mm"), w = 1.0 / (area * num("speed_m_s") * 60.0);
    truth_minute& t = truth[static_cast<int64_t>(std::floor((day + num("line_a") / hd.line_fr) / 60.0))];
    ++t.drops;
    t.m0 += w;
    t.m3 += d * d * d * w;
    t.m4 += d * d * d * d * w;
    t.m6 += std::pow(d, 6) * w;
    t.d3_a += d * d * d / (area * 60.0);
    const int k = static_cast<int>(d / dp::k_diam_bin_mm);
    if (k >= dp::k_diam_bins) continue;
    t.nd[k] += w / dp::k_diam_bin_mm;
    ++t.counts[k];
  }
  return truth;
}

}  // namespace dp_test
