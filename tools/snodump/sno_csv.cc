#include "sno_csv.h"

#include <cmath>

namespace dp {

namespace {

void add_real(std::string& row, const char* fmt, double v) {
  if (!std::isfinite(v)) return;
  char buf[400];  // "%.1f" of the largest double
  std::snprintf(buf, sizeof buf, fmt, v);
  row += buf;
}

void add_size(std::string& row, int32_t v) {
  if (v >= 0) row += std::to_string(v);
}

}  // namespace

std::string csv_row(const particle_values& v) {
  std::string row;
  row.reserve(128);
  add_real(row, "%.6f", v.time_s);
  row += ',';
  add_real(row, "%.1f", v.y_start);
  row += ',';
  add_real(row, "%.2f", v.eq_diam_mm);
  row += ',';
  add_real(row, "%.6g", v.speed_m_s);
  row += ',';
  add_real(row, "%.4f", v.scale_a_mm);
  row += ',';
  add_real(row, "%.4f", v.scale_b_mm);
  row += ',';
  add_real(row, "%.4f", v.scale_h_mm);
  for (const int32_t n : {v.x_min_a, v.x_min_b, v.lines_a, v.lines_b}) row += ',' + std::to_string(n);
  for (const int32_t n : {v.width_a_px, v.width_b_px, v.height_a_lines, v.height_b_lines}) {
    row += ',';
    add_size(row, n);
  }
  row += ',' + std::to_string(v.diff_lins);
  return row;
}

std::string minute_csv_columns() {
  std::string row = "time,time_s,full_minute,particles,used,implausible,rain_rate_mm_h,concentration_m3,dm_mm,"
                    "nw_m3_mm,z_mm6_m3,lwc_g_m3";
  for (const char* what : {"count", "nd"}) {
    for (int k = 0; k < k_diam_bins; ++k) {
      char buf[48];
      std::snprintf(buf, sizeof buf, ",%s_%.3f_%.3f", what, bin_lower(k), bin_lower(k + 1));
      row += buf;
    }
  }
  return row;
}

void write_minute_csv(std::FILE* out, const minute_table& t, const double start) {
  std::fprintf(out, "%s\n", minute_csv_columns().c_str());
  const minute_sums none;
  std::string row;
  for (const int64_t m : minute_axis(t, start)) {
    const auto found = t.minutes.find(m);
    const minute_sums& s = found != t.minutes.end() ? found->second : none;
    const minute_values v = minute_finish(s);
    row = iso_time(static_cast<double>(m) * k_minute_s) + "," + std::to_string(m * 60) + "," +
          (minute_complete(t, start, m) ? "1" : "0");
    for (const int64_t n : {s.particles, s.used, s.implausible}) row += "," + std::to_string(n);
    for (const double x : {v.rain_rate, v.concentration, v.dm, v.nw, v.z, v.lwc}) {
      row += ',';
      add_real(row, "%.6g", x);
    }
    for (const int64_t n : s.counts) row += "," + std::to_string(n);
    for (const double x : v.nd) {
      row += ',';
      add_real(row, "%.6g", x);
    }
    std::fprintf(out, "%s\n", row.c_str());
  }
}

}  // namespace dp
