#include "control/startup.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "droppair_version.h"

#include "base/messages.h"
#include "control/processing_loop.h"
#include "control/settings.h"
#include "headers/chronology.h"
#include "headers/main_header.h"
#include "headers/timing_model.h"
#include "lines/line_records.h"
#include "lines/work_pool.h"
#include "output/calibration.h"
#include "output/output_files.h"
#include "output/particle_writer.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "rawinput/raw_file.h"
#include "rawinput/record_scan.h"

namespace dp {

startup_state startup;

namespace {

constexpr const char* k_usage =
    "usage: droppair [--follow[=SECONDS]] [--quiet] path/V<yy><ddd>_<n>.ab\n"
    "       droppair --help | --version\n";

// The SECONDS of --follow=SECONDS: a whole number from 1 to k_follow_max_seconds, else 0.
int32_t follow_value(const char* text) {
  int64_t v = 0;
  if (*text == '\0') return 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return 0;
    v = v * 10 + (*c - '0');
    if (v > k_follow_max_seconds) return 0;
  }
  return static_cast<int32_t>(v);
}

}  // namespace

command_line parse_command_line(int argc, const char* const* argv) {
  command_line cl;
  cl.args.push_back(argc > 0 ? argv[0] : "droppair");
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const char* const a = argv[i];
    if (!options || a[0] != '-' || (a[1] != '-' && std::strcmp(a, "-h") != 0)) {
      cl.args.push_back(a);
    } else if (std::strcmp(a, "--") == 0) {
      options = false;
    } else if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      cl.help = true;
    } else if (std::strcmp(a, "--version") == 0) {
      cl.version = true;
    } else if (std::strcmp(a, "--quiet") == 0) {
      cl.quiet = true;
    } else if (std::strcmp(a, "--follow") == 0) {
      cl.follow_seconds = 60;
    } else if (std::strncmp(a, "--follow=", 9) == 0) {
      cl.follow_seconds = follow_value(a + 9);
      if (cl.follow_seconds == 0 && cl.error.empty())
        cl.error = std::string(a) + ": SECONDS must be a whole number from 1 to " +
                   std::to_string(k_follow_max_seconds);
    } else if (cl.error.empty()) {
      cl.error = std::string("unknown option ") + a;
    }
  }
  return cl;
}

const char* help_text() {
  return "usage: droppair [OPTION]... path/V<yy><ddd>_<n>.ab\n"
         "\n"
         "Pairs the particles that the two cameras of the distrometer saw in one raw data\n"
         "file and writes them with their sizes to the particle file (.sno), beside the\n"
         "header file (.shd) and the raw-header index (.abh). Reads DROPPAIR.SET and\n"
         "corrfact.dat in the working directory and logs to DROPPAIR.ERR there. The file\n"
         "opened is V<yy><ddd>_<n>.ab in the argument's directory, its name rebuilt from\n"
         "the digits of the argument's name (characters 1-2, 3-5 and 7, counted from 0).\n"
         "\n"
         "Options:\n"
         "  --follow[=SECONDS]  the raw file is still being written: read on until it has\n"
         "                      not grown for SECONDS (default 60, at most 86400) or the\n"
         "                      run is stopped\n"
         "  --quiet             no progress display\n"
         "  -h, --help          show this text and end\n"
         "  --version           show the version and the commit of this build and end\n"
         "\n"
         "Escape stops the run with exit status 0; SIGINT (Ctrl-C), SIGTERM and SIGHUP\n"
         "stop it with exit status 128 + the signal's number. A stopped run closes its\n"
         "files, which keep what was written. Exit status 1: a fatal error, described on\n"
         "the console or in DROPPAIR.ERR.\n";
}

std::string version_text() {
  return std::string("droppair ") + DROPPAIR_VERSION + " (commit " + DROPPAIR_COMMIT + ")\n";
}

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
  startup.ab_arg = argv[1];
  const path_parts parts = split_path(startup.ab_arg);
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
  const command_line cl = parse_command_line(argc, argv);
  if (cl.help || cl.version) {
    std::fputs(cl.help ? help_text() : version_text().c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (!cl.error.empty()) {
    std::fprintf(stderr, "droppair: %s\n%s", cl.error.c_str(), k_usage);
    return 1;
  }
  console_init_signals();
  banner();
  read_settings();  // its texts go to standard error now and into the log below
  const int64_t start = static_cast<int64_t>(std::time(nullptr));
  open_error_log(start);
  settings_to_log();  // ends the run when the settings failed, the log now holding why
  // The argument count is taken as 16 bits, as it always was.
  EvaluateArg(static_cast<int16_t>(cl.args.size()), cl.args.data());
  set_loop_options({cl.quiet, cl.follow_seconds, startup.sno_base, startup.ab_dir});
  start_processing();
  while (process_step() != 0) {
  }
  std::fflush(stdout);
  std::fflush(stderr);
  return 0;
}

}  // namespace dp
