// Entry and start-up: the start-up screen, the settings, the error log "DROPPAIR.ERR" with its
// start line, and the check of the one command-line argument, which yields the names the raw
// data input needs. Owns ab_spec, ab_dir and sno_base; paths are never truncated.
#pragma once

#include <cstdint>
#include <string>

namespace dp {

struct startup_state {
  std::string ab_spec;   ///< the command-line argument as given
  std::string ab_dir;    ///< its drive and directory with the trailing separator, or empty
  std::string sno_base;  ///< its base name + ".sno"
};

extern startup_state startup;

/// The start-up screen: clears the console, prints the box, pauses 2 s on a terminal.
void banner();
/// The ten lines of the start-up box and the line feed after them.
const char* banner_text();
/// Redirects the error log to "DROPPAIR.ERR" (emptied) and writes the start line for time t.
void open_error_log(int64_t t);
/// Checks the command line and sets ab_spec, ab_dir and sno_base, or ends the program.
void EvaluateArg(int16_t argc, const char* const* argv);
/// Every unit's run state back to the start-up state (the settings and start-up names aside);
/// closes any open file. For harnesses that run the pipeline many times in one process.
void reset_run_state();
/// The whole program: start-up, then processing steps until the end of the raw data.
int run_program(int argc, const char* const* argv);

}  // namespace dp
