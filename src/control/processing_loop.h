// The processing loop: one step after the other, it walks the raw data file with scan A and scan
// B, hands main headers to the header step and line-data records to the decoder, gathers each
// camera's lines in its frame store and hands complete frames to assembly, runs the matching once
// camera B has caught up with camera A, asks the particle writer for its timed flush, shows the
// progress display and takes Escape or a stop signal as the user's stop. Following a live file,
// a reader that meets the end of the readable data waits for the file to grow instead, and the
// end counts only once the file has not grown for the follow period, so that every decision is
// taken on the same data as in a run on the complete file.
// Owns step_state (frame counters, last line numbers, the pair total, the poll counter, the
// follow clock), the loop options, and which of each camera's two frame stores gathers its frame.
#pragma once

#include <cstdint>
#include <string>

namespace dp {

struct step_state_rec {
  int32_t total = 0;         ///< matched pairs so far
  double last_a = 0.0;       ///< y_count of the last camera-A line appended to its frame store
  double last_b = 0.0;       ///< the same for camera B
  int16_t fresh_a = 1;       ///< 1 until camera A's frame store has received lines
  int16_t fresh_b = 1;
  int16_t n_frm_a = 0;       ///< lines in camera A's frame store
  int16_t n_frm_b = 0;
  uint32_t last_force = 0;   ///< calendar seconds of the last timed flush request
  double match_limit = 0.0;  ///< last_a when the matching was called last
  uint32_t polls = 0;        ///< progress polls so far
  bool polled = false;       ///< the first poll (which opens the raw data file) has happened
  int32_t seen_len = -1;     ///< following: the file length when it last changed
  int64_t seen_at_ms = 0;    ///< following: steady-clock time of that change
  bool complete = false;     ///< following: the file has not grown for the follow period
};

extern step_state_rec step_state;

/// How the run was asked to behave on its command line.
struct loop_options {
  bool quiet = false;          ///< no progress display
  int32_t follow_seconds = 0;  ///< > 0: a live file, complete once it has not grown this long
  std::string sno_base;        ///< the argument's base name with ".sno", the raw file's name from it
  std::string ab_dir;          ///< the argument's directory: where the raw file is opened
};

/// Sets the options of the runs to come (they survive reset_processing_loop).
void set_loop_options(const loop_options& options);

/// The header step: a main-header payload read, a new header entered into the header list and
/// written to the three output files; ends the program on a header it cannot take.
void take_main_header(const uint8_t* p, int32_t len);
/// Before the first step: the calibration tables, the queues' tags, the raw data file (opened by
/// the first progress poll) and the three output files; ends the program on a failure.
void start_processing();
/// One step; 1 = call again, 0 = both scans stand at the end of the raw data (run complete).
int16_t process_step();
/// Progress poll: opens the raw data file at its first call, shows the display every 100th poll
/// (or when force is 1; never when quiet), returns 0 when the user asked to stop, 1 otherwise.
int16_t kb_poll(int16_t force);
/// Back to the start-up state.
void reset_processing_loop();

}  // namespace dp
