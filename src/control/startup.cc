#include "control/startup.h"

#include <cstdio>
#include <ctime>

#include "control/messages.h"
#include "headers/chronology.h"
#include "headers/main_header.h"
#include "headers/timing_model.h"
#include "lines/line_records.h"
#include "lines/work_pool.h"
#include "output/calibration.h"
#include "output/output_files.h"
#include "output/particle_writer.h"
#include "rawinput/raw_file.h"
#include "rawinput/record_scan.h"
#include "control/processing_loop.h"
#include "control/settings.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/paths.h"

namespace dp {

startup_state startup;

const char* banner_text() {
  return "\n    ====================================================================\n"
         "    |                                                                  |\n"
         "    |         T H E   V I V U R E D I D                                |\n"
         "    |                                                                  |\n"
         "    |         DROPPAIR -  internal version 7.008                       |\n"
         "    |                                                                  |\n"
         "    |         Dec. 21, 15:10, 2005                                     |\n"
         "    |                                                                  |\n"
         "    |                                                        ORVANTEC  |\n"
         "    ====================================================================\n"
         "\n";
}

void banner() {
  console_clear();
  con_printf("%s", banner_text());
  std::fflush(stdout);
  if (console_is_tty()) clock_wait_seconds(2);
}

void open_error_log(int64_t t) {
  // Not tested on purpose: when the log cannot be created, its texts are lost and the run goes on.
  (void)std::freopen("DROPPAIR.ERR", "w", stderr);
  log_printf("\nPAIRUP starts at %s", clock_utc_text(t).c_str());
}

void EvaluateArg(int16_t argc, const char* const* argv) {
  if (argc != 2) {
    log_printf("EvaluateArg: wrong number of arguments! \n");
    con_printf("\nInvocation:\n\nDROPPAIR filespec\n");
    con_printf("\nfilespec:  path and name of distrometer raw data file (V*.AB)\n");
    fatal_end();
  }
  startup.ab_spec = argv[1];
  const path_parts parts = split_path(startup.ab_spec);
  if (parts.ext != ".ab") fatal_log_first("EvaluateArg: file is not an ab-file \n", "file is not an ab-file");
  startup.sno_base = parts.name + ".sno";
  startup.ab_dir = parts.drive + parts.dir;
}

void reset_run_state() {
  reset_processing_loop();
  reset_scans();
  reset_raw_file();
  reset_line_store();
  reset_work_pool();
  reset_chronology();
  reset_main_header();
  reset_timing();
  reset_calibration();
  reset_particle_writer();
  reset_output_files();
}

int run_program(int argc, const char* const* argv) {
  banner();
  get_settings();
  const int64_t start = static_cast<int64_t>(std::time(nullptr));
  open_error_log(start);
  EvaluateArg(static_cast<int16_t>(argc), argv);
  while (process_step() != 0) {
  }
  std::fflush(stdout);
  std::fflush(stderr);
  return 0;
}

}  // namespace dp
