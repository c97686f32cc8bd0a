#include "control/clean_up.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "output/output_files.h"
#include "rawinput/raw_file.h"

namespace dp {

namespace {

// The added line after the report names the file: its label, the path and the reason.
void close_one(std::FILE*& fp, const char* text, const std::string& name) {
  if (fp == nullptr) return;
  errno = 0;
  const int rc = std::fclose(fp);
  fp = nullptr;
  if (rc == 0) return;
  const int err = errno;
  log_printf("%s\n", text);
  errno = err;
  report_syserr(text);
  const std::string label(text, std::strcspn(text, ":"));
  log_printf("%s", file_failure_line(label.c_str(), name, err).c_str());
  fatal_end();
}

}  // namespace

void clean_up() {
  close_one(out_files.abh_fp, "clean_up01: could not close abh-file", out_files.abh_nam);
  close_one(out_files.sno_fp, "clean_up02: could not close sno-file", out_files.pix_nam);
  close_one(out_files.shd_fp, "clean_up03: could not close shd-file", out_files.hd_nam);
  close_one(raw_file.ab_fp, "clean_up04: could not close ab-file", raw_file.ab_path);
}

}  // namespace dp
