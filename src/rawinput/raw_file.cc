#include "rawinput/raw_file.h"

#include <cerrno>
#include <cstdlib>

#include "base/byte_order.h"
#include "base/messages.h"
#include "rawinput/record_scan.h"

namespace dp {

raw_file_state raw_file;

namespace {

// The characters [from, from + n) of s converted like atoi; characters beyond its end are empty.
int digits_at(const std::string& s, size_t from, size_t n) {
  if (from >= s.size()) return 0;
  return std::atoi(s.substr(from, n).c_str());
}

}  // namespace

std::string raw_file_name(const std::string& sno_base) {
  const int yy = digits_at(sno_base, 1, 2);
  const int ddd = digits_at(sno_base, 3, 3);
  const int n = digits_at(sno_base, 7, 1);
  char name[64];
  std::snprintf(name, sizeof name, "V%02d%03d_%01d.ab", yy, ddd, n);
  return name;
}

void rawfil(const std::string& sno_base, const std::string& ab_dir) {
  rawfil_open(sno_base, ab_dir);
  rawfil_check();
}

void rawfil_open(const std::string& sno_base, const std::string& ab_dir) {
  const std::string name = raw_file_name(sno_base);
  raw_file.ab_path = ab_dir + name;
  hprintf("raw_day=%ld\n", static_cast<int32_t>(digits_at(sno_base, 1, 2) * 1000 + digits_at(sno_base, 3, 3)));
  hprintf("now opening %s \n", raw_file.ab_path.c_str());
  errno = 0;
  std::FILE* fp = std::fopen(raw_file.ab_path.c_str(), "rb");
  if (fp == nullptr) {
    const int err = errno;
    con_printf("could not open %s \n", raw_file.ab_path.c_str());
    log_printf("rawfil01: could not open %s \n", raw_file.ab_path.c_str());
    errno = err;
    report_syserr("rawfil02");
    // The argument's own name would be the obvious guess; say so when the rebuilt one differs.
    const std::string given = sno_base.substr(0, sno_base.size() - 4) + ".ab";
    if (given != name) {
      const std::string why = "the name of the raw data file is rebuilt from the digits of " + given +
                              " as V<yy><ddd>_<n>.ab (for instance V05123_1.ab)\n";
      con_printf("%s", why.c_str());
      log_printf("rawfil03: %s", why.c_str());
    }
    fatal_end();
  }
  // The scans read through buffers of their own, so the stream needs none.
  std::setvbuf(fp, nullptr, _IONBF, 0);
  raw_file.ab_fp = fp;
  scan_from(file_source(fp));
}

void rawfil_check() {
  std::FILE* const fp = raw_file.ab_fp;
  std::rewind(fp);  // a length measured since the opening left the stream at the end

  // Look at the first record header without consuming it.
  errno = 0;
  const long at = std::ftell(fp);
  if (at < 0) report_syserr("rawfil: could not get file position");
  uint8_t field[2] = {0, 0};
  int16_t type = 0;
  int16_t length = 0;
  errno = 0;
  if (std::fread(field, 1, 2, fp) == 2) type = load_les16(field);
  else report_syserr("rawfil: could not read from ab-file");
  errno = 0;
  if (std::fread(field, 1, 2, fp) == 2) length = load_les16(field);
  else report_syserr("rawfil: could not read from ab-file");
  errno = 0;
  if (std::fseek(fp, at < 0 ? 0 : at, SEEK_SET) != 0) report_syserr("rawfil: could not set file position");

  if (type != 3) fatal_console_first("corrupted ab-file", "rawfil: corrupted ab-file\n");
  if (length == 38) raw_file.ab_format = 1;
  else if (length == 54) raw_file.ab_format = 2;
  else if (length == 56) raw_file.ab_format = 3;
  else fatal_console_first("wrong ab-format", "rawfil: wrong ab-format\n");
}

void reset_raw_file() {
  if (raw_file.ab_fp != nullptr) std::fclose(raw_file.ab_fp);
  raw_file = raw_file_state{};
}

}  // namespace dp
