#include "control/settings.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/messages.h"
#include "platform/paths.h"

namespace dp {

set_par_rec set_par;

namespace {

constexpr const char* k_settings_file = "DROPPAIR.SET";
constexpr size_t k_value_column = 60;  // offset of the value field in a setting's line

const char* skip_blanks(const char* s) {
  while (*s != '\0' && std::isspace(static_cast<unsigned char>(*s))) ++s;
  return s;
}

void convert_word(const char* text, std::string* out) {
  const char* s = skip_blanks(text);
  const char* e = s;
  while (*e != '\0' && !std::isspace(static_cast<unsigned char>(*e))) ++e;
  if (e != s) out->assign(s, e);
}

// An optional sign and digits; the low 16 bits of the value are kept.
void convert_int16(const char* text, int16_t* out) {
  const char* s = skip_blanks(text);
  bool negative = false;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  if (!std::isdigit(static_cast<unsigned char>(*s))) return;
  uint16_t v = 0;
  for (; std::isdigit(static_cast<unsigned char>(*s)); ++s)
    v = static_cast<uint16_t>(v * 10u + static_cast<uint16_t>(*s - '0'));
  if (negative) v = static_cast<uint16_t>(0u - v);
  *out = static_cast<int16_t>(v);
}

// The longest decimal prefix (sign, digits, fraction, exponent), rounded once to single precision.
void convert_float(const char* text, float* out) {
  const char* s = skip_blanks(text);
  const char* p = s;
  if (*p == '+' || *p == '-') ++p;
  size_t digits = 0;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p, ++digits;
  if (*p == '.') {
    ++p;
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p, ++digits;
  }
  if (digits == 0) return;
  if (*p == 'e' || *p == 'E') {
    const char* q = p + 1;
    if (*q == '+' || *q == '-') ++q;
    if (std::isdigit(static_cast<unsigned char>(*q))) {
      while (std::isdigit(static_cast<unsigned char>(*q))) ++q;
      p = q;
    }
  }
  const std::string number(s, p);
  *out = std::strtof(number.c_str(), nullptr);
}

}  // namespace

void convert_value(const char* text, void* field, set_conv conv) {
  switch (conv) {
    case set_conv::word: convert_word(text, static_cast<std::string*>(field)); break;
    case set_conv::int16: convert_int16(text, static_cast<int16_t*>(field)); break;
    case set_conv::real: convert_float(text, static_cast<float*>(field)); break;
  }
}

void rd_set(const char* key, void* field, set_conv conv) {
  errno = 0;
  std::FILE* f = std::fopen(k_settings_file, "r");
  if (f == nullptr) {
    const int err = errno;
    log_printf("rd_set: could not open DROPPAIR.SET\n");
    errno = err;
    report_syserr("rd_set: could not open DROPPAIR.SET");
    fatal_end();
  }
  const size_t key_len = std::strlen(key);
  char line[80];  // pieces of at most 79 characters
  bool found = false;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, key, key_len) != 0) continue;
    found = true;
    if (std::strlen(line) > k_value_column) convert_value(line + k_value_column, field, conv);
    break;
  }
  if (!found) {
    std::fclose(f);
    con_printf("%s", k_announce);
    log_printf(" could not find %s \n", key);
    fatal_end();
  }
  errno = 0;
  if (std::fclose(f) != 0) {
    const int err = errno;
    log_printf("rd_set81: could not close DROPPAIR.SET\n");
    errno = err;
    report_syserr("rd_set81: could not close DROPPAIR.SET");
    fatal_end();
  }
}

int add_sep(std::string& path) {
  const char sep = path_separator();
  if (path.empty() || path.back() == sep) return 0;
  path.push_back(sep);
  return 1;
}

void get_settings() {
  rd_set("HARDC_P", &set_par.HARDC_P, set_conv::word);
  rd_set("RAW_PATH", &set_par.RAW_PATH, set_conv::word);
  rd_set("HYD_PATH", &set_par.HYD_PATH, set_conv::word);
  rd_set("DELTA_HGT", &set_par.DELTA_HGT, set_conv::int16);
  rd_set("VEL_MIN", &set_par.VEL_MIN, set_conv::real);
  rd_set("F_VMIN", &set_par.F_VMIN, set_conv::real);
  rd_set("VEL_MAX", &set_par.VEL_MAX, set_conv::real);
  rd_set("F_VMAX", &set_par.F_VMAX, set_conv::real);
  rd_set("OBL_MIN", &set_par.OBL_MIN, set_conv::real);
  rd_set("F_OMIN", &set_par.F_OMIN, set_conv::real);
  rd_set("OBL_MAX", &set_par.OBL_MAX, set_conv::real);
  rd_set("F_OMAX", &set_par.F_OMAX, set_conv::real);
  rd_set("WA_WB", &set_par.WA_WB, set_conv::real);
  rd_set("RANK_ATLAS", &set_par.RANK_ATLAS, set_conv::int16);
  rd_set("RANK_PB", &set_par.RANK_PB, set_conv::int16);
  add_sep(set_par.HARDC_P);
  add_sep(set_par.HYD_PATH);
  add_sep(set_par.RAW_PATH);
}

void reset_settings() { set_par = set_par_rec{}; }

}  // namespace dp
