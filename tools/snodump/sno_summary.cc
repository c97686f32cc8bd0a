#include "sno_summary.h"

#include <algorithm>
#include <cmath>

namespace dp {

namespace {

std::string count(int64_t n, const char* what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); }

double quantile(const std::vector<double>& sorted, double q) {
  const double pos = q * static_cast<double>(sorted.size() - 1);
  const auto lo = static_cast<size_t>(pos);
  const size_t hi = lo + 1 < sorted.size() ? lo + 1 : lo;
  return sorted[lo] + (sorted[hi] - sorted[lo]) * (pos - static_cast<double>(lo));
}

void print_stats_row(std::FILE* out, const char* name, const sample_stats& s) {
  std::fprintf(out, "%-18s %9lld", name, static_cast<long long>(s.count));
  if (s.count > 0)
    for (const double v : {s.mean, s.median, s.p5, s.p25, s.p75, s.p95, s.min, s.max}) std::fprintf(out, " %9.3f", v);
  std::fputc('\n', out);
}

void print_header(std::FILE* out, size_t i, const sno_header_rec& r) {
  const main_hd& h = r.hd;
  char name[sizeof h.sno_name + 1] = {};
  for (size_t k = 0; k < sizeof h.sno_name && h.sno_name[k] != '\0'; ++k)
    name[k] = h.sno_name[k] >= 32 && h.sno_name[k] < 127 ? h.sno_name[k] : '?';
  std::fprintf(out, "\nmain header %lld at byte offset %lld of the particle file\n", static_cast<long long>(i) + 1, static_cast<long long>(r.offset));
  std::fprintf(out, "  valid since     %s UTC (second %u of the day, from line %.1f)\n", utc_text(h.main_time).c_str(),
               h.main_time % 86400u, r.start_line);
  std::fprintf(out, "  line frequency  %.10g Hz\n", h.line_fr);
  if (h.oeu_nr == 0) std::fprintf(out, "  OEU             ???\n");
  else std::fprintf(out, "  OEU             %d\n", h.oeu_nr);
  std::fprintf(out, "  light planes    HBL %.3f mm, HBR %.3f mm, HFR %.3f mm apart\n", h.HBL, h.HBR, h.HFR);
  std::fprintf(out, "  camera A        XSCALE0_1 %.5f mm/pixel, L0_1 %.1f mm\n", h.XSCALE0_1, h.L0_1);
  std::fprintf(out, "  camera B        XSCALE0_2 %.5f mm/pixel, L0_2 %.1f mm\n", h.XSCALE0_2, h.L0_2);
  std::fprintf(out, "  x_center        %d (gates %d, %d; ratio %d %%)\n", h.x_center, h.gate1, h.gate2, h.ratio_pct);
  std::fprintf(out, "  particle file   %s\n", name);
}

}  // namespace

sample_stats describe(std::vector<double> v) {
  v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
  sample_stats s;
  s.count = static_cast<int64_t>(v.size());
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  double sum = 0;
  for (const double x : v) sum += x;
  s.mean = sum / static_cast<double>(v.size());
  s.median = quantile(v, 0.5);
  s.p5 = quantile(v, 0.05);
  s.p25 = quantile(v, 0.25);
  s.p75 = quantile(v, 0.75);
  s.p95 = quantile(v, 0.95);
  s.min = v.front();
  s.max = v.back();
  return s;
}

void summary_add(run_summary& s, const particle_values& v) {
  s.diam_mm.push_back(v.eq_diam_mm);
  s.speed_m_s.push_back(v.speed_m_s);
  const double minute = std::floor(v.time_s / 60.0);
  ++s.per_minute[std::isfinite(minute) && std::fabs(minute) < 1e15 ? static_cast<int64_t>(minute) : -1];
  s.images_bad += (v.height_a_lines < 0 ? 1 : 0) + (v.height_b_lines < 0 ? 1 : 0);
}

void summary_add_products(run_summary& s, const particle_products& p) {
  ++s.verdicts[static_cast<int>(p.verdict)];
  ++s.uses[static_cast<int>(p.use)];
}

void print_summary(std::FILE* out, const run_summary& s) {
  const sno_scan& sc = s.scan;
  std::fprintf(out, "particle file     %s: %lld bytes, %s (%s, %s)\n", s.sno_path.c_str(),
               static_cast<long long>(sc.size), count(sc.records, "record").c_str(),
               count(static_cast<int64_t>(sc.headers.size()), "main header").c_str(),
               count(sc.particles, "particle").c_str());
  if (s.have_shd) {
    int minutes = 0;
    for (const int32_t v : s.shd.pix_bf) minutes += v != -1 ? 1 : 0;
    std::fprintf(out, "header file       %s: %lld bytes, %s, oldlen %d, %s indexed\n", s.shd_path.c_str(),
                 static_cast<long long>(s.shd.size), count(static_cast<int64_t>(s.shd.headers.size()), "main header").c_str(),
                 s.shd.oldlen, count(minutes, "minute").c_str());
  } else {
    std::fprintf(out, "header file       %s\n", s.shd_note.c_str());
  }
  if (s.have_abh) {
    int a = 0, b = 0;
    for (int k = 0; k < k_table_minutes; ++k) {
      a += s.abh.posa_bf[k] != 0 ? 1 : 0;
      b += s.abh.posb_bf[k] != 0 ? 1 : 0;
    }
    std::fprintf(out,
                 "index file        %s: %lld bytes, %s, lastpix_y %.1f, raw positions for %d (A) and %d (B) minutes\n",
                 s.abh_path.c_str(), static_cast<long long>(s.abh.size),
                 count(static_cast<int64_t>(s.abh.headers.size()), "main header").c_str(), s.abh.lastpix_y, a, b);
  } else {
    std::fprintf(out, "index file        %s\n", s.abh_note.c_str());
  }

  for (size_t i = 0; i < sc.headers.size(); ++i) print_header(out, i, sc.headers[i]);

  if (sc.particles == 0) {
    std::fprintf(out, "\nno particle records\n");
    return;
  }
  std::fprintf(out, "\nparticles per minute\n  minute  from (UTC)  particles\n");
  for (const auto& [minute, n] : s.per_minute) {
    if (minute < 0) continue;
    std::fprintf(out, "  %6lld  %02lld:%02lld       %9lld\n", static_cast<long long>(minute),
                 static_cast<long long>(minute / 60), static_cast<long long>(minute % 60), static_cast<long long>(n));
  }
  const auto none = s.per_minute.find(-1);
  if (none != s.per_minute.end())
    std::fprintf(out, "  %lld particles lie before every main header (no time)\n", static_cast<long long>(none->second));
  if (s.images_bad > 0)
    std::fprintf(out, "  %lld images could not be decoded\n", static_cast<long long>(s.images_bad));

  std::fprintf(out, "\n%-18s %9s %9s %9s %9s %9s %9s %9s %9s %9s\n", "", "count", "mean", "median", "p5", "p25", "p75",
               "p95", "min", "max");
  print_stats_row(out, "diameter (mm)", describe(s.diam_mm));
  print_stats_row(out, "fall speed (m/s)", describe(s.speed_m_s));
  const auto n = [](int64_t v) { return static_cast<long long>(v); };
  std::fprintf(out, "\nfall speed check  against %s: %lld plausible, %lld too slow, %lld too fast, %lld not checked\n",
               s.speed_rule.c_str(), n(s.verdicts[0]), n(s.verdicts[1]), n(s.verdicts[2]), n(s.verdicts[3]));
  std::fprintf(out,
               "per-minute products  %lld particles used; left out: %lld with an implausible fall speed, %lld cut "
               "at a line end, %lld of 10 mm or more, %lld incomplete\n",
               n(s.uses[0]), n(s.uses[1]), n(s.uses[2]), n(s.uses[3]), n(s.uses[4]));
}

}  // namespace dp
