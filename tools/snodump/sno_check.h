// Consistency check of a run's .sno, .shd and .abh (and of the raw data file the .abh points
// into, when given): stops at the first thing a correct run cannot leave and names the file, the
// byte offset, what was expected and what was found. A correct run leaves the .sno chained by
// indic and len_prev to its exact end, its particle records in the order of their first lines
// (y_start never falls, no record repeats the one before), every image decodable and agreeing
// with its head, the same main headers in the same order in all three files, and the tables as
// the last flush that wrote particle records left them (a main header appended behind the last
// particle never reaches them: oldlen stays that particle's length). Keeps no state; never prints
// (the line decoder may add its own line on standard error for an image it rejects).
#pragma once

#include <cstdint>
#include <string>

#include "sno_reader.h"

namespace dp {

/// The files to check. raw empty: the raw-file positions of the .abh are not checked; shd or abh
/// empty: that file is left out (the .sno is then checked against the other, or alone).
struct check_paths {
  std::string sno, shd, abh, raw;
};

/// What a passed check went through.
struct check_report {
  int64_t records = 0;
  int64_t headers = 0;
  int64_t particles = 0;
  int32_t minutes_indexed = 0;   ///< pix_bf entries set, minute 0 included
  int32_t raw_positions = 0;     ///< posa_bf and posb_bf entries set
  bool raw_checked = false;
  double lastpix_y = 0;
  sno_scan scan;                 ///< the .sno as scan_sno sees it, as far as the walk went
};

/// Checks the files; true when they agree, else false with the first inconsistency in *fault.
bool check_files(const check_paths& paths, check_report* report, sno_fault* fault, const progress_fn& progress);
/// The "OK ..." line of a passed check.
std::string check_ok_line(const check_paths& paths, const check_report& report);
/// Name of the main_hd field that holds byte i (0..73) of the record.
const char* main_hd_field(int i);

}  // namespace dp
