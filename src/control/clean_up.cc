#include "control/clean_up.h"

#include <cerrno>
#include <cstdio>

#include "control/messages.h"
#include "output/output_files.h"
#include "rawinput/raw_file.h"

namespace dp {

namespace {

void close_one(std::FILE*& fp, const char* text) {
  if (fp == nullptr) return;
  errno = 0;
  const int rc = std::fclose(fp);
  fp = nullptr;
  if (rc == 0) return;
  const int err = errno;
  log_printf("%s\n", text);
  errno = err;
  report_syserr(text);
  fatal_end();
}

}  // namespace

void clean_up() {
  close_one(out_files.abh_fp, "clean_up01: could not close abh-file");
  close_one(out_files.sno_fp, "clean_up02: could not close sno-file");
  close_one(out_files.shd_fp, "clean_up03: could not close shd-file");
  close_one(raw_file.ab_fp, "clean_up04: could not close ab-file");
}

}  // namespace dp
