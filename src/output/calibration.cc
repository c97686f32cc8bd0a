#include "output/calibration.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/messages.h"

namespace dp {

calibration_state calib;

namespace {

constexpr const char* k_corr_file = "corrfact.dat";
constexpr int k_lines = 8;
constexpr int k_field_width = 7;
constexpr float k_largest_diam = k_corr_size * 0.1f;  // the tables end at this measured size
const char* const k_line_names[k_lines] = {"", "", "diameter", "", "height A", "height B", "width A", "width B"};

// Reads one line without its line feed; false when the file has no more (or reading failed).
bool read_line(std::FILE* fp, std::string* line) {
  line->clear();
  bool any = false;
  for (int c; (c = std::getc(fp)) != EOF;) {
    any = true;
    if (c == '\n') return true;
    line->push_back(static_cast<char>(c));
  }
  return any && std::ferror(fp) == 0;
}

// The seven columns of a field for a message: trimmed, bytes that do not print escaped.
std::string field_text(const char* s) {
  std::string out;
  for (int i = 0; i < k_field_width && s[i] != '\0'; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (std::isspace(c) != 0) {
      out += ' ';
    } else if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  const size_t b = out.find_first_not_of(' ');
  return b == std::string::npos ? "" : out.substr(b, out.find_last_not_of(' ') + 1 - b);
}

// Ends the run over value i of row line n (both counted from 0), naming its line and column.
[[noreturn]] void refuse_field(int n, int i, const std::string& what) {
  fatal_announced("tables: %s line %d, column %d: %s value %d %s\n", k_corr_file, n + 1, 10 + k_field_width * i + 1,
                  k_line_names[n], i + 1, what.c_str());
}

// Reads the ten values of row line n into row, refusing a field without a finite number.
void read_row(const std::string& line, int n, float* row) {
  const char* const s = line.c_str();
  const size_t len = std::strlen(s);
  for (int i = 0; i < k_n_diam; ++i) {
    const int col = 10 + k_field_width * i;
    if (static_cast<size_t>(col) >= len) refuse_field(n, i, "is missing: the line ends before this column");
    const char* p = s + col;
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p)) != 0) ++p;
    float v = 0.0f;
    if (p - s >= col + k_field_width || std::sscanf(s + col, "%6f", &v) != 1)
      refuse_field(n, i, "holds no number: \"" + field_text(s + col) + "\"");
    if (!std::isfinite(v)) refuse_field(n, i, "is not a finite number: \"" + field_text(s + col) + "\"");
    row[i] = v;
  }
}

// The ranges of the values read: diameters within the tables and increasing; deviations that
// leave every measured size above 0 and below twice the true one.
void check_rows() {
  char what[160];
  for (int i = 0; i < k_n_diam; ++i) {
    const auto d = static_cast<double>(calib.diam[i]);
    if (!(d > 0.0 && d <= static_cast<double>(k_largest_diam))) {
      std::snprintf(what, sizeof what, "is %g mm; the diameters lie above 0 and at most at %g mm", d,
                    static_cast<double>(k_largest_diam));
      refuse_field(2, i, what);
    }
    if (i > 0 && !(calib.diam[i] > calib.diam[i - 1])) {
      std::snprintf(what, sizeof what, "is %g mm, not above value %d (%g mm); the diameters must increase", d, i,
                    static_cast<double>(calib.diam[i - 1]));
      refuse_field(2, i, what);
    }
  }
  const float* const devs[4] = {calib.dev_ha, calib.dev_hb, calib.dev_wa, calib.dev_wb};
  for (int r = 0; r < 4; ++r)
    for (int i = 0; i < k_n_diam; ++i)
      if (!(devs[r][i] > -100.0f && devs[r][i] < 100.0f)) {
        std::snprintf(what, sizeof what, "is %g percent; the deviations lie between -100 and 100",
                      static_cast<double>(devs[r][i]));
        refuse_field(4 + r, i, what);
      }
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
    fatal_syserr("tables01", err);
  }

  // All eight lines are read and the file closed before anything is refused.
  std::string lines[k_lines];
  int missing = -1;
  bool unreadable = false;
  for (int n = 0; n < k_lines && missing < 0; ++n) {
    errno = 0;
    if (!read_line(fp, &lines[n])) {
      missing = n;
      unreadable = std::ferror(fp) != 0;
      if (unreadable) {
        char label[16];
        std::snprintf(label, sizeof label, "tables%02d", n + 1);
        report_syserr(label);
      }
    }
  }
  std::fclose(fp);
  if (missing >= 0) {
    const std::string name = k_line_names[missing][0] != '\0' ? std::string(" (") + k_line_names[missing] + ")" : "";
    fatal_announced("tables: %s line %d, column 1: %s%s\n", k_corr_file, missing + 1,
                    unreadable ? "this line could not be read" : "the file ends before this line", name.c_str());
  }
  float* const rows[k_lines] = {nullptr,      nullptr,      calib.diam,   nullptr,
                                calib.dev_ha, calib.dev_hb, calib.dev_wa, calib.dev_wb};
  for (int n = 0; n < k_lines; ++n)
    if (rows[n] != nullptr) read_row(lines[n], n, rows[n]);
  check_rows();

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
