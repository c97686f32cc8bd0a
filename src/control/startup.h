// Entry and start-up: the options of the command line (help, version, quiet, follow), the
// start-up screen, the settings, the error log "DROPPAIR.ERR" with its start line, and the check
// of the one remaining argument, which yields the names the raw data input needs. Owns ab_arg,
// ab_dir and sno_base; paths are never truncated. Help, version and a refused option are
// answered before anything else happens: no start-up screen, no settings, the log untouched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dp {

struct startup_state {
  std::string ab_arg;   ///< the command-line argument as given
  std::string ab_dir;    ///< its drive and directory with the trailing separator, or empty
  std::string sno_base;  ///< its base name + ".sno"
};

extern startup_state startup;

/// The command line with its options sorted out.
struct command_line {
  std::vector<const char*> args;  ///< the program name and every argument that is no option
  bool help = false;              ///< -h or --help
  bool version = false;           ///< --version
  bool quiet = false;             ///< --quiet: no progress display
  int32_t follow_seconds = 0;     ///< --follow[=SECONDS]: 60 or SECONDS; 0 without the option
  std::string error;              ///< why the command line is refused, "" when it is not
};

/// Longest follow period: a raw data file holds one day.
inline constexpr int32_t k_follow_max_seconds = 86400;

/// Sorts the options out of argv; "--" ends them, and an argument beginning with a single '-'
/// (except "-h") is left as an argument.
command_line parse_command_line(int argc, const char* const* argv);
/// The text of --help.
const char* help_text();
/// The text of --version: program, version and the commit of the build.
std::string version_text();

/// The start-up screen: clears the console, prints the box, pauses 2 s on a terminal.
void banner();
/// The ten lines of the start-up box and the line feed after them.
const char* banner_text();
/// Redirects the error log to "DROPPAIR.ERR" (emptied) and writes the start line for time t.
void open_error_log(int64_t t);
/// Checks the command line and sets ab_arg, ab_dir and sno_base, or ends the program.
void EvaluateArg(int16_t argc, const char* const* argv);
/// Every unit's run state back to the start-up state (the settings and start-up names aside);
/// closes any open file. For harnesses that run the pipeline many times in one process.
void reset_run_state();
/// The whole program: start-up, then processing steps until the end of the raw data.
int run_program(int argc, const char* const* argv);

}  // namespace dp
