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

std::string iso_time_ms(const double t) {
  if (!std::isfinite(t) || t < 0 || t >= 4294967296.0) return "";
  // Rounded once, in milliseconds, so that 59.9996 s becomes the next minute, not "59.1000".
  const auto ms = static_cast<int64_t>(std::llround(t * 1000.0));
  const int64_t s = ms / 1000;
  if (s > 4294967295LL) return "";
  std::string text = utc_text(static_cast<uint32_t>(s));
  text[10] = 'T';
  char frac[8];
  std::snprintf(frac, sizeof frac, ".%03dZ", static_cast<int>(ms % 1000));
  return text + frac;
}

std::string csv_row(const particle_values& v, const particle_products& p) {
  std::string row;
  row.reserve(192);
  row += iso_time_ms(p.time);
  row += ',';
  add_real(row, "%.6f", p.time);
  row += ',';
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
  row += ',' + std::to_string(static_cast<int>(p.verdict));
  row += ',' + std::to_string(static_cast<int>(p.use));
  row += ',';
  add_real(row, "%.4f", p.efficiency);
  row += ',' + std::to_string(static_cast<int>(p.efficiency_flag));
  return row;
}

std::string minute_csv_columns() {
  std::string row = "time,time_unix_s,full_minute,particles,used,implausible,rain_rate_mm_per_h,concentration_per_m3,"
                    "dm_mm,nw_per_m3_mm,z_mm6_per_m3,reflectivity_dbz,lwc_g_per_m3";
  const auto add_bins = [&row](const char* what) {
    for (int k = 0; k < k_diam_bins; ++k) {
      char buf[64];
      std::snprintf(buf, sizeof buf, ",%s_%.3f_%.3f", what, bin_lower(k), bin_lower(k + 1));
      row += buf;
    }
  };
  add_bins("count");
  add_bins("nd_per_m3_mm");
  row += ",uncorrected_particles,rain_rate_corrected_mm_per_h,concentration_corrected_per_m3,dm_corrected_mm,"
         "nw_corrected_per_m3_mm,z_corrected_mm6_per_m3,reflectivity_corrected_dbz,lwc_corrected_g_per_m3";
  add_bins("nd_corrected_per_m3_mm");
  add_bins("efficiency");
  return row;
}

void write_minute_csv(std::FILE* out, const minute_table& t, const double start, const efficiency_table* eff,
                      file_corrections* fits) {
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
    const double dbz = v.z > 0 ? 10.0 * std::log10(v.z) : NAN;
    for (const double x : {v.rain_rate, v.concentration, v.dm, v.nw, v.z, dbz, v.lwc}) {
      row += ',';
      add_real(row, "%.6g", x);
    }
    for (const int64_t n : s.counts) row += "," + std::to_string(n);
    for (const double x : v.nd) {
      row += ',';
      add_real(row, "%.6g", x);
    }
    row += "," + std::to_string(s.below_floor);
    const double dbz_c = v.z_c > 0 ? 10.0 * std::log10(v.z_c) : NAN;
    for (const double x : {v.rain_rate_c, v.concentration_c, v.dm_c, v.nw_c, v.z_c, dbz_c, v.lwc_c}) {
      row += ',';
      add_real(row, "%.6g", x);
    }
    for (const double x : v.nd_c) {
      row += ',';
      add_real(row, "%.6g", x);
    }
    const step_weights* w = eff != nullptr && fits != nullptr ? &fitted_response(*fits, *eff, m) : nullptr;
    for (int k = 0; k < k_diam_bins; ++k) {
      row += ',';
      if (eff == nullptr) continue;
      const double single = w != nullptr ? efficiency_mean(*eff, *w, bin_lower(k), bin_lower(k + 1)) : eff->bin[k];
      add_real(row, "%.4f", single * stream_factor(*eff, bin_lower(k) + k_diam_bin_mm / 2, v.rain_rate));
    }
    std::fprintf(out, "%s\n", row.c_str());
  }
}

}  // namespace dp
