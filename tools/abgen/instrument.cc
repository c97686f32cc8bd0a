#include "instrument.h"

#include <cmath>
#include <cstdio>

namespace dp::abgen {

namespace {

constexpr float k_diam[k_calib_points] = {0.30f, 0.50f, 0.75f, 1.00f, 1.50f,
                                          2.00f, 3.00f, 4.00f, 5.50f, 7.00f};

void copy_row(float (&to)[k_calib_points], const float (&from)[k_calib_points]) {
  for (int i = 0; i < k_calib_points; ++i) to[i] = from[i];
}

// Row times f at the file's resolution; adding 0.0 turns a -0 (a negative deviation times 0, or
// one rounded to nothing) into 0, which the file shows as 0.00.
void scale_row(float (&row)[k_calib_points], double f) {
  for (float& x : row) x = static_cast<float>(std::round(x * f * 100.0) / 100.0 + 0.0);
}

std::string settings_line(const char* key, const char* text, const std::string& value) {
  std::string line = std::string(key) + "  " + text;
  line.resize(60, ' ');
  return line + value + "\n";
}

std::string row_text(const char* label, const float (&row)[k_calib_points]) {
  std::string line = label;
  char field[16];
  for (const float x : row) {
    std::snprintf(field, sizeof field, "%7.2f", static_cast<double>(x));
    line += field;
  }
  return line + "\n";
}

}  // namespace

calib_rows typical_calib() {
  calib_rows c;
  copy_row(c.diam, k_diam);
  constexpr float ha[] = {5.0f, 4.0f, 3.0f, 2.5f, 2.0f, 1.5f, 1.0f, 0.5f, 0.0f, 0.0f};
  constexpr float hb[] = {4.0f, 3.5f, 3.0f, 2.0f, 1.5f, 1.0f, 0.5f, 0.0f, 0.0f, -0.5f};
  constexpr float wa[] = {8.0f, 6.0f, 4.5f, 3.5f, 2.5f, 2.0f, 1.0f, 0.5f, 0.0f, -1.0f};
  constexpr float wb[] = {7.0f, 5.5f, 4.0f, 3.0f, 2.0f, 1.5f, 1.0f, 0.0f, -0.5f, -1.0f};
  copy_row(c.dev_ha, ha);
  copy_row(c.dev_hb, hb);
  copy_row(c.dev_wa, wa);
  copy_row(c.dev_wb, wb);
  return c;
}

calib_rows neutral_calib() {
  calib_rows c;
  c.number = 1;
  copy_row(c.diam, k_diam);
  return c;
}

calib_rows measured_calib(const instrument& in) {
  calib_rows c = in.calib;
  const double widening = 1.0 - 2.0 * in.threshold;  // pixels
  if (widening == 0.0) return c;
  // At the file's 0.01 %; adding 0.0 turns a -0 into 0, as in scale_row.
  const auto widened = [&](float dev, float pixel, double d) {
    return static_cast<float>(std::round((dev + 100.0 * widening * pixel / d) * 100.0) / 100.0 + 0.0);
  };
  for (int i = 0; i < k_calib_points; ++i) {
    c.dev_wa[i] = widened(c.dev_wa[i], in.XSCALE0_1, c.diam[i]);
    c.dev_wb[i] = widened(c.dev_wb[i], in.XSCALE0_2, c.diam[i]);
  }
  return c;
}

calib_rows scaled_calib(const calib_rows& c, double f) {
  calib_rows s = c;
  scale_row(s.dev_ha, f);
  scale_row(s.dev_hb, f);
  scale_row(s.dev_wa, f);
  scale_row(s.dev_wb, f);
  return s;
}

void set_format(instrument& in, const int16_t format) {
  in.format = format;
  if (format != 3) in.x_center = k_implied_x_center;
}

bool set_frequency(instrument& in, double hz) {
  if (!(hz > 0.0)) return false;
  if (in.format != 1) {
    in.freq = hz;
    in.divisor = 0;
    return true;
  }
  const double d = std::round(1193180.0 / hz);
  if (d < 1.0 || d > 32767.0) return false;
  in.divisor = static_cast<int16_t>(d);
  in.freq = static_cast<double>(1193180 / in.divisor);
  return true;
}

double column_a(const instrument& in, double u, double v) {
  return in.x_center + u * pixels_per_mm_a(in, v);
}

double column_b(const instrument& in, double u, double v) {
  return in.x_center + v * pixels_per_mm_b(in, u);
}

double pixels_per_mm_a(const instrument& in, double v) {
  const double l0 = in.L0_1;
  return l0 / (static_cast<double>(in.XSCALE0_1) * (l0 - v));
}

double pixels_per_mm_b(const instrument& in, double u) {
  const double l0 = in.L0_2;
  return l0 / (static_cast<double>(in.XSCALE0_2) * (l0 + u));
}

double plane_distance(const instrument& in, double ca, double cb) {
  const double n = 2.0 * in.x_center - 1.0;
  const double hbl = in.HBL, hbr = in.HBR, hfr = in.HFR;
  return hbl + (hbr - hbl) * ca / n + (hfr - hbr) * cb / n;
}

double deviation(const float (&diam)[k_calib_points], const float (&dev)[k_calib_points], double s) {
  if (s >= diam[k_calib_points - 1]) return dev[k_calib_points - 1];
  int j = 1;
  while (j < k_calib_points - 1 && s > diam[j]) ++j;
  const double d0 = diam[j - 1], d1 = diam[j];
  return dev[j - 1] + (static_cast<double>(dev[j]) - dev[j - 1]) * (s - d0) / (d1 - d0);
}

double height_factor(const calib_rows& c, double height) {
  const double ka = 1.0 / (1.0 + deviation(c.diam, c.dev_ha, height) * 0.01);
  const double kb = 1.0 / (1.0 + deviation(c.diam, c.dev_hb, height) * 0.01);
  return 2.0 / (ka + kb);
}

std::string settings_text(const instrument& in) {
  char num[32];
  std::string t = "settings of the pairing run          (values from column 61 on)\n";
  t += std::string(72, '-') + "\n";
  t += settings_line("HARDC_P", "directory for hard copies", "");
  t += settings_line("RAW_PATH", "directory of the raw-header index file", "");
  t += settings_line("HYD_PATH", "directory of particle and header files", "");
  std::snprintf(num, sizeof num, "%d", in.delta_hgt);
  t += settings_line("DELTA_HGT", "max. difference of line counts A/B", num);
  t += settings_line("VEL_MIN", "lowest plausible fall speed (m/s)", "0.5");
  t += settings_line("F_VMIN", "factor for VEL_MIN", "0.6");
  t += settings_line("VEL_MAX", "highest plausible fall speed (m/s)", "12.0");
  t += settings_line("F_VMAX", "factor for VEL_MAX", "1.4");
  t += settings_line("OBL_MIN", "lowest plausible oblateness", "0.5");
  t += settings_line("F_OMIN", "factor for OBL_MIN", "0.8");
  t += settings_line("OBL_MAX", "highest plausible oblateness", "1.1");
  t += settings_line("F_OMAX", "factor for OBL_MAX", "1.2");
  std::snprintf(num, sizeof num, "%.2f", static_cast<double>(in.wa_wb));
  t += settings_line("WA_WB", "lower bound of width ratio A/B", num);
  t += settings_line("RANK_ATLAS", "rank of the speed relation", "3");
  t += settings_line("RANK_PB", "rank of the shape relation", "2");
  return t;
}

std::string corrfact_text(const calib_rows& c) {
  char line2[96];
  std::snprintf(line2, sizeof line2, "%-54s%d\n", "synthetic two-camera instrument, calibration no.",
                c.number);
  return std::string("Correction factors in percent for relative threshold\n") + line2 +
         row_text("diameter: ", c.diam) + "deviation of the measured from the true size in percent\n" +
         row_text("height A: ", c.dev_ha) + row_text("height B: ", c.dev_hb) +
         row_text("width A : ", c.dev_wa) + row_text("width B : ", c.dev_wb);
}

}  // namespace dp::abgen
