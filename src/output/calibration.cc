#include "output/calibration.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "control/messages.h"

namespace dp {

calibration_state calib;

namespace {

constexpr const char* k_corr_file = "corrfact.dat";
constexpr int k_line_chars = 98;  // fgets size: at most 97 characters and the terminator

void read_row(const char* line, float* row) {
  for (int i = 0; i < k_n_diam; ++i) row[i] = calib_field(line, 10 + 7 * i);
}

// Expands one deviation row into its table; ends the run when the anchors cannot form one.
void fill_table(const float* dev, float* corr, const char* what) {
  float anchor[k_n_diam];
  for (int i = 0; i < k_n_diam; ++i)
    anchor[i] = static_cast<float>((static_cast<double>(dev[i]) * 0.01 + 1.0) * static_cast<double>(calib.diam[i]));
  if (anchor[k_n_diam - 1] <= 0.0f)
    fatal_announced("tables: %s refused for %s: the measured size of the last diameter is %f, not above 0\n",
                    k_corr_file, what, static_cast<double>(anchor[k_n_diam - 1]));
  for (int i = 0; i + 1 < k_n_diam; ++i)
    if (anchor[i] == anchor[i + 1])
      fatal_announced("tables: %s refused for %s: diameters %d and %d give the same measured size %f\n",
                      k_corr_file, what, i + 1, i + 2, static_cast<double>(anchor[i]));

  int stop = -1;
  for (int k = 0; k < k_corr_size; ++k) {
    const float m = static_cast<float>(k * 0.1);
    if (m >= anchor[k_n_diam - 1]) {
      stop = k;
      break;
    }
    int j = 1;
    while (j < k_n_diam - 1 && m > anchor[j]) ++j;  // m is below anchor[9], so j never passes 9
    const double d0 = dev[j - 1];
    const double a0 = anchor[j - 1];
    const auto p = static_cast<float>(d0 + (static_cast<double>(dev[j]) - d0) * (static_cast<double>(m) - a0) /
                                               (static_cast<double>(anchor[j]) - a0));
    corr[k] = static_cast<float>(1.0 / (1.0 + static_cast<double>(p) * 0.01));
  }
  // Sizes at and beyond the last anchor keep the last factor computed (stop >= 1: anchor[9] > 0).
  if (stop > 0)
    for (int k = stop - 1; k < k_corr_size; ++k) corr[k] = corr[stop - 1];
}

void trace_row(const char* label, const float* row) {
  hprintf("%s", label);
  for (int i = 0; i < k_n_diam - 1; ++i) hprintf("%f, ", static_cast<double>(row[i]));
  hprintf("%f\n", static_cast<double>(row[k_n_diam - 1]));
}

}  // namespace

float calib_field(const char* line, int col) {
  if (col < 0 || static_cast<size_t>(col) >= std::strlen(line)) return 0.0f;
  float v = 0.0f;
  if (std::sscanf(line + col, "%6f", &v) != 1) return 0.0f;
  return v;
}

void tables() {
  hprintf("tables: calib=%d \n", int32_t{0});
  std::FILE* const fp = std::fopen(k_corr_file, "r");
  if (fp == nullptr) {
    const int err = errno;
    log_printf("tables: could not open %s \n", k_corr_file);
    con_printf("could not open %s \n", k_corr_file);
    std::fflush(stdout);
    errno = err;
    report_syserr("tables01");
    fatal_end();
  }

  float* const rows[8] = {nullptr, nullptr, calib.diam, nullptr, calib.dev_ha, calib.dev_hb, calib.dev_wa, calib.dev_wb};
  for (int n = 0; n < 8; ++n) {
    char line[k_line_chars];
    errno = 0;
    if (std::fgets(line, k_line_chars, fp) == nullptr) {
      char label[16];
      std::snprintf(label, sizeof label, "tables%02d", n + 1);
      report_syserr(label);
      line[0] = '\0';
    }
    if (rows[n] != nullptr) read_row(line, rows[n]);
  }
  std::fclose(fp);

  fill_table(calib.dev_ha, calib.corr_ha, "height A");
  fill_table(calib.dev_hb, calib.corr_hb, "height B");
  fill_table(calib.dev_wa, calib.corr_wa, "width A");
  fill_table(calib.dev_wb, calib.corr_wb, "width B");

  hprintf("Correction factors in percent for relative threshold\n");
  trace_row("diameter: ", calib.diam);
  trace_row("height A: ", calib.dev_ha);
  trace_row("height B: ", calib.dev_hb);
  trace_row("width A : ", calib.dev_wa);
  trace_row("width B : ", calib.dev_wb);
  for (int32_t k = 0; k < k_corr_size; ++k)
    hprintf("%d %f %f %f %f %f \n", k, static_cast<double>(calib.corr_ha[k]), static_cast<double>(calib.corr_hb[k]),
            static_cast<double>(calib.corr_wa[k]), static_cast<double>(calib.corr_wb[k]),
            (static_cast<double>(calib.corr_ha[k]) + static_cast<double>(calib.corr_hb[k])) * 0.5);
}

void reset_calibration() { calib = calibration_state{}; }

}  // namespace dp
