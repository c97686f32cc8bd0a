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
  for (auto* v : {&g.particles, &g.used, &g.implausible, &g.cut, &g.below_floor, &g.no_model}) v->assign(n, 0);
  g.counts.assign(nb, 0);
  g.inv_av.assign(nb, 0.0);
  g.inv_av_c.assign(nb, 0.0);
  g.speed.assign(nb, 0.0);
  for (auto* v : {&g.d3_a, &g.m0, &g.m3, &g.m4, &g.m6, &g.d3_a_c, &g.m0_c, &g.m3_c, &g.m4_c, &g.m6_c}) v->assign(n, 0.0);
  g.shares.clear();
}

void grid_cover(day_grid& g, double from, double to, const efficiency_table* eff) {
  const double day0 = static_cast<double>(g.day * k_day_s);
  from = std::max(from, day0) - day0;
  to = std::min(to, day0 + k_day_s) - day0;
  double seconds = 0;
  for (double t = from; t < to;) {
    const auto i = static_cast<size_t>(t / g.step_s);
    if (i >= g.covered.size()) break;
    const double next = std::min(to, static_cast<double>(i + 1) * g.step_s);
    g.covered[i] += next - t;
    seconds += next - t;
    t = next;
  }
  g.shares.push_back({eff, seconds});
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
  // The corrected sums as snodump's minute_add forms them, so that whole minutes agree exactly.
  if (p.efficiency_flag == efficiency_use::no_model) {
    ++g.no_model[i];
    return;
  }
  if (p.efficiency_flag == efficiency_use::below_floor) ++g.below_floor[i];
  const double wc = w * p.weight;
  const size_t row = i * static_cast<size_t>(g.n_bins);
  spread_recorded_diameter(layout.edges, d, [&](int bin, double share) { g.inv_av_c[row + static_cast<size_t>(bin)] += wc * share; });
  g.d3_a_c[i] += d3 / p.area_m2 * p.weight;
  g.m0_c[i] += wc;
  g.m3_c[i] += d3 * wc;
  g.m4_c[i] += d3 * d * wc;
  g.m6_c[i] += d3 * d3 * wc;
}

namespace {

/// The products of interval i from one set of sums (plain, or weighted when corrected) over dt
/// recorded seconds; the amount is added to *sum.
void interval_products(const day_grid& g, const grid_layout& layout, bool corrected, size_t i, double dt,
                       day_products& r, double* sum) {
  const size_t nb = static_cast<size_t>(g.n_bins);
  const std::vector<double>& inv_av = corrected ? g.inv_av_c : g.inv_av;
  const double d3_a = (corrected ? g.d3_a_c : g.d3_a)[i], m0 = (corrected ? g.m0_c : g.m0)[i];
  const double m3_sum = (corrected ? g.m3_c : g.m3)[i], m4_sum = (corrected ? g.m4_c : g.m4)[i];
  const double m6 = (corrected ? g.m6_c : g.m6)[i];
  std::vector<double>& nd = corrected ? r.nd_c : r.nd;
  double& amount = (corrected ? r.amount_c : r.amount)[i];
  double& rain_rate = (corrected ? r.rain_rate_c : r.rain_rate)[i];
  double& nt = (corrected ? r.nt_c : r.nt)[i];
  double& z = (corrected ? r.z_c : r.z)[i];
  double& lwc = (corrected ? r.lwc_c : r.lwc)[i];
  double& dbz = (corrected ? r.dbz_c : r.dbz)[i];
  double& dm = (corrected ? r.dm_c : r.dm)[i];
  double& nw = (corrected ? r.nw_c : r.nw)[i];
  for (size_t k = 0; k < nb; ++k) nd[i * nb + k] = inv_av[i * nb + k] / (dt * (layout.edges[k + 1] - layout.edges[k]));
  amount = k_pi / 6.0 * 1e-6 * d3_a;
  rain_rate = k_pi / 6.0 * 3.6e-3 * d3_a / dt;
  nt = m0 / dt;
  z = m6 / dt;
  lwc = k_pi / 6.0 * 1e-3 * m3_sum / dt;
  if (z > 0) dbz = 10.0 * std::log10(z);
  if (m3_sum > 0) {
    const double m3 = m3_sum / dt, m4 = m4_sum / dt;
    dm = m4 / m3;
    nw = 256.0 / 6.0 * std::pow(m3, 5) / std::pow(m4, 4);
  }
  if (corrected && g.no_model[i] > 0) {
    for (size_t k = 0; k < nb; ++k) nd[i * nb + k] = k_nan;
    amount = rain_rate = nt = z = lwc = dbz = dm = nw = k_nan;
  }
  *sum += amount;
}

/// The efficiency per bin: the first file's, or the seconds-weighted mean when the files differ.
void bin_efficiency(const day_grid& g, const grid_layout& layout, day_products& r) {
  const size_t nb = static_cast<size_t>(g.n_bins);
  r.efficiency.assign(nb, k_nan);
  r.efficiency_flag.assign(nb, static_cast<int8_t>(efficiency_use::no_model));
  std::vector<double> first, weighted(nb, 0.0);
  double seconds = 0;
  bool timed = false;  // a file ending at midnight has no second of the next day: it is left out
  for (const efficiency_share& s : g.shares) timed = timed || s.seconds > 0;
  for (const efficiency_share& s : g.shares) {
    if (timed && !(s.seconds > 0)) continue;
    if (s.table == nullptr) {
      ++r.files_without_model;
      continue;
    }
    std::vector<double> mean(nb);
    for (size_t k = 0; k < nb; ++k) mean[k] = efficiency_mean(*s.table, layout.edges[k], layout.edges[k + 1]);
    if (first.empty()) first = mean;
    else if (mean != first) r.efficiency_mixed = true;
    for (size_t k = 0; k < nb; ++k) weighted[k] += s.seconds * mean[k];
    seconds += s.seconds;
  }
  if (first.empty()) return;
  for (size_t k = 0; k < nb; ++k) {
    r.efficiency[k] = r.efficiency_mixed && seconds > 0 ? weighted[k] / seconds : first[k];
    r.efficiency_flag[k] = static_cast<int8_t>(r.efficiency[k] >= k_efficiency_floor ? efficiency_use::corrected
                                                                                     : efficiency_use::below_floor);
  }
}

}  // namespace

day_products grid_finish(const day_grid& g, const grid_layout& layout) {
  day_products r;
  const size_t n = static_cast<size_t>(g.n_iv), nb = static_cast<size_t>(g.n_bins);
  r.flag.resize(n);
  for (auto* v : {&r.fraction, &r.rain_rate, &r.amount, &r.accumulation, &r.nt, &r.dm, &r.nw, &r.z, &r.dbz, &r.lwc,
                  &r.rain_rate_c, &r.amount_c, &r.accumulation_c, &r.nt_c, &r.dm_c, &r.nw_c, &r.z_c, &r.dbz_c, &r.lwc_c})
    v->assign(n, k_nan);
  r.nd.assign(n * nb, k_nan);
  r.nd_c.assign(n * nb, k_nan);
  r.mean_speed.assign(n * nb, k_nan);
  double sum = 0, sum_c = 0, recorded = 0;
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
    }
    if (dt > 0) {
      interval_products(g, layout, false, i, dt, r, &sum);
      // Unknown from an interval without a model on: the accumulation turns NaN there.
      interval_products(g, layout, true, i, dt, r, &sum_c);
    }
    r.accumulation[i] = sum;
    r.accumulation_c[i] = sum_c;
  }
  r.rain_total = sum;
  r.rain_total_c = sum_c;
  r.recorded = recorded / k_day_s;
  bin_efficiency(g, layout, r);
  return r;
}

}  // namespace dp
