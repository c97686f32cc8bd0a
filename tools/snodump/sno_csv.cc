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

}  // namespace dp
