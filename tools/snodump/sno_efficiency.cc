#include "sno_efficiency.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numbers>
#include <numeric>
#include <sstream>

#include "control/settings.h"
#include "output/calibration.h"

namespace dp {

namespace {

constexpr double k_d_first = 0.05, k_d_step = 0.025, k_d_last = 10.0;  // mm
constexpr int k_positions = 24;    // grid points along each camera line
constexpr int k_line_phases = 4;   // phases of a camera's line sampling
constexpr int k_bin_points = 5;    // diameters averaged per product bin

// The recorded-diameter response: drops are simulated every k_cell_mm (one drop per
// position of the grid, at a random place in its cell) up to k_true_last, and their recorded
// diameters counted per 0.01 mm step below k_recorded_steps.
constexpr double k_true_last = 1.3;   // mm
constexpr int k_cells = 500;          // (k_true_last - k_d_first) / k_cell_mm
static_assert(k_cells * k_cell_mm > k_true_last - k_d_first - 1e-9 && (k_cells - 1) * k_cell_mm < k_true_last - k_d_first);
// Rounds of the fit of the response to a minute's counts: one. More rounds follow the counts
// further into what the model and real drops do not share (0.25-0.375 mm off by up to 15 %).
constexpr int k_fit_rounds = 1;
constexpr int k_max_lines = 512;   // lines simulated per drop and camera at most
constexpr uint64_t k_seed = 0x5eed0f5a11ull;
constexpr int k_stream_drops = 100000;  // drops of each simulated stream
constexpr double k_factor_min_drops = 400;  // fewer true drops of a bin in the stream: no factor


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
void simulate_diameter(const main_hd& hd, const pairing_rules& r, speed_law law, double d, random_sequence& rnd,
                       double* seen) {
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
      if (step >= 0 && step < k_recorded_steps) hits.emplace_back(static_cast<size_t>(step), w);
    }
  if (weight <= 0) return;
  for (const auto& [step, w] : hits) seen[step] += w / weight;
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
         a.XSCALE0_2 == b.XSCALE0_2 && a.L0_1 == b.L0_1 && a.L0_2 == b.L0_2 && a.HBL == b.HBL && a.HBR == b.HBR &&
         a.HFR == b.HFR;  // the plane distances set the stream's delays
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

namespace {

// One camera's image of a drop in a simulated stream.
struct stream_image {
  double y_start = 0;   // first line
  int16_t line_no = 0;
  int16_t x_min = 0, x_max = 0;  // columns of the bounding box, x_max one past the last
  bool cut = false;     // reaches an end of the camera line
  int32_t first_width = 0;  // index of its first line's width in the widths store
};

// Columns [lo, hi] a chord w pixels wide centred at column c darkens (hi < lo: none).
void darkened_range(double c, double w, int* lo, int* hi) {
  *lo = static_cast<int>(std::ceil(c - w / 2 - 0.5));
  *hi = static_cast<int>(std::floor(c + w / 2 - 0.5));
}

// The image of a drop width pixels wide at column centre, height mm high, dz mm per line, first
// line phase lines below its top, the line end at n columns: widths appended to store.
stream_image stream_lines(double width, double height, double dz, double phase, double centre, int n,
                          std::vector<int>& store) {
  stream_image im;
  im.first_width = static_cast<int32_t>(store.size());
  int x_min = n, x_max = -1, first = -1, lines = 0;
  for (int j = 0; j < k_max_lines; ++j) {
    const double z = (j + phase) * dz;
    if (z >= height) break;
    const double t = 2 * z / height - 1;
    int lo = 0, hi = 0;
    darkened_range(centre, width * std::sqrt(1 - t * t), &lo, &hi);
    if (lo < 0) lo = 0, im.cut = true;
    if (hi > n - 1) hi = n - 1, im.cut = true;
    if (hi < lo) continue;
    if (first < 0) first = j;
    store.push_back(hi - lo + 1);
    x_min = std::min(x_min, lo);
    x_max = std::max(x_max, hi + 1);
    ++lines;
  }
  im.y_start = first < 0 ? 0 : first;
  im.line_no = static_cast<int16_t>(lines);
  im.x_min = static_cast<int16_t>(x_min);
  im.x_max = static_cast<int16_t>(x_max);
  return im;
}

bool stream_match(const stream_image& a, const stream_image& b, const pairing_rules& r) {
  if (std::abs(b.line_no - a.line_no) > r.delta_hgt) return false;
  if (!widths_match(a.x_max - a.x_min, b.x_max - b.x_min, r.wa_wb)) return false;
  const double d1 = std::trunc(b.y_start - a.y_start);
  const double d2 = std::trunc((b.y_start + b.line_no) - (a.y_start + a.line_no));
  return d1 + d2 > 0;
}

double plane_distance(const main_hd& hd, double cen_a, double cen_b) {
  const double n_pix = 2.0 * hd.x_center - 1;
  const double hbl = hd.HBL, hbr = hd.HBR, hfr = hd.HFR, hfl = hbl + hfr - hbr;
  const double front = hfl + (hfr - hfl) * cen_a / n_pix, back = hbl + (hbr - hbl) * cen_a / n_pix;
  return back + (front - back) * cen_b / n_pix;
}

}  // namespace

stream_response simulate_stream(const main_hd& hd, const pairing_rules& r, const speed_check& check,
                                double drops_per_line, int n_drops, uint64_t seed, double slope) {
  stream_response out;
  out.seen.assign(k_stream_steps, 0.0);
  out.truth.assign(k_stream_steps, 0.0);
  random_sequence rnd{seed};
  const int n = 2 * hd.x_center;
  const double window = 600;
  const double v_max = std::max(0.05, reference_fall_speed(check.law, 8.0));
  std::vector<stream_image> cam_a, cam_b;
  std::vector<int> widths_a, widths_b;
  double t = 0;
  for (int i = 0; i < n_drops; ++i) {
    // Sizes by flux: N(D) = exp(-slope D) times the fall speed.
    double d = 0;
    do d = 0.3 - std::log(1 - rnd.next()) / slope;  // rain from 0.3 mm, as Marshall-Palmer's fit
    while (d > 8.0 || rnd.next() * v_max > std::max(0.05, reference_fall_speed(check.law, d)));
    // Positions uniform over the area: columns weighted by the area of their pixels.
    double ca = 0, cb = 0, p_a = 0, p_b = 0;
    const double p_most = pixel_a(hd, 0) * pixel_b(hd, n) * 1.0001;
    do {
      ca = rnd.next() * n;
      cb = rnd.next() * n;
      p_a = pixel_a(hd, cb);
      p_b = pixel_b(hd, ca);
    } while (rnd.next() * p_most > p_a * p_b);
    t += -std::log(1 - rnd.next()) / drops_per_line;
    const drop_view drop = view_of(r, check.law, d);
    const double dz = std::max(drop.speed * 1e3 / hd.line_fr, drop.height / (k_max_lines - 1));
    stream_image a = stream_lines(drop.d_h * drop.scale_a / p_a, drop.height, dz, rnd.next(), ca, n, widths_a);
    stream_image b = stream_lines(drop.d_h * drop.scale_b / p_b, drop.height, dz, rnd.next(), cb, n, widths_b);
    if (!a.cut && !b.cut && a.line_no > 0 && b.line_no > 0) {
      const double s = std::floor(d * 100);
      if (s < k_stream_steps) out.truth[static_cast<size_t>(s)] += 1;
    }
    const double delay = plane_distance(hd, ca, cb) / dz;  // lines from plane A to plane B
    a.y_start += std::floor(t);
    b.y_start += std::floor(t + delay);
    if (a.line_no > 0) cam_a.push_back(a);
    if (b.line_no > 0) cam_b.push_back(b);
  }
  const auto by_start = [](const stream_image& x, const stream_image& y) { return x.y_start < y.y_start; };
  std::stable_sort(cam_a.begin(), cam_a.end(), by_start);
  std::stable_sort(cam_b.begin(), cam_b.end(), by_start);

  // The pairing: each A image takes the first B image in queue order within the window that
  // passes the test; B images starting before it are dropped.
  std::vector<char> taken(cam_b.size(), 0);
  size_t first = 0;
  for (const stream_image& a : cam_a) {
    while (first < cam_b.size() && (taken[first] || cam_b[first].y_start < a.y_start)) ++first;
    for (size_t k = first; k < cam_b.size(); ++k) {
      const stream_image& b = cam_b[k];
      if (taken[k]) continue;
      if (b.y_start - window > a.y_start) break;
      if (!stream_match(a, b, r)) continue;
      taken[k] = 1;
      if (a.cut || b.cut) break;
      // The evaluation of the pair: pixel sizes at the boxes' centres, the vertical scale from
      // the delay, the calibration's width factors, the volume of the paired lines.
      const int off_a = (a.x_min + a.x_max) / 2 - hd.x_center;
      const int off_b = (b.x_min + b.x_max) / 2 - hd.x_center;
      const double s_a = pixel_size_a(hd, off_b), s_b = pixel_size_b(hd, off_a);
      const double lag = (b.y_start - a.y_start) + (b.y_start + b.line_no - a.y_start - a.line_no);
      const double scale_h = plane_distance(hd, (a.x_min + a.x_max) * 0.5, (b.x_min + b.x_max) * 0.5) * 2.0 /
                             std::max(lag, 0.1);
      const double w_a = (a.x_max - a.x_min) * s_a, w_b = (b.x_max - b.x_min) * s_b;
      const double k_a = 1.0 + width_deviation(r, r.dev_wa, w_a) * 0.01;
      const double k_b = 1.0 + width_deviation(r, r.dev_wb, w_b) * 0.01;
      const double rec = recorded_diameter(&widths_a[static_cast<size_t>(a.first_width)], a.line_no,
                                           &widths_b[static_cast<size_t>(b.first_width)], b.line_no, s_a / k_a,
                                           s_b / k_b, scale_h);
      const double speed = scale_h * hd.line_fr * 1e-3;
      const double ref = reference_fall_speed(check.law, rec);
      const double tol = check.relative ? check.tolerance * ref : check.tolerance;
      if (!(speed >= ref - tol && speed <= ref + tol)) break;
      const double s = std::floor(rec * 100 + 1e-9);
      // The products weigh a particle by 1 / its measured speed; a drop of the law's speed is one.
      if (s >= 0 && s < k_stream_steps) out.seen[static_cast<size_t>(s)] += ref / speed;
      break;
    }
  }
  return out;
}

namespace {

// The area (mm2) both cameras see: column positions weighted by the area of their pixels.
double seen_area(const main_hd& hd) {
  double area = 0;
  const int n = 2 * hd.x_center;
  for (int i = 0; i < n; i += 4)
    for (int j = 0; j < n; j += 4)
      area += 16 * pixel_size_a(hd, j + 2 - hd.x_center) * pixel_size_b(hd, i + 2 - hd.x_center);
  return area;
}

// Drops per camera line through an area of area_mm2, and the slope (1/mm), of Marshall-Palmer
// rain of rate rain: N(D) = 8000 exp(-4.1 R^-0.21 D) per m3 and mm, from 0.3 mm.
void marshall_palmer_stream(const main_hd& hd, speed_law law, double rain, double area_mm2, double* per_line,
                            double* slope) {
  *slope = 4.1 * std::pow(rain, -0.21);
  double flux = 0;  // per m2 and s
  for (double d = 0.3005; d < 8; d += 0.001)
    flux += 8000 * std::exp(-*slope * d) * std::max(0.0, reference_fall_speed(law, d)) * 0.001;
  *per_line = flux * area_mm2 * 1e-6 / hd.line_fr;
}

double cell_lower(const int i) { return k_d_first + i * k_cell_mm; }

// The prior's drops of each true cell.
std::vector<double> prior_cells() {
  std::vector<double> mass(k_cells);
  for (int i = 0; i < k_cells; ++i) mass[static_cast<size_t>(i)] = prior_mass(cell_lower(i), cell_lower(i + 1));
  return mass;
}

// The response of t weighted by mass, the drops of each true cell.
step_weights weigh_response(const efficiency_table& t, const std::vector<double>& mass) {
  step_weights w;
  w.seen.assign(k_recorded_steps, 0.0);
  w.truth.assign(k_recorded_steps, 0.0);
  for (size_t i = 0; i < mass.size(); ++i) {
    const double* row = &t.response[i * k_recorded_steps];
    for (size_t s = 0; s < k_recorded_steps; ++s) w.seen[s] += mass[i] * row[s];
    const double step = std::floor((cell_lower(static_cast<int>(i)) + 0.5 * k_cell_mm) * 100);
    if (step < k_recorded_steps) w.truth[static_cast<size_t>(step)] += mass[i];
  }
  // Below the first cell: the prior's N(D), none of which is seen.
  for (size_t s = 0; s < k_recorded_steps && (s + 1) * 0.01 <= k_d_first + 1e-9; ++s)
    w.truth[s] = prior_mass(s * 0.01, (s + 1) * 0.01);
  return w;
}

}  // namespace

efficiency_table efficiency_model(const main_hd& hd, const pairing_rules& r, const speed_check& check) {
  const speed_law law = check.law;
  efficiency_table t;
  t.d_first = k_d_first;
  t.d_step = k_d_step;
  const int n = static_cast<int>(std::lround((k_d_last - k_d_first) / k_d_step)) + 1;
  t.eff.resize(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) t.eff[static_cast<size_t>(i)] = efficiency_of_diameter(hd, r, law, k_d_first + i * k_d_step);

  random_sequence rnd{k_seed};
  t.response.assign(static_cast<size_t>(k_cells) * k_recorded_steps, 0.0);
  for (int i = 0; i < k_cells; ++i)
    simulate_diameter(hd, r, law, cell_lower(i) + rnd.next() * k_cell_mm, rnd,
                      &t.response[static_cast<size_t>(i) * k_recorded_steps]);
  t.prior = weigh_response(t, prior_cells());
  for (int k = 0; k < k_diam_bins; ++k) t.bin[k] = efficiency_mean(t, bin_lower(k), bin_lower(k + 1));

  // The stream factor: the same drops (same seed) once at the rain's rate, once ten thousand
  // times thinner, where no two meet.
  const double area = seen_area(hd);
  for (int j = 0; j < k_factor_rates; ++j) {
    double per_line = 0, slope = 0;
    marshall_palmer_stream(hd, law, k_factor_rain[j], area, &per_line, &slope);
    for (double& f : t.factor[j]) f = 1.0;
    if (!(per_line > 0 && per_line < 1)) continue;  // a damaged header: no stream to speak of
    const stream_response s = simulate_stream(hd, r, check, per_line, k_stream_drops, k_seed, slope);
    const stream_response one = simulate_stream(hd, r, check, per_line * 1e-4, k_stream_drops, k_seed, slope);
    for (int k = 0; k < k_factor_bins; ++k) {
      double seen = 0, truth = 0, seen1 = 0, truth1 = 0;
      for (int st = static_cast<int>(std::ceil(k * 12.5)); st < (k + 1) * 12.5 && st < k_stream_steps; ++st) {
        seen += s.seen[static_cast<size_t>(st)];
        truth += s.truth[static_cast<size_t>(st)];
        seen1 += one.seen[static_cast<size_t>(st)];
        truth1 += one.truth[static_cast<size_t>(st)];
      }
      // Too few drops of the bin (large drops in light rain, which rarely meet another): the
      // ratio would be the scatter of a handful of drops' speeds, not their meeting.
      const double f = truth1 >= k_factor_min_drops && seen1 > 0 ? (seen / truth) / (seen1 / truth1) : 1.0;
      t.factor[j][k] = std::isfinite(f) ? f : 1.0;
    }
  }
  return t;
}

double stream_factor(const efficiency_table& t, const double d_mm, const double rain_mm_h) {
  if (!(d_mm >= 0) || !(rain_mm_h > 0)) return 1.0;
  const double bin = std::floor(d_mm / k_diam_bin_mm);
  if (!(bin < k_factor_bins)) return 1.0;
  const int k = static_cast<int>(bin);
  const double x = std::log(rain_mm_h);
  if (x <= std::log(k_factor_rain[0])) return t.factor[0][k];
  for (int j = 1; j < k_factor_rates; ++j) {
    const double x1 = std::log(k_factor_rain[j]);
    if (x <= x1) {
      const double x0 = std::log(k_factor_rain[j - 1]), w = (x - x0) / (x1 - x0);
      return t.factor[j - 1][k] + (t.factor[j][k] - t.factor[j - 1][k]) * w;
    }
  }
  return t.factor[k_factor_rates - 1][k];
}

double prior_mass(const double lo_mm, const double hi_mm) {
  return (std::exp(-k_prior_slope * lo_mm) - std::exp(-k_prior_slope * hi_mm)) / k_prior_slope;
}

double efficiency_mean(const efficiency_table& t, const double lo_mm, const double hi_mm) {
  return efficiency_mean(t, t.prior, lo_mm, hi_mm);
}

double efficiency_mean(const efficiency_table& t, const step_weights& w, const double lo_mm, const double hi_mm) {
  const double limit = static_cast<double>(w.seen.size()) * 0.01;
  double seen = 0, truth = 0;
  const double first = std::clamp(std::floor(lo_mm * 100), 0.0, static_cast<double>(w.seen.size()));
  for (size_t s = std::isnan(first) ? w.seen.size() : static_cast<size_t>(first); s < w.seen.size(); ++s) {
    const double from = std::max(lo_mm, s * 0.01), to = std::min(hi_mm, (s + 1) * 0.01);
    if (to <= from) break;
    seen += w.seen[s] * (to - from) / 0.01;
    truth += w.truth[s] * (to - from) / 0.01;
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

double efficiency_at(const efficiency_table& t, const double d_mm) { return efficiency_at(t, t.prior, d_mm); }

double efficiency_at(const efficiency_table& t, const step_weights& w, const double d_mm) {
  if (!std::isfinite(d_mm)) return std::numeric_limits<double>::quiet_NaN();
  const double step = std::round(d_mm * 100);
  if (step >= 0 && step < static_cast<double>(w.seen.size())) {
    const auto s = static_cast<size_t>(step);
    // A fitted N(D) may hold no drops of a step at all: no efficiency there, not an infinite one.
    return w.truth[s] > 0 ? w.seen[s] / w.truth[s] : std::numeric_limits<double>::quiet_NaN();
  }
  return pass_probability(t, d_mm);
}

step_weights fit_response(const efficiency_table& t, const double* counts) {
  std::vector<double> mass = prior_cells();
  const double total = std::accumulate(mass.begin(), mass.end(), 0.0);
  if (t.response.size() != mass.size() * k_recorded_steps || std::accumulate(counts, counts + k_recorded_steps, 0.0) <= 0)
    return t.prior;
  for (int round = 0; round < k_fit_rounds; ++round) {
    const step_weights w = weigh_response(t, mass);
    for (size_t i = 0; i < mass.size(); ++i) {
      const double* row = &t.response[i * k_recorded_steps];
      double seen = 0, ratio = 0;
      for (size_t s = 0; s < k_recorded_steps; ++s) {
        if (row[s] <= 0 || w.seen[s] <= 0) continue;
        seen += row[s];
        ratio += row[s] * counts[s] / w.seen[s];
      }
      if (seen > 0) mass[i] *= ratio / seen;
    }
  }
  const double now = std::accumulate(mass.begin(), mass.end(), 0.0);
  if (!(now > 0)) return t.prior;
  for (double& m : mass) m *= total / now;
  return weigh_response(t, mass);
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

bool load_efficiency_set(const std::string& settings, const std::string& calibration, const speed_check& check,
                         efficiency_set* s, std::string* why) {
  *s = efficiency_set{};
  s->check = check;
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
  s.tables.push_back(efficiency_model(hd, s.rules, s.check));
  return &s.tables.back();
}

void apply_efficiency(particle_products& p, const double d_mm, const efficiency_table* t, const double rain_mm_h,
                      const step_weights* w) {
  if (t == nullptr) {
    p.efficiency = p.weight = std::numeric_limits<double>::quiet_NaN();
    p.efficiency_flag = efficiency_use::no_model;
    return;
  }
  p.efficiency = efficiency_at(*t, w != nullptr ? *w : t->prior, d_mm) * stream_factor(*t, d_mm, rain_mm_h);
  const bool corrected = p.efficiency >= k_efficiency_floor;
  p.weight = corrected ? 1.0 / p.efficiency : 1.0;
  p.efficiency_flag = corrected ? efficiency_use::corrected : efficiency_use::below_floor;
}

file_corrections first_walk(const std::string& path, const sno_scan& scan, const speed_check& check,
                            const bool keep_implausible) {
  file_corrections c;
  sno_fault fault;
  for_each_particle(path, scan, [&](const particle_values& v) {
    minute_add(c.uncorrected, v, derive_products(v, scan.headers, check, keep_implausible));
  }, &fault, nullptr);
  c.rain_rates = minute_rain_rates(c.uncorrected);
  return c;
}

const step_weights& fitted_response(file_corrections& c, const efficiency_table& t, const int64_t minute) {
  const auto key = std::make_pair(&t, minute);
  const auto found = c.fitted.find(key);
  if (found != c.fitted.end()) return found->second;
  double counts[k_recorded_steps] = {};
  const auto add = [&](const int64_t m) {
    const auto it = c.uncorrected.minutes.find(m);
    if (it == c.uncorrected.minutes.end()) return;
    for (size_t s = 0; s < k_recorded_steps; ++s) counts[s] += it->second.steps[s];
  };
  add(minute);
  for (int k = 1; k <= k_fit_reach && std::accumulate(counts, counts + k_recorded_steps, 0.0) < k_fit_drops; ++k) {
    add(minute - k);
    add(minute + k);
  }
  return c.fitted.emplace(key, fit_response(t, counts)).first->second;
}

void correct_particle(particle_products& p, const double d_mm, const efficiency_table* t, file_corrections& c) {
  int64_t minute = 0;
  const bool timed = minute_of(p.time, &minute);
  apply_efficiency(p, d_mm, t, rain_rate_at(c.rain_rates, p.time),
                   t != nullptr && timed ? &fitted_response(c, *t, minute) : nullptr);
}

}  // namespace dp
