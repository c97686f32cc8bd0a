#include "day_grid.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace dp {

namespace {

constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();
constexpr double k_pi = 3.14159265358979323846;

}  // namespace

std::vector<double> default_edges() {
  std::vector<double> e;
  for (int k = 0; k <= k_diam_bins; ++k) e.push_back(bin_lower(k));
  return e;
}

bool parse_step(const std::string& text, int32_t* step, std::string* why) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  const std::string unit = end;
  const double scale = unit.empty() || unit == "s" ? 1 : unit == "min" ? 60 : unit == "h" ? 3600 : unit == "d" ? 86400 : 0;
  const double s = v * scale;
  if (end == text.c_str() || scale == 0 || !(s >= 10 && s <= k_day_s) || s != std::floor(s) ||
      k_day_s % static_cast<int64_t>(s) != 0) {
    *why = "--step takes 10 s to 1 day that divide the day (60, 300s, 5min, 1h, 1d), not " + text;
    return false;
  }
  *step = static_cast<int32_t>(s);
  return true;
}

bool parse_edges(const std::string& text, std::vector<double>* edges, std::string* why) {
  edges->clear();
  bool ok = true;
  size_t at = 0;
  while (ok && at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, comma - at);
    char* end = nullptr;
    const double x = std::strtod(item.c_str(), &end);
    ok = !item.empty() && *end == '\0' && std::isfinite(x) && x >= 0 && x <= 100 &&
         (edges->empty() || x > edges->back());
    if (ok) edges->push_back(x);
    at = comma + 1;
  }
  if (!ok || edges->size() < 2) {
    *why = "--bins takes at least two increasing diameters in mm from 0 to 100, separated by commas, not " + text;
    return false;
  }
  return true;
}

int bin_of(const std::vector<double>& edges, const double d) {
  if (!(d >= edges.front()) || !(d < edges.back())) return -1;
  return static_cast<int>(std::upper_bound(edges.begin(), edges.end(), d) - edges.begin()) - 1;
}

void grid_init(day_grid& g, const int64_t day, const grid_layout& layout) {
  g.day = day;
  g.step_s = layout.step_s;
  g.n_iv = static_cast<int>(k_day_s / layout.step_s);
  g.n_bins = static_cast<int>(layout.edges.size()) - 1;
  const size_t n = static_cast<size_t>(g.n_iv), nb = n * static_cast<size_t>(g.n_bins);
  g.covered.assign(n, 0.0);
  for (auto* v : {&g.particles, &g.used, &g.implausible, &g.cut}) v->assign(n, 0);
  g.counts.assign(nb, 0);
  g.inv_av.assign(nb, 0.0);
  g.speed.assign(nb, 0.0);
  for (auto* v : {&g.d3_a, &g.m0, &g.m3, &g.m4, &g.m6}) v->assign(n, 0.0);
}

void grid_cover(day_grid& g, double from, double to) {
  const double day0 = static_cast<double>(g.day * k_day_s);
  from = std::max(from, day0) - day0;
  to = std::min(to, day0 + k_day_s) - day0;
  for (double t = from; t < to;) {
    const auto i = static_cast<size_t>(t / g.step_s);
    if (i >= g.covered.size()) break;
    const double next = std::min(to, static_cast<double>(i + 1) * g.step_s);
    g.covered[i] += next - t;
    t = next;
  }
}

product_use grid_use(const particle_products& p, const double d_mm, const grid_layout& layout) {
  if (p.use == product_use::incomplete || p.use == product_use::cut) return p.use;
  if (bin_of(layout.edges, d_mm) < 0) return product_use::out_of_bins;
  if (p.verdict != speed_verdict::plausible && !layout.keep_implausible) return product_use::implausible_speed;
  return product_use::used;
}

void grid_add(day_grid& g, const grid_layout& layout, const particle_values& v, const particle_products& p,
              const product_use use) {
  const double t = p.time - static_cast<double>(g.day * k_day_s);
  if (!(t >= 0 && t < k_day_s)) return;
  const auto i = static_cast<size_t>(t / g.step_s);
  ++g.particles[i];
  if (p.verdict == speed_verdict::too_slow || p.verdict == speed_verdict::too_fast) ++g.implausible[i];
  if (use == product_use::cut) ++g.cut[i];
  if (use != product_use::used) return;
  ++g.used[i];
  const double d = v.eq_diam_mm, d3 = d * d * d;
  const double w = 1.0 / (p.area_m2 * v.speed_m_s);
  const size_t k = i * static_cast<size_t>(g.n_bins) + static_cast<size_t>(bin_of(layout.edges, d));
  ++g.counts[k];
  g.inv_av[k] += w;
  g.speed[k] += v.speed_m_s;
  g.d3_a[i] += d3 / p.area_m2;
  g.m0[i] += w;
  g.m3[i] += d3 * w;
  g.m4[i] += d3 * d * w;
  g.m6[i] += d3 * d3 * w;
}

day_products grid_finish(const day_grid& g, const grid_layout& layout) {
  day_products r;
  const size_t n = static_cast<size_t>(g.n_iv), nb = static_cast<size_t>(g.n_bins);
  r.flag.resize(n);
  for (auto* v : {&r.fraction, &r.rain_rate, &r.amount, &r.accumulation, &r.nt, &r.dm, &r.nw, &r.z, &r.dbz, &r.lwc})
    v->assign(n, k_nan);
  r.nd.assign(n * nb, k_nan);
  r.mean_speed.assign(n * nb, k_nan);
  double sum = 0, recorded = 0;
  for (size_t i = 0; i < n; ++i) {
    // A particle outside every file's span still makes its interval recorded.
    const double dt = g.covered[i] > 0 ? std::min<double>(g.covered[i], g.step_s) : (g.particles[i] > 0 ? g.step_s : 0);
    recorded += dt;
    r.fraction[i] = dt / g.step_s;
    r.flag[i] = static_cast<int8_t>(dt <= 0                ? interval_flag::not_recorded
                                    : dt >= g.step_s - 1e-6 ? interval_flag::complete
                                                            : interval_flag::partly_recorded);
    for (size_t k = 0; k < nb; ++k) {
      const size_t j = i * nb + k;
      if (g.counts[j] > 0) r.mean_speed[j] = g.speed[j] / g.counts[j];
      if (dt > 0) r.nd[j] = g.inv_av[j] / (dt * (layout.edges[k + 1] - layout.edges[k]));
    }
    if (dt > 0) {
      r.amount[i] = k_pi / 6.0 * 1e-6 * g.d3_a[i];
      r.rain_rate[i] = k_pi / 6.0 * 3.6e-3 * g.d3_a[i] / dt;
      r.nt[i] = g.m0[i] / dt;
      r.z[i] = g.m6[i] / dt;
      r.lwc[i] = k_pi / 6.0 * 1e-3 * g.m3[i] / dt;
      if (r.z[i] > 0) r.dbz[i] = 10.0 * std::log10(r.z[i]);
      if (g.m3[i] > 0) {
        const double m3 = g.m3[i] / dt, m4 = g.m4[i] / dt;
        r.dm[i] = m4 / m3;
        r.nw[i] = 256.0 / 6.0 * std::pow(m3, 5) / std::pow(m4, 4);
      }
      sum += r.amount[i];
    }
    r.accumulation[i] = sum;
  }
  r.rain_total = sum;
  r.recorded = recorded / k_day_s;
  return r;
}

}  // namespace dp
