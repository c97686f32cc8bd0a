#include "sno_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace dp {

namespace {

constexpr double k_width = 1100, k_height = 540;
constexpr const char* k_font = "DejaVu Sans, Helvetica, Arial, sans-serif";
constexpr const char* k_point_colour = "#1f77b4";
constexpr const char* k_curve_colour = "#d62728";

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, f);
  std::vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

std::string escape(const std::string& s) {
  std::string out;
  for (const char c : s) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '"') out += "&quot;";
    else out += c;
  }
  return out;
}

/// A step of 1, 2, 2.5 or 5 times a power of ten that cuts span into about target parts.
double nice_step(double span, int target) {
  const double raw = span / target;
  const double mag = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double m : {1.0, 2.0, 2.5, 5.0})
    if (m * mag >= raw * (1 - 1e-9)) return m * mag;
  return 10.0 * mag;
}

/// The tick label of v at the given step: as many decimals as the step needs.
std::string tick_label(double v, double step) {
  int decimals = 0;
  while (decimals < 4 && std::fabs(step * std::pow(10.0, decimals) - std::round(step * std::pow(10.0, decimals))) > 1e-6)
    ++decimals;
  return fmt("%.*f", decimals, std::fabs(v) < step * 1e-6 ? 0.0 : v);
}

double upper_quantile(std::vector<double> v, double q) {
  v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return !std::isfinite(x); }), v.end());
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

/// A plot area on the page and its data ranges (both start at 0).
struct panel {
  double x0, y0, w, h;  // page coordinates of the area's top-left corner and size
  double xmax, ymax, xstep, ystep;
  double px(double x) const { return x0 + x / xmax * w; }
  double py(double y) const { return y0 + h - y / ymax * h; }
};

void axes(std::string& s, const panel& p, const std::string& title, const std::string& xlabel, const std::string& ylabel) {
  s += fmt("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"#fbfbfb\" stroke=\"none\"/>\n", p.x0, p.y0,
           p.w, p.h);
  s += "<g stroke=\"#e3e3e3\" stroke-width=\"1\">\n";
  for (double x = p.xstep; x <= p.xmax * (1 + 1e-9); x += p.xstep)
    s += fmt("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", p.px(x), p.y0, p.px(x), p.y0 + p.h);
  for (double y = p.ystep; y <= p.ymax * (1 + 1e-9); y += p.ystep)
    s += fmt("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", p.x0, p.py(y), p.x0 + p.w, p.py(y));
  s += "</g>\n<g stroke=\"#333\" stroke-width=\"1\">\n";
  s += fmt("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", p.x0, p.y0 + p.h, p.x0 + p.w, p.y0 + p.h);
  s += fmt("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", p.x0, p.y0, p.x0, p.y0 + p.h);
  for (double x = 0; x <= p.xmax * (1 + 1e-9); x += p.xstep)
    s += fmt("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", p.px(x), p.y0 + p.h, p.px(x), p.y0 + p.h + 5);
  for (double y = 0; y <= p.ymax * (1 + 1e-9); y += p.ystep)
    s += fmt("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", p.x0 - 5, p.py(y), p.x0, p.py(y));
  s += "</g>\n<g font-size=\"12\" fill=\"#333\">\n";
  for (double x = 0; x <= p.xmax * (1 + 1e-9); x += p.xstep)
    s += fmt("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", p.px(x), p.y0 + p.h + 19,
             tick_label(x, p.xstep).c_str());
  for (double y = 0; y <= p.ymax * (1 + 1e-9); y += p.ystep)
    s += fmt("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", p.x0 - 9, p.py(y) + 4,
             tick_label(y, p.ystep).c_str());
  s += "</g>\n";
  s += fmt("<text x=\"%.1f\" y=\"%.1f\" font-size=\"15\" font-weight=\"bold\" text-anchor=\"middle\">%s</text>\n",
           p.x0 + p.w / 2, p.y0 - 12, escape(title).c_str());
  s += fmt("<text x=\"%.1f\" y=\"%.1f\" font-size=\"13\" text-anchor=\"middle\">%s</text>\n", p.x0 + p.w / 2,
           p.y0 + p.h + 42, escape(xlabel).c_str());
  // The axis label stands clear of the longest tick label (about 7 px a character at 12 px).
  size_t widest = 1;
  for (double y = 0; y <= p.ymax * (1 + 1e-9); y += p.ystep) widest = std::max(widest, tick_label(y, p.ystep).size());
  const double ly = p.y0 + p.h / 2;
  const double lx = p.x0 - 24 - 7.0 * static_cast<double>(widest);
  s += fmt("<text x=\"%.1f\" y=\"%.1f\" font-size=\"13\" text-anchor=\"middle\" transform=\"rotate(-90 %.1f %.1f)\">%s</text>\n",
           lx, ly, lx, ly, escape(ylabel).c_str());
}

}  // namespace

std::string svg_plot(const std::vector<double>& diam_mm, const std::vector<double>& speed_m_s, const std::string& title,
                     const speed_check& check) {
  const size_t n = diam_mm.size();
  // Axes reach the largest value unless it lies far beyond the 99.5th percentile.
  const auto reach = [](const std::vector<double>& v) {
    const double q = upper_quantile(v, 0.995);
    return std::max(q, std::min(upper_quantile(v, 1.0), q * 1.25));
  };
  const double dmax_data = reach(diam_mm);
  const double vmax_data = reach(speed_m_s);
  panel sc{};
  sc.x0 = 90;
  sc.y0 = 96;
  sc.w = 580;
  sc.h = 360;
  sc.xstep = nice_step(std::max(1.0, dmax_data * 1.05), 6);
  sc.xmax = std::ceil(std::max(1.0, dmax_data * 1.05) / sc.xstep - 1e-9) * sc.xstep;
  sc.ystep = nice_step(std::max(10.0, vmax_data * 1.05), 6);
  sc.ymax = std::ceil(std::max(10.0, vmax_data * 1.05) / sc.ystep - 1e-9) * sc.ystep;

  // Histogram bins over the scatter's diameter range.
  const double bin = nice_step(sc.xmax, 24);
  const size_t n_bins = static_cast<size_t>(std::llround(sc.xmax / bin));
  std::vector<int64_t> counts(n_bins, 0);
  size_t beyond_d = 0;
  for (const double d : diam_mm) {
    if (!(d >= 0) || d >= sc.xmax) {
      ++beyond_d;
      continue;
    }
    const size_t k = std::min(n_bins - 1, static_cast<size_t>(d / bin));
    ++counts[k];
  }
  const int64_t cmax = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
  panel hi{};
  hi.x0 = 770;
  hi.y0 = 96;
  hi.w = 290;
  hi.h = 360;
  hi.xmax = sc.xmax;
  hi.xstep = sc.xmax / sc.xstep > 6 ? sc.xstep * 2 : sc.xstep;
  hi.ystep = nice_step(std::max<double>(5.0, static_cast<double>(cmax)), 5);
  hi.ystep = std::max(1.0, std::round(hi.ystep));
  hi.ymax = std::ceil(std::max<double>(5.0, static_cast<double>(cmax)) / hi.ystep - 1e-9) * hi.ystep;
  if (hi.ymax < static_cast<double>(cmax)) hi.ymax += hi.ystep;

  const size_t every = n > k_plot_max_points ? (n + k_plot_max_points - 1) / k_plot_max_points : 1;
  size_t shown = 0, outside = 0, no_speed = 0;

  std::string s;
  s.reserve(200000 + 60 * std::min(n, k_plot_max_points));
  s += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  s += fmt("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
           "font-family=\"%s\">\n",
           k_width, k_height, k_width, k_height, k_font);
  s += fmt("<rect width=\"%.0f\" height=\"%.0f\" fill=\"white\"/>\n", k_width, k_height);
  s += fmt("<text x=\"%.1f\" y=\"34\" font-size=\"19\" font-weight=\"bold\" text-anchor=\"middle\">%s</text>\n",
           k_width / 2, escape(title).c_str());
  s += fmt("<defs><clipPath id=\"scatter-area\"><rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/></clipPath></defs>\n",
           sc.x0, sc.y0, sc.w, sc.h);

  axes(s, sc, "Fall speed against diameter", "equivalent diameter D (mm)", "fall speed v (m/s)");
  // The tolerance band under the points: the speeds the check calls plausible. The curve and band
  // are sampled at 200 diameters; where the law has no value (Beard at D = 0) they start later.
  std::vector<double> ds, band_lo, band_hi;
  for (int k = 0; k <= 200; ++k) {
    const double d = sc.xmax * k / 200.0;
    const double v = reference_fall_speed(check.law, d);
    if (!std::isfinite(v)) continue;
    const double tol = check.relative ? check.tolerance * std::fabs(v) : check.tolerance;
    ds.push_back(d);
    band_lo.push_back(std::max(0.0, v - tol));
    band_hi.push_back(std::max(0.0, v + tol));
  }
  s += fmt("<polygon id=\"tolerance-band\" clip-path=\"url(#scatter-area)\" fill=\"%s\" fill-opacity=\"0.12\" "
           "stroke=\"none\" points=\"",
           k_curve_colour);
  for (size_t k = 0; k < ds.size(); ++k) s += fmt("%s%.1f,%.1f", k == 0 ? "" : " ", sc.px(ds[k]), sc.py(band_hi[k]));
  for (size_t k = ds.size(); k-- > 0;) s += fmt(" %.1f,%.1f", sc.px(ds[k]), sc.py(band_lo[k]));
  s += "\"/>\n";
  // Its two edges dashed (not the polygon's outline, which would also draw its ends).
  for (const std::vector<double>* edge : {&band_hi, &band_lo}) {
    s += fmt("<polyline clip-path=\"url(#scatter-area)\" fill=\"none\" stroke=\"%s\" stroke-opacity=\"0.55\" "
             "stroke-width=\"1\" stroke-dasharray=\"5 3\" points=\"",
             k_curve_colour);
    for (size_t k = 0; k < ds.size(); ++k) s += fmt("%s%.1f,%.1f", k == 0 ? "" : " ", sc.px(ds[k]), sc.py((*edge)[k]));
    s += "\"/>\n";
  }
  s += fmt("<g clip-path=\"url(#scatter-area)\" fill=\"%s\" fill-opacity=\"0.45\">\n", k_point_colour);
  for (size_t i = 0; i < n; ++i) {
    const double d = diam_mm[i];
    const double v = i < speed_m_s.size() ? speed_m_s[i] : NAN;
    if (std::isnan(v)) {
      ++no_speed;
      continue;
    }
    if (!(d >= 0 && d <= sc.xmax && v >= 0 && v <= sc.ymax)) {
      ++outside;
      continue;
    }
    if (i % every != 0) continue;
    ++shown;
    s += fmt("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2.3\"/>\n", sc.px(d), sc.py(v));
  }
  s += "</g>\n";
  s += fmt("<polyline id=\"reference-curve\" clip-path=\"url(#scatter-area)\" fill=\"none\" stroke=\"%s\" "
           "stroke-width=\"2.2\" points=\"",
           k_curve_colour);
  for (size_t k = 0; k < ds.size(); ++k)
    s += fmt("%s%.1f,%.1f", k == 0 ? "" : " ", sc.px(ds[k]), sc.py(reference_fall_speed(check.law, ds[k])));
  s += "\"/>\n";

  // Legend, lower right of the scatter (large drops never fall slowly).
  const std::string law = check.law == speed_law::atlas
                              ? "Atlas et al. (1973): v = 9.65 \xE2\x88\x92 10.3 exp(\xE2\x88\x92" "0.6 D)"
                              : "Beard (1976) at 1013 hPa, 20 \xC2\xB0" "C";
  const std::string band = check.relative ? fmt("tolerance \xC2\xB1%.4g %% of the reference", check.tolerance * 100.0)
                                          : fmt("tolerance \xC2\xB1%.4g m/s", check.tolerance);
  const double lx = sc.x0 + sc.w - 352, ly = sc.y0 + sc.h - 86;
  s += fmt("<g font-size=\"12\"><rect x=\"%.1f\" y=\"%.1f\" width=\"340\" height=\"74\" rx=\"4\" fill=\"white\" "
           "fill-opacity=\"0.92\" stroke=\"#999\"/>\n",
           lx, ly);
  s += fmt("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3.5\" fill=\"%s\" fill-opacity=\"0.6\"/>\n", lx + 18, ly + 18, k_point_colour);
  s += fmt("<text x=\"%.1f\" y=\"%.1f\">particles (%lld drawn)</text>\n", lx + 34, ly + 22, static_cast<long long>(shown));
  s += fmt("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" stroke-width=\"2.2\"/>\n", lx + 8,
           ly + 38, lx + 28, ly + 38, k_curve_colour);
  s += fmt("<text x=\"%.1f\" y=\"%.1f\">%s</text>\n", lx + 34, ly + 42, escape(law).c_str());
  s += fmt("<rect x=\"%.1f\" y=\"%.1f\" width=\"20\" height=\"10\" fill=\"%s\" fill-opacity=\"0.12\" stroke=\"%s\" "
           "stroke-opacity=\"0.55\" stroke-dasharray=\"5 3\"/>\n",
           lx + 8, ly + 53, k_curve_colour, k_curve_colour);
  s += fmt("<text x=\"%.1f\" y=\"%.1f\">%s</text></g>\n", lx + 34, ly + 62, escape(band).c_str());

  axes(s, hi, "Size distribution", "equivalent diameter D (mm)", fmt("particles per %s mm", tick_label(bin, bin).c_str()));
  s += fmt("<g fill=\"%s\" fill-opacity=\"0.8\" stroke=\"white\" stroke-width=\"0.6\">\n", k_point_colour);
  for (size_t k = 0; k < n_bins; ++k) {
    if (counts[k] == 0) continue;
    const double x = hi.px(static_cast<double>(k) * bin);
    const double w = hi.px(static_cast<double>(k + 1) * bin) - x;
    const double y = hi.py(static_cast<double>(counts[k]));
    s += fmt("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/>\n", x, y, w, hi.y0 + hi.h - y);
  }
  s += "</g>\n";

  std::string caption = fmt("%lld particles", static_cast<long long>(n));
  if (every > 1) caption += fmt("; 1 in %lld drawn", static_cast<long long>(every));
  if (outside > 0) caption += fmt("; %lld outside the scatter axes", static_cast<long long>(outside));
  if (no_speed > 0) caption += fmt("; %lld without a fall speed (no main header holds)", static_cast<long long>(no_speed));
  if (beyond_d > 0) caption += fmt("; %lld outside the histogram", static_cast<long long>(beyond_d));
  s += fmt("<text x=\"%.1f\" y=\"58\" font-size=\"13\" fill=\"#555\" text-anchor=\"middle\">%s</text>\n", k_width / 2,
           escape(caption).c_str());
  s += "</svg>\n";
  return s;
}

}  // namespace dp
