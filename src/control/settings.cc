#include "control/settings.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/messages.h"
#include "platform/paths.h"

namespace dp {

set_par_rec set_par;
settings_read_rec settings_read;

namespace {

constexpr const char* k_settings_file = "DROPPAIR.SET";
constexpr size_t k_value_column = 60;  // offset of the value field in a setting's line
constexpr size_t k_piece = 79;         // the program reads this much of a line; the field ends here
constexpr size_t k_none = std::string::npos;

bool blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

const char* skip_blanks(const char* s) {
  while (*s != '\0' && blank(*s)) ++s;
  return s;
}

// The scans convert as convert_value documents and return the offset in text just past the
// value, or k_none when the field holds none (the output is then left alone).
size_t scan_word(const char* text, std::string* out) {
  const char* s = skip_blanks(text);
  const char* e = s;
  while (*e != '\0' && !blank(*e)) ++e;
  if (e == s) return k_none;
  out->assign(s, e);
  return static_cast<size_t>(e - text);
}

// *in_range tells whether the value as written fits in 16 bits (the low 16 bits are kept anyway).
size_t scan_int16(const char* text, int16_t* out, bool* in_range) {
  const char* s = skip_blanks(text);
  bool negative = false;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  if (!digit(*s)) return k_none;
  uint16_t v = 0;
  uint32_t magnitude = 0;  // saturates above the range
  for (; digit(*s); ++s) {
    v = static_cast<uint16_t>(v * 10u + static_cast<uint16_t>(*s - '0'));
    if (magnitude <= 32768u) magnitude = magnitude * 10u + static_cast<uint32_t>(*s - '0');
  }
  *in_range = magnitude <= (negative ? 32768u : 32767u);
  if (negative) v = static_cast<uint16_t>(0u - v);
  *out = static_cast<int16_t>(v);
  return static_cast<size_t>(s - text);
}

size_t scan_float(const char* text, float* out) {
  const char* s = skip_blanks(text);
  const char* p = s;
  if (*p == '+' || *p == '-') ++p;
  size_t digits = 0;
  while (digit(*p)) ++p, ++digits;
  if (*p == '.') {
    ++p;
    while (digit(*p)) ++p, ++digits;
  }
  if (digits == 0) return k_none;
  if (*p == 'e' || *p == 'E') {
    const char* q = p + 1;
    if (*q == '+' || *q == '-') ++q;
    if (digit(*q)) {
      while (digit(*q)) ++q;
      p = q;
    }
  }
  const std::string number(s, p);
  *out = std::strtof(number.c_str(), nullptr);
  return static_cast<size_t>(p - text);
}

// The keys in the order they are read; a key that no step uses only ever gets a warning.
struct key_rec {
  const char* key;
  set_conv conv;
  bool used;
};

constexpr key_rec k_keys[] = {
    {"HARDC_P", set_conv::word, false}, {"RAW_PATH", set_conv::word, true}, {"HYD_PATH", set_conv::word, true},
    {"DELTA_HGT", set_conv::int16, true}, {"VEL_MIN", set_conv::real, false}, {"F_VMIN", set_conv::real, false},
    {"VEL_MAX", set_conv::real, false},  {"F_VMAX", set_conv::real, false},   {"OBL_MIN", set_conv::real, false},
    {"F_OMIN", set_conv::real, false},   {"OBL_MAX", set_conv::real, false},  {"F_OMAX", set_conv::real, false},
    {"WA_WB", set_conv::real, true},     {"RANK_ATLAS", set_conv::int16, false}, {"RANK_PB", set_conv::int16, false}};
constexpr size_t k_n_keys = sizeof k_keys / sizeof k_keys[0];

void* field_of(size_t k) {
  void* const fields[k_n_keys] = {&set_par.HARDC_P, &set_par.RAW_PATH, &set_par.HYD_PATH, &set_par.DELTA_HGT,
                                  &set_par.VEL_MIN, &set_par.F_VMIN,   &set_par.VEL_MAX,  &set_par.F_VMAX,
                                  &set_par.OBL_MIN, &set_par.F_OMIN,   &set_par.OBL_MAX,  &set_par.F_OMAX,
                                  &set_par.WA_WB,   &set_par.RANK_ATLAS, &set_par.RANK_PB};
  return fields[k];
}

struct file_line {
  std::string text;  // without its line feed
  bool newline = false;
};

// Standard error now, the error log later.
void note(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  settings_read.notes += text;
}

std::string printed(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printed(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
  va_start(ap, fmt);
  std::vsnprintf(s.data(), s.size() + 1, fmt, ap);
  va_end(ap);
  return s;
}

// The perror form that report_syserr writes, as text.
std::string syserr_text(const char* label, int err) {
  return std::string(label) + ": " + (err != 0 ? std::strerror(err) : "unexpected end of file") + "\n";
}

// Text of the file for a message: blanks trimmed at both ends, bytes that do not print escaped,
// long texts shortened.
std::string shown(const std::string& raw) {
  size_t b = 0, e = raw.size();
  while (b < e && blank(raw[b])) ++b;
  while (e > b && blank(raw[e - 1])) --e;
  std::string out;
  for (size_t i = b; i < e; ++i) {
    if (out.size() >= 60) return out + "...";
    const auto c = static_cast<unsigned char>(raw[i]);
    if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') out += printed("\\x%02x", c);
    else out += static_cast<char>(c);
  }
  return out;
}

// The text first, so that on a terminal the announcement follows it on lines of its own.
bool refuse(const std::string& text) {
  std::fflush(stdout);
  note("rd_set: " + text);
  con_printf("%s", k_announce);
  std::fflush(stdout);
  settings_read.failed = true;
  return false;
}

bool read_lines(std::vector<file_line>* lines) {
  errno = 0;
  std::FILE* const f = std::fopen(k_settings_file, "r");
  if (f == nullptr) {
    const int err = errno;
    note("rd_set: could not open DROPPAIR.SET\n");
    note(syserr_text("rd_set: could not open DROPPAIR.SET", err));
    return false;
  }
  std::string all;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) all.append(buf, n);
  errno = 0;
  if (std::fclose(f) != 0) {
    const int err = errno;
    note("rd_set81: could not close DROPPAIR.SET\n");
    note(syserr_text("rd_set81: could not close DROPPAIR.SET", err));
    return false;
  }
  for (size_t at = 0; at < all.size();) {
    const size_t end = all.find('\n', at);
    file_line line;
    line.text = all.substr(at, end == k_none ? k_none : end - at);
    line.newline = end != k_none;
    lines->push_back(std::move(line));
    at = end == k_none ? all.size() : end + 1;
  }
  return true;
}

// Converts the value of key k from its line (number counts from 1) as the program always has:
// the first 79 characters, the line end where it fits, up to a NUL, from offset 60 on. Returns
// false when the run cannot go on with it.
bool take_value(size_t k, const file_line& line, size_t number) {
  const key_rec& key = k_keys[k];
  const std::string& raw = line.text;
  std::string piece = raw.substr(0, k_piece);
  if (raw.size() < k_piece && line.newline) piece += '\n';
  const char* const field = std::strlen(piece.c_str()) > k_value_column ? piece.c_str() + k_value_column : "";

  // The value's first word as it stands in the whole line, and everything from its start.
  size_t start = k_value_column;
  while (start < raw.size() && blank(raw[start])) ++start;
  size_t stop = start;
  while (stop < raw.size() && !blank(raw[stop])) ++stop;
  const std::string value = start < raw.size() ? shown(raw.substr(start)) : "";

  // A problem: the end of the run for a key the run uses, a warning for one it does not.
  auto problem = [&](const std::string& what) {
    const std::string text = printed("DROPPAIR.SET line %llu: ", static_cast<unsigned long long>(number)) + (key.used ? "" : "warning: ") + what;
    if (key.used) return refuse(text);
    note("rd_set: " + text);
    return true;
  };

  size_t end = k_none;
  bool in_range = true;
  switch (key.conv) {
    case set_conv::word: end = scan_word(field, static_cast<std::string*>(field_of(k))); break;
    case set_conv::int16: end = scan_int16(field, static_cast<int16_t*>(field_of(k)), &in_range); break;
    case set_conv::real: end = scan_float(field, static_cast<float*>(field_of(k))); break;
  }

  if (start < raw.size() && stop > k_piece)
    return problem(printed("%s \"%s\" runs past column 79, where it would be cut\n", key.key, value.c_str()));
  if (key.conv != set_conv::word && raw.size() > k_value_column && digit(raw[k_value_column - 1]) &&
      digit(raw[k_value_column])) {
    size_t b = k_value_column - 1;
    while (b > 0 && !blank(raw[b - 1])) --b;
    return problem(printed("%s \"%s\" begins before column 61, where values begin\n", key.key,
                           shown(raw.substr(b, stop - b)).c_str()));
  }
  if (end == k_none && key.conv != set_conv::word)
    return problem(printed("%s needs a number from column 61 on, found \"%s\"\n", key.key, value.c_str()));
  if (!in_range)
    return problem(printed("%s \"%s\" is outside the 16-bit range -32768 to 32767\n", key.key, value.c_str()));
  if (std::strcmp(key.key, "WA_WB") == 0 &&
      !(std::isfinite(set_par.WA_WB) && set_par.WA_WB > 0.0f && set_par.WA_WB <= 1.0f))
    return problem(printed("WA_WB \"%s\" is not a number above 0 and at most 1\n", value.c_str()));

  // Text after what was read (a value, or an empty path cut short by a NUL): the run goes on as
  // it always has, with a warning.
  const size_t after = k_value_column + (end == k_none ? 0 : end);
  const std::string read = after > start ? raw.substr(start, after - start) : "";
  for (size_t i = after; i < raw.size(); ++i)
    if (!blank(raw[i])) {
      note(printed("rd_set: DROPPAIR.SET line %llu: warning: %s \"%s\": only \"%s\" is read, the rest is ignored\n",
                   static_cast<unsigned long long>(number), key.key, value.c_str(), shown(read).c_str()));
      break;
    }
  return true;
}

}  // namespace

void convert_value(const char* text, void* field, set_conv conv) {
  bool in_range = true;
  switch (conv) {
    case set_conv::word: scan_word(text, static_cast<std::string*>(field)); break;
    case set_conv::int16: scan_int16(text, static_cast<int16_t*>(field), &in_range); break;
    case set_conv::real: scan_float(text, static_cast<float*>(field)); break;
  }
}

bool read_settings() {
  std::vector<file_line> lines;
  if (!read_lines(&lines)) {
    settings_read.failed = true;
    return false;
  }
  // The line of each key: the first that begins with it (so WA_WB_OLD counts as WA_WB).
  size_t line_of[k_n_keys];
  for (size_t k = 0; k < k_n_keys; ++k) {
    line_of[k] = k_none;
    for (size_t i = 0; i < lines.size() && line_of[k] == k_none; ++i)
      if (lines[i].text.compare(0, std::strlen(k_keys[k].key), k_keys[k].key) == 0) line_of[k] = i;
  }
  // Any other line whose text goes on past column 79: that text is read by no one.
  for (size_t i = 0; i < lines.size(); ++i) {
    bool a_key_line = false;
    for (const size_t at : line_of) a_key_line = a_key_line || at == i;
    const std::string& t = lines[i].text;
    if (a_key_line || t.size() <= k_piece) continue;
    const std::string rest = shown(t.substr(k_piece));
    if (!rest.empty())
      note(printed("rd_set: DROPPAIR.SET line %llu: warning: longer than 79 characters; \"%s\" from column 80 on is "
                   "ignored\n",
                   static_cast<unsigned long long>(i + 1), rest.c_str()));
  }
  for (size_t k = 0; k < k_n_keys; ++k) {
    if (line_of[k] == k_none) {
      con_printf("%s", k_announce);
      note(printed(" could not find %s \n", k_keys[k].key));
      settings_read.failed = true;
      return false;
    }
    if (!take_value(k, lines[line_of[k]], line_of[k] + 1)) return false;
  }
  add_sep(set_par.HARDC_P);
  add_sep(set_par.HYD_PATH);
  add_sep(set_par.RAW_PATH);
  return true;
}

void get_settings() {
  if (!read_settings()) fatal_end();
}

void settings_to_log() {
  log_printf("%s", settings_read.notes.c_str());
  if (settings_read.failed) fatal_end();
}

int add_sep(std::string& path) {
  const char sep = path_separator();
  if (path.empty() || path.back() == sep) return 0;
  path.push_back(sep);
  return 1;
}

void reset_settings() {
  set_par = set_par_rec{};
  settings_read = settings_read_rec{};
}

}  // namespace dp
