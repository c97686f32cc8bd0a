#include "sno_products.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace dp {

namespace {

constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();
constexpr double k_pi = 3.14159265358979323846;
constexpr int64_t k_dense_minutes = 14400;  // ten days

// Air and water at 1013.25 hPa and 20 C.
constexpr double k_rho_air = 1.204;      // kg m^-3
constexpr double k_eta_air = 1.818e-5;   // Pa s
constexpr double k_rho_water = 998.2;    // kg m^-3
constexpr double k_sigma_water = 0.0728; // N m^-1
constexpr double k_g = 9.80665;          // m s^-2
constexpr double k_free_path = 6.62e-8;  // mean free path of air molecules, m

double poly(const double* b, int n, double x) {
  double y = 0;
  for (int i = n - 1; i >= 0; --i) y = y * x + b[i];
  return y;
}

}  // namespace

double atlas_speed(const double d_mm) { return 9.65 - 10.3 * std::exp(-0.6 * d_mm); }

double beard_speed(double d_mm) {
  if (!(d_mm > 0)) return k_nan;
  if (d_mm > 7.0) d_mm = 7.0;
  const double d = d_mm * 1e-3;
  const double drho = k_rho_water - k_rho_air;
  double re = 0;
  if (d < 1.07e-3) {
    // Reynolds number from the Best number C_D Re^2, with the slip correction of small drops.
    static const double b[7] = {-0.318657e1, 0.992696,     -0.153193e-2, -0.987059e-3,
                                -0.578878e-3, 0.855176e-4, -0.327815e-5};
    const double x = std::log(4.0 * k_rho_air * drho * k_g * d * d * d / (3.0 * k_eta_air * k_eta_air));
    re = (1.0 + 2.51 * k_free_path / d) * std::exp(poly(b, 7, x));
  } else {
    // Deformed drops: the Bond number and the physical property number.
    static const double b[6] = {-0.500015e1, 0.523778e1, -0.204914e1, 0.475294, -0.542819e-1, 0.238449e-2};
    const double bond = 4.0 * drho * k_g * d * d / (3.0 * k_sigma_water);
    const double np6 = std::pow(std::pow(k_sigma_water, 3) * k_rho_air * k_rho_air /
                                    (std::pow(k_eta_air, 4) * drho * k_g), 1.0 / 6.0);
    re = np6 * std::exp(poly(b, 6, std::log(bond * np6)));
  }
  return k_eta_air * re / (k_rho_air * d);
}

double reference_fall_speed(const speed_law law, const double d_mm) {
  return law == speed_law::atlas ? atlas_speed(d_mm) : beard_speed(d_mm);
}

std::string speed_check_text(const speed_check& c) {
  char buf[128];
  if (c.relative)
    std::snprintf(buf, sizeof buf, "+-%.4g %%", c.tolerance * 100.0);
  else
    std::snprintf(buf, sizeof buf, "+-%.4g m/s", c.tolerance);
  return std::string(c.law == speed_law::atlas ? "Atlas et al. (1973)" : "Beard (1976), 1013 hPa, 20 C") + ", " + buf;
}

double pixel_size_a(const main_hd& hd, double off_b) {
  return (hd.L0_1 - hd.XSCALE0_2 * off_b) * hd.XSCALE0_1 / hd.L0_1;
}

double pixel_size_b(const main_hd& hd, double off_a) {
  return (hd.XSCALE0_1 * off_a + hd.L0_2) * hd.XSCALE0_2 / hd.L0_2;
}

bool parse_speed_law(const std::string& text, speed_law* law) {
  if (text == "atlas") *law = speed_law::atlas;
  else if (text == "beard") *law = speed_law::beard;
  else return false;
  return true;
}

bool parse_speed_tolerance(const std::string& text, speed_check* c) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || !std::isfinite(v) || v <= 0) return false;
  const std::string unit = end;
  if (unit == "%" && v < 1000) {
    c->relative = true;
    c->tolerance = v / 100.0;
  } else if (unit == "m/s" && v < 100) {
    c->relative = false;
    c->tolerance = v;
  } else {
    return false;
  }
  return true;
}

particle_products derive_products(const particle_values& v, const std::vector<sno_header_rec>& headers,
                                  const speed_check& check, const bool keep_implausible) {
  particle_products p;
  const bool decoded = v.width_a_px >= 0 && v.width_b_px >= 0 && v.height_a_lines >= 0 && v.height_b_lines >= 0;
  const bool timed = v.header >= 0 && static_cast<size_t>(v.header) < headers.size();
  p.time = k_nan;
  p.centre_a = p.centre_b = p.pixel_a_mm = p.pixel_b_mm = p.line_a_mm = p.line_b_mm = k_nan;
  p.width_a_mm = p.width_b_mm = p.height_a_mm = p.height_b_mm = p.axis_ratio = k_nan;
  p.area_m2 = p.plane_dist_mm = p.speed_delay_m_s = k_nan;
  p.speed_ref_m_s = reference_fall_speed(check.law, v.eq_diam_mm);

  if (decoded) {
    p.width_a_mm = v.width_a_px * v.scale_a_mm;
    p.width_b_mm = v.width_b_px * v.scale_b_mm;
    p.height_a_mm = v.height_a_lines * v.scale_h_mm;
    p.height_b_mm = v.height_b_lines * v.scale_h_mm;
    const double wide = p.width_a_mm + p.width_b_mm;
    if (wide > 0) p.axis_ratio = (p.height_a_mm + p.height_b_mm) / wide;
  }
  if (timed) {
    const main_hd& hd = headers[static_cast<size_t>(v.header)].hd;
    p.time = static_cast<double>(hd.main_time - hd.main_time % 86400u) + v.time_s;
    if (decoded) {
      const int32_t max_a = v.x_min_a + v.width_a_px, max_b = v.x_min_b + v.width_b_px;
      p.centre_a = (v.x_min_a + max_a) * 0.5;
      p.centre_b = (v.x_min_b + max_b) * 0.5;
      const double off_a = (v.x_min_a + max_a) / 2 - hd.x_center;
      const double off_b = (v.x_min_b + max_b) / 2 - hd.x_center;
      p.pixel_a_mm = pixel_size_a(hd, off_b);
      p.pixel_b_mm = pixel_size_b(hd, off_a);
      const double n = 2.0 * hd.x_center;
      p.line_a_mm = n * p.pixel_a_mm;
      p.line_b_mm = n * p.pixel_b_mm;
      const double usable_a = (n - v.width_a_px) * p.pixel_a_mm, usable_b = (n - v.width_b_px) * p.pixel_b_mm;
      if (usable_a > 0 && usable_b > 0) p.area_m2 = usable_a * usable_b * 1e-6;

      const double n_pix = n - 1.0;
      const double hfl = static_cast<double>(hd.HBL) + hd.HFR - hd.HBR;
      const double front = hfl + (hd.HFR - hfl) * p.centre_a / n_pix;
      const double back = hd.HBL + (static_cast<double>(hd.HBR) - hd.HBL) * p.centre_a / n_pix;
      p.plane_dist_mm = back + (front - back) * p.centre_b / n_pix;
      const double delay = v.diff_lins > 1 ? v.diff_lins : 1.0;
      p.speed_delay_m_s = p.plane_dist_mm * 2.0 / delay * hd.line_fr / 1000.0;
    }
  }

  const double d = v.eq_diam_mm, speed = v.speed_m_s;
  if (std::isfinite(speed) && speed > 0 && d > 0 && std::isfinite(p.speed_ref_m_s)) {
    const double tol = check.relative ? check.tolerance * p.speed_ref_m_s : check.tolerance;
    p.verdict = speed < p.speed_ref_m_s - tol   ? speed_verdict::too_slow
                : speed > p.speed_ref_m_s + tol ? speed_verdict::too_fast
                                                : speed_verdict::plausible;
  }

  if (p.verdict == speed_verdict::unchecked || !std::isfinite(p.time) || !std::isfinite(p.area_m2)) {
    p.use = product_use::incomplete;
  } else if (v.x_min_a <= 0 || v.x_min_b <= 0 ||
             v.x_min_a + v.width_a_px >= 2 * headers[static_cast<size_t>(v.header)].hd.x_center ||
             v.x_min_b + v.width_b_px >= 2 * headers[static_cast<size_t>(v.header)].hd.x_center) {
    p.use = product_use::cut;
  } else if (d >= k_diam_bins * k_diam_bin_mm) {
    p.use = product_use::out_of_bins;
  } else if (p.verdict != speed_verdict::plausible && !keep_implausible) {
    p.use = product_use::implausible_speed;
  } else {
    p.use = product_use::used;
  }
  return p;
}

const std::vector<double>& minute_bin_edges() {
  static const std::vector<double> edges = [] {
    std::vector<double> e;
    for (int k = 0; k <= k_diam_bins; ++k) e.push_back(k * k_diam_bin_mm);
    return e;
  }();
  return edges;
}

std::map<int64_t, double> minute_rain_rates(const minute_table& t) {
  std::map<int64_t, double> rates;
  for (const auto& [m, s] : t.minutes) rates[m] = minute_finish(s).rain_rate;
  return rates;
}

bool minute_of(const double time, int64_t* m) {
  if (!std::isfinite(time) || std::fabs(time) > 1e13) return false;
  *m = static_cast<int64_t>(std::floor(time / k_minute_s));
  return true;
}

double rain_rate_at(const std::map<int64_t, double>& rates, const double time) {
  int64_t m = 0;
  if (!minute_of(time, &m)) return 0;
  const auto found = rates.find(m);
  return found == rates.end() ? 0 : found->second;
}

void minute_add(minute_table& t, const particle_values& v, const particle_products& p) {
  int64_t m = 0;
  if (!minute_of(p.time, &m)) return;
  minute_sums& s = t.minutes[m];
  if (!t.any || p.time < t.first_time) t.first_time = p.time;
  if (!t.any || p.time > t.last_time) t.last_time = p.time;
  t.any = true;
  ++s.particles;
  if (p.verdict == speed_verdict::too_slow || p.verdict == speed_verdict::too_fast) ++s.implausible;
  if (p.use != product_use::used) return;
  ++s.used;
  const double d = v.eq_diam_mm, d3 = d * d * d;
  const double w = 1.0 / (p.area_m2 * v.speed_m_s);
  const int k = static_cast<int>(d / k_diam_bin_mm);
  ++s.counts[k];
  const double step = std::round(d * 100);
  if (step < k_small_steps) ++s.steps[static_cast<size_t>(step)];
  s.inv_av[k] += w;
  s.d3_a += d3 / p.area_m2;
  s.m0 += w;
  s.m3 += d3 * w;
  s.m4 += d3 * d * w;
  s.m6 += d3 * d3 * w;
  if (p.efficiency_flag == efficiency_use::no_model) {
    ++s.no_model;
    return;
  }
  if (p.efficiency_flag == efficiency_use::below_floor) ++s.below_floor;
  const double wc = w * p.weight;
  spread_recorded_diameter(minute_bin_edges(), d, [&](int bin, double share) { s.inv_av_c[bin] += wc * share; });
  s.d3_a_c += d3 / p.area_m2 * p.weight;
  s.m0_c += wc;
  s.m3_c += d3 * wc;
  s.m4_c += d3 * d * wc;
  s.m6_c += d3 * d3 * wc;
}

namespace {

// The products of one set of sums over dt seconds.
void finish_moments(const double* inv_av, double d3_a, double m0, double m3_sum, double m4_sum, double m6,
                    double* nd, double* rain_rate, double* concentration, double* dm, double* nw, double* z,
                    double* lwc) {
  for (int k = 0; k < k_diam_bins; ++k) nd[k] = inv_av[k] / (k_minute_s * k_diam_bin_mm);
  *rain_rate = k_pi / 6.0 * 3.6e-3 * d3_a / k_minute_s;
  *concentration = m0 / k_minute_s;
  *z = m6 / k_minute_s;
  *lwc = k_pi / 6.0 * 1e-3 * m3_sum / k_minute_s;
  if (m3_sum > 0) {
    const double m3 = m3_sum / k_minute_s, m4 = m4_sum / k_minute_s;
    *dm = m4 / m3;
    *nw = 256.0 / 6.0 * std::pow(m3, 5) / std::pow(m4, 4);
  } else {
    *dm = *nw = k_nan;
  }
}

}  // namespace

minute_values minute_finish(const minute_sums& s) {
  minute_values r;
  finish_moments(s.inv_av, s.d3_a, s.m0, s.m3, s.m4, s.m6, r.nd, &r.rain_rate, &r.concentration, &r.dm, &r.nw,
                 &r.z, &r.lwc);
  finish_moments(s.inv_av_c, s.d3_a_c, s.m0_c, s.m3_c, s.m4_c, s.m6_c, r.nd_c, &r.rain_rate_c,
                 &r.concentration_c, &r.dm_c, &r.nw_c, &r.z_c, &r.lwc_c);
  if (s.no_model > 0) {
    for (double& x : r.nd_c) x = k_nan;
    r.rain_rate_c = r.concentration_c = r.dm_c = r.nw_c = r.z_c = r.lwc_c = k_nan;
  }
  return r;
}

std::vector<int64_t> minute_axis(const minute_table& t, const double start) {
  std::vector<int64_t> axis;
  if (t.minutes.empty()) return axis;
  int64_t first = t.minutes.begin()->first;
  const int64_t last = t.minutes.rbegin()->first;
  if (std::isfinite(start) && start <= t.first_time && t.first_time - start <= 86400.0)
    first = static_cast<int64_t>(std::floor(start / k_minute_s));
  if (last - first < k_dense_minutes) {
    for (int64_t m = first; m <= last; ++m) axis.push_back(m);
  } else {
    for (const auto& [m, s] : t.minutes) axis.push_back(m);
  }
  return axis;
}

std::string iso_time(const double t) {
  const double s = std::floor(t);
  const auto u = static_cast<uint32_t>(s >= 0 && s <= 4294967295.0 ? s : 0);
  std::string text = utc_text(u);
  text[10] = 'T';
  return text + "Z";
}

bool minute_complete(const minute_table& t, const double start, const int64_t m) {
  const double from = static_cast<double>(m) * k_minute_s;
  return t.any && from >= start && from + k_minute_s <= t.last_time;
}

}  // namespace dp
