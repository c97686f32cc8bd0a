#include "sno_efficiency.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numbers>
#include <sstream>

#include "control/settings.h"
#include "output/calibration.h"

namespace dp {

namespace {

constexpr double k_d_first = 0.05, k_d_step = 0.025, k_d_last = 10.0;  // mm
constexpr int k_positions = 24;    // grid points along each camera line
constexpr int k_line_phases = 4;   // phases of a camera's line sampling
constexpr int k_bin_points = 5;    // diameters averaged per product bin

// The recorded-diameter response: drops are simulated every k_true_step mm (one drop per
// position of the grid, at a random place in its cell) up to k_true_last, and their recorded
// diameters counted per 0.01 mm step below k_recorded_steps.
constexpr double k_true_step = 0.0025, k_true_last = 1.3;   // mm
constexpr int k_max_lines = 512;   // lines simulated per drop and camera at most
constexpr uint64_t k_seed = 0x5eed0f5a11ull;


// The value field of the first line of text that begins with key, or false.
bool settings_value(const std::string& text, const char* key, std::string* value) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, std::strlen(key), key) != 0) continue;
    *value = line.size() > 60 ? line.substr(60, 19) : "";
    return true;
  }
  return false;
}

// Line n (from 0) of text, or false.
bool text_line(const std::string& text, int n, std::string* line) {
  std::istringstream in(text);
  for (int i = 0; i <= n; ++i)
    if (!std::getline(in, *line)) return false;
  return true;
}

double beard_chuang_axis_ratio(double d) {
  const double r = 1.0048 + d * (5.7e-4 + d * (-2.628e-2 + d * (3.682e-3 + d * -1.677e-4)));
  return std::min(1.0, r);
}

// Deviation (%) of a size s from one calibration row; 0 without a calibration.
double width_deviation(const pairing_rules& r, const float (&dev)[k_calib_rows_n], double s) {
  if (r.diam[0] <= 0) return 0;
  constexpr int n = k_calib_rows_n;
  if (s >= r.diam[n - 1]) return dev[n - 1];
  int j = 1;
  while (j < n - 1 && s > r.diam[j]) ++j;
  const double d0 = r.diam[j - 1], d1 = r.diam[j];
  return dev[j - 1] + (static_cast<double>(dev[j]) - dev[j - 1]) * (s - d0) / (d1 - d0);
}

// Probabilities of the two pixel counts floor(x) and floor(x) + 1 of a slice x pixels wide.
struct quantised {
  int lo = 0;
  double p_hi = 0;
};

quantised quantise(double x) {
  // A damaged header can make any value; sizes beyond a million pixels or lines all pass alike.
  if (!(x > 0)) return {};
  const double f = std::floor(std::min(x, 1e6));
  return {static_cast<int>(f), std::min(x, 1e6) - f};
}

bool widths_match(int a, int b, float wa_wb) {
  if (a <= 0 || b <= 0) return false;
  const float r = static_cast<float>(a) / static_cast<float>(b);
  return r >= wa_wb && r <= 1.0f / wa_wb;
}

// P(|L_A - L_B| <= k) for L_X = floor(l_X) + Bernoulli(frac(l_X)).
double lines_match(double la, double lb, int k) {
  const quantised a = quantise(la), b = quantise(lb);
  double p = 0;
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      const double w = (i ? a.p_hi : 1 - a.p_hi) * (j ? b.p_hi : 1 - b.p_hi);
      if (std::abs((a.lo + i) - (b.lo + j)) <= k) p += w;
    }
  return p;
}

// What the model takes of a drop of diameter d: its shape, the fall speed of the law and the
// factors by which the calibration's width rows make each camera see it wider.
struct drop_view {
  double d_h = 0;       // horizontal diameter, mm
  double height = 0;    // vertical extent, mm
  double speed = 0;     // m/s
  double scale_a = 1, scale_b = 1;  // 1 + deviation / 100 of camera A and B
};

drop_view view_of(const pairing_rules& r, speed_law law, double d) {
  drop_view v;
  const double a = beard_chuang_axis_ratio(d);
  v.d_h = d / std::cbrt(a);
  v.height = d * std::cbrt(a * a);
  v.speed = std::max(0.05, reference_fall_speed(law, d));
  v.scale_a = 1.0 + width_deviation(r, r.dev_wa, v.d_h) * 0.01;
  v.scale_b = 1.0 + width_deviation(r, r.dev_wb, v.d_h) * 0.01;
  return v;
}

// Pixel sizes (mm) of camera A when the centre lies at column cb of camera B, and of camera B
// when it lies at column ca of camera A.
double pixel_a(const main_hd& hd, double cb) { return pixel_size_a(hd, cb - hd.x_center); }
double pixel_b(const main_hd& hd, double ca) { return pixel_size_b(hd, ca - hd.x_center); }

}  // namespace

double pair_passes(double xa, double xb, double l, const pairing_rules& r) {
  const quantised a = quantise(xa), b = quantise(xb);
  double p = 0;
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j)
      if (widths_match(a.lo + i, b.lo + j, r.wa_wb)) p += (i ? a.p_hi : 1 - a.p_hi) * (j ? b.p_hi : 1 - b.p_hi);
  if (p == 0) return 0;
  const auto seen_lines = [l](double x) {
    const double q = 1.0 - 1.0 / (4.0 * x * x);
    return q > 0 ? l * std::sqrt(q) : 0.0;
  };
  return p * lines_match(seen_lines(xa), seen_lines(xb), r.delta_hgt);
}

namespace {

// splitmix64: a fixed sequence, so a model is the same in every run.
struct random_sequence {
  uint64_t state;
  double next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
  }
};

// Pixels a chord w pixels wide centred at column c darkens: those whose centre it covers (pixel k
// spans [k, k + 1)). A chord inside one pixel that covers half of it covers its centre too.
int darkened(double c, double w) {
  if (!(w > 0)) return 0;
  const double n = std::floor(c + w / 2 - 0.5) - std::ceil(c - w / 2 - 0.5) + 1;
  return n > 0 ? static_cast<int>(std::min(n, 1e6)) : 0;
}

// One camera's lines of a drop width pixels wide and height mm high whose top the first line
// meets phase lines below it: the darkened pixels of each line that sees the drop (the counts
// rise and fall, so the lines that see it follow one another). Returns the number of lines.
int camera_lines(double width, double height, double dz, double phase, double centre, int* out) {
  int n = 0;
  for (int j = 0; j < k_max_lines; ++j) {  // dz is at least height / (k_max_lines - 1)
    const double z = (j + phase) * dz;
    if (z >= height) break;
    const double t = 2 * z / height - 1;
    const int k = darkened(centre, width * std::sqrt(1 - t * t));
    if (k > 0) out[n++] = k;
  }
  return n;
}

}  // namespace

double recorded_diameter(const int* wa, int la, const int* wb, int lb, double scale_a, double scale_b,
                         double scale_h) {
  const int n = std::min(la, lb);
  if (n <= 0) return 0;
  double s = 0;
  for (int k = 0; k < n; ++k) s += wa[k] * scale_a * wb[k] * scale_b;
  const double v = s * (std::numbers::pi / 4) * scale_h * (la + lb) / (2.0 * n);
  return std::cbrt(v * 6 / std::numbers::pi);
}

namespace {

// Adds to seen[s] the share of drops of diameter d that pass the match test and are recorded in
// step s, one drop per cell of the position grid (random place, pixel and line phases), each
// weighted by its area as in efficiency_of_diameter.
void simulate_diameter(const main_hd& hd, const pairing_rules& r, speed_law law, double d, double mass,
                       random_sequence& rnd, std::vector<double>& seen) {
  const drop_view drop = view_of(r, law, d);
  const double dz = std::max(drop.speed * 1e3 / hd.line_fr, drop.height / (k_max_lines - 1));  // mm per line
  const double n = 2.0 * hd.x_center;
  int wa[k_max_lines], wb[k_max_lines];
  std::vector<std::pair<size_t, double>> hits;
  double weight = 0;
  for (int ia = 0; ia < k_positions; ++ia)
    for (int ib = 0; ib < k_positions; ++ib) {
      const double ca = (ia + rnd.next()) * n / k_positions, cb = (ib + rnd.next()) * n / k_positions;
      const double p_a = pixel_a(hd, cb), p_b = pixel_b(hd, ca);
      const double xa = drop.d_h * drop.scale_a / p_a, xb = drop.d_h * drop.scale_b / p_b;
      const double pa = rnd.next(), pb = rnd.next(), ua = rnd.next(), ub = rnd.next();
      if (ca < xa / 2 || ca > n - xa / 2 || cb < xb / 2 || cb > n - xb / 2) continue;  // not seen whole
      const double w = p_a * p_b;
      weight += w;
      const int la = camera_lines(xa, drop.height, dz, pa, ua, wa);
      const int lb = camera_lines(xb, drop.height, dz, pb, ub, wb);
      if (la == 0 || lb == 0 || std::abs(la - lb) > r.delta_hgt) continue;
      if (!widths_match(*std::max_element(wa, wa + la), *std::max_element(wb, wb + lb), r.wa_wb)) continue;
      const double rec = recorded_diameter(wa, la, wb, lb, p_a / drop.scale_a, p_b / drop.scale_b, dz);
      const double step = std::floor(rec * 100 + 1e-9);
      if (step >= 0 && step < static_cast<double>(seen.size())) hits.emplace_back(static_cast<size_t>(step), w);
    }
  if (weight <= 0) return;
  for (const auto& [step, w] : hits) seen[step] += mass * w / weight;
}

double efficiency_of_diameter(const main_hd& hd, const pairing_rules& r, speed_law law, double d) {
  const drop_view drop = view_of(r, law, d);
  const double lines = drop.height * 1e-3 / drop.speed * hd.line_fr;
  const double size_a = drop.d_h * drop.scale_a, size_b = drop.d_h * drop.scale_b;

  double slice[k_line_phases];  // widest slice over the drop's widest width, per line phase
  for (int j = 0; j < k_line_phases; ++j) {
    const double delta = (j + 0.5) / (k_line_phases * lines);
    slice[j] = delta < 1.0 ? std::sqrt(1.0 - delta * delta) : 0.0;
  }

  const double n = 2.0 * hd.x_center;
  double sum = 0, weight = 0;
  for (int ia = 0; ia < k_positions; ++ia) {
    const double ca = (ia + 0.5) * n / k_positions;
    const double p_b = pixel_b(hd, ca);
    const double wb = size_b / p_b;
    for (int ib = 0; ib < k_positions; ++ib) {
      const double cb = (ib + 0.5) * n / k_positions;
      const double p_a = pixel_a(hd, cb);
      const double wa = size_a / p_a;
      if (ca < wa / 2 || ca > n - wa / 2 || cb < wb / 2 || cb > n - wb / 2) continue;  // not seen whole
      double pass = 0;
      for (int ja = 0; ja < k_line_phases; ++ja)
        for (int jb = 0; jb < k_line_phases; ++jb) pass += pair_passes(wa * slice[ja], wb * slice[jb], lines, r);
      const double w = p_a * p_b;
      sum += w * pass / (k_line_phases * k_line_phases);
      weight += w;
    }
  }
  return weight > 0 ? sum / weight : 0.0;
}

bool same_geometry(const main_hd& a, const main_hd& b) {
  return a.line_fr == b.line_fr && a.x_center == b.x_center && a.XSCALE0_1 == b.XSCALE0_1 &&
         a.XSCALE0_2 == b.XSCALE0_2 && a.L0_1 == b.L0_1 && a.L0_2 == b.L0_2;
}

}  // namespace

std::string file_beside(const std::string& path, const char* name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path dir = fs::absolute(path, ec).parent_path();
  for (const fs::path& d : {dir, dir.parent_path()}) {
    const fs::path p = d / name;
    if (fs::is_regular_file(p, ec)) return p.string();
  }
  return {};
}

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return in ? text.str() : std::string();
}

bool read_pairing_rules(const std::string& settings, const std::string& calibration, pairing_rules* r,
                        std::string* why) {
  *r = pairing_rules{};
  std::string value;
  if (!settings_value(settings, "WA_WB", &value)) return *why = "no WA_WB in the settings", false;
  convert_value(value.c_str(), &r->wa_wb, set_conv::real);
  if (!(std::isfinite(r->wa_wb) && r->wa_wb > 0.0f && r->wa_wb <= 1.0f))
    return *why = "WA_WB \"" + value + "\" is not a number above 0 and at most 1", false;
  if (!settings_value(settings, "DELTA_HGT", &value)) return *why = "no DELTA_HGT in the settings", false;
  r->delta_hgt = -1;
  convert_value(value.c_str(), &r->delta_hgt, set_conv::int16);
  if (r->delta_hgt < 0) return *why = "DELTA_HGT \"" + value + "\" is not a number of 0 or more", false;
  if (calibration.empty()) return true;

  constexpr int lines[] = {2, 6, 7};  // diameters, width A, width B
  float* const rows[] = {r->diam, r->dev_wa, r->dev_wb};
  for (int i = 0; i < 3; ++i) {
    std::string line;
    if (!text_line(calibration, lines[i], &line))
      return *why = "the calibration has no line " + std::to_string(lines[i] + 1), false;
    for (int k = 0; k < k_calib_rows_n; ++k) rows[i][k] = calib_field(line.c_str(), 10 + 7 * k);
  }
  for (int k = 0; k < k_calib_rows_n; ++k)
    if (!(r->diam[k] > (k ? r->diam[k - 1] : 0.0f)))
      return *why = "the calibration's reference diameters do not increase", false;
  return true;
}

efficiency_table efficiency_model(const main_hd& hd, const pairing_rules& r, const speed_law law) {
  efficiency_table t;
  t.d_first = k_d_first;
  t.d_step = k_d_step;
  const int n = static_cast<int>(std::lround((k_d_last - k_d_first) / k_d_step)) + 1;
  t.eff.resize(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) t.eff[static_cast<size_t>(i)] = efficiency_of_diameter(hd, r, law, k_d_first + i * k_d_step);

  t.step_seen.assign(k_recorded_steps, 0.0);
  t.step_true.assign(k_recorded_steps, 0.0);
  for (int s = 0; s < k_recorded_steps; ++s) t.step_true[static_cast<size_t>(s)] = prior_mass(s * 0.01, (s + 1) * 0.01);
  random_sequence rnd{k_seed};
  const int cells = static_cast<int>(std::lround((k_true_last - k_d_first) / k_true_step));
  for (int i = 0; i < cells; ++i) {
    const double lo = k_d_first + i * k_true_step;
    simulate_diameter(hd, r, law, lo + rnd.next() * k_true_step, prior_mass(lo, lo + k_true_step), rnd, t.step_seen);
  }
  for (int k = 0; k < k_diam_bins; ++k) t.bin[k] = efficiency_mean(t, bin_lower(k), bin_lower(k + 1));
  return t;
}

double prior_mass(const double lo_mm, const double hi_mm) {
  return (std::exp(-k_prior_slope * lo_mm) - std::exp(-k_prior_slope * hi_mm)) / k_prior_slope;
}

double efficiency_mean(const efficiency_table& t, const double lo_mm, const double hi_mm) {
  const double limit = static_cast<double>(t.step_seen.size()) * 0.01;
  double seen = 0, truth = 0;
  const double first = std::clamp(std::floor(lo_mm * 100), 0.0, static_cast<double>(t.step_seen.size()));
  for (size_t s = std::isnan(first) ? t.step_seen.size() : static_cast<size_t>(first); s < t.step_seen.size(); ++s) {
    const double from = std::max(lo_mm, s * 0.01), to = std::min(hi_mm, (s + 1) * 0.01);
    if (to <= from) break;
    seen += t.step_seen[s] * (to - from) / 0.01;
    truth += t.step_true[s] * (to - from) / 0.01;
  }
  if (hi_mm > limit) {  // above the recorded steps: the pass probability, weighted by the prior
    const double from = std::max(lo_mm, limit), m = prior_mass(from, hi_mm);
    double s = 0;
    for (int j = 0; j < k_bin_points; ++j) s += pass_probability(t, from + (j + 0.5) / k_bin_points * (hi_mm - from));
    seen += m * s / k_bin_points;
    truth += m;
  }
  return truth > 0 ? seen / truth : std::numeric_limits<double>::quiet_NaN();
}

double efficiency_at(const efficiency_table& t, const double d_mm) {
  if (!std::isfinite(d_mm)) return std::numeric_limits<double>::quiet_NaN();
  const double step = std::round(d_mm * 100);
  if (step >= 0 && step < static_cast<double>(t.step_seen.size())) {
    const auto s = static_cast<size_t>(step);
    return t.step_seen[s] / t.step_true[s];
  }
  return pass_probability(t, d_mm);
}

double pass_probability(const efficiency_table& t, const double d_mm) {
  if (t.eff.empty() || !std::isfinite(d_mm)) return std::numeric_limits<double>::quiet_NaN();
  const double x = (d_mm - t.d_first) / t.d_step;
  if (x <= 0) return t.eff.front();
  const auto i = static_cast<size_t>(x);
  if (i + 1 >= t.eff.size()) return t.eff.back();
  const double f = x - static_cast<double>(i);
  return t.eff[i] + f * (t.eff[i + 1] - t.eff[i]);
}

bool load_efficiency_set(const std::string& settings, const std::string& calibration, const speed_law law,
                         efficiency_set* s, std::string* why) {
  *s = efficiency_set{};
  s->law = law;
  if (settings.empty()) return *why = "no settings file", false;
  const std::string set_text = file_text(settings);
  if (set_text.empty()) return *why = "cannot read " + settings, false;
  const std::string cal_text = calibration.empty() ? std::string() : file_text(calibration);
  if (!calibration.empty() && cal_text.empty()) return *why = "cannot read " + calibration, false;
  if (!read_pairing_rules(set_text, cal_text, &s->rules, why)) return false;
  s->have_rules = true;
  return true;
}

const efficiency_table* efficiency_for(efficiency_set& s, const std::vector<sno_header_rec>& headers, const int h) {
  if (!s.have_rules || h < 0 || static_cast<size_t>(h) >= headers.size()) return nullptr;
  const main_hd& hd = headers[static_cast<size_t>(h)].hd;
  for (size_t i = 0; i < s.geometry.size(); ++i)
    if (same_geometry(s.geometry[i], hd)) return &s.tables[i];
  s.geometry.push_back(hd);
  s.tables.push_back(efficiency_model(hd, s.rules, s.law));
  return &s.tables.back();
}

void apply_efficiency(particle_products& p, const double d_mm, const efficiency_table* t) {
  if (t == nullptr) {
    p.efficiency = p.weight = std::numeric_limits<double>::quiet_NaN();
    p.efficiency_flag = efficiency_use::no_model;
    return;
  }
  p.efficiency = efficiency_at(*t, d_mm);
  const bool corrected = p.efficiency >= k_efficiency_floor;
  p.weight = corrected ? 1.0 / p.efficiency : 1.0;
  p.efficiency_flag = corrected ? efficiency_use::corrected : efficiency_use::below_floor;
}

}  // namespace dp
