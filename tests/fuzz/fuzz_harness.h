// Shared by the fuzz targets and their replay driver. Each target takes bytes from memory and runs
// one entry point of the program on them in this process, many times over: the fatal path throws
// fatal_exit instead of ending the process, the working directory is a scratch directory of its
// own (removed at exit), the console goes to /dev/null and so does the error log (the C stream
// stderr; file descriptor 2 stays for the fuzzer's and the sanitizers' reports). A broken
// invariant is a finding: its text on file descriptor 2, then abort(). As the working directory
// changes at the first input, a fuzzer binary must be given absolute paths (run_fuzz.sh does).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dp_fuzz {

/// What the fatal path throws in a fuzz run; status is the exit status it would have had.
struct fatal_exit {
  int status;
};

/// Once per process: the fatal handler, the scratch working directory, the quiet console and log.
void init();
/// Runs fn; true when it returned, false when it ended through the fatal path.
template <class Fn>
bool guarded(Fn&& fn) {
  try {
    fn();
    return true;
  } catch (const fatal_exit&) {
    return false;
  }
}
/// Writes size bytes to the file name in the working directory (replacing it).
void write_file(const std::string& name, const uint8_t* data, size_t size);
/// A finding: the formatted text on file descriptor 2, then abort().
[[noreturn]] void finding(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
/// Formatted text on file descriptor 2 (the replay driver's own reports).
void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

/// The targets, one per entry point; each returns 0 (the libFuzzer convention).
int fuzz_line_decoder(const uint8_t* data, size_t size);
int fuzz_compressor(const uint8_t* data, size_t size);
int fuzz_main_header(const uint8_t* data, size_t size);
int fuzz_settings(const uint8_t* data, size_t size);
int fuzz_calibration(const uint8_t* data, size_t size);
int fuzz_record_scan(const uint8_t* data, size_t size);
int fuzz_whole_run(const uint8_t* data, size_t size);
// The tools' readers: the particle file with its side files (snodump), the station file
// (droppair-products, built only with its libraries: DROPPAIR_FUZZ_STATION).
int fuzz_sno_files(const uint8_t* data, size_t size);
#ifdef DROPPAIR_FUZZ_STATION
int fuzz_station(const uint8_t* data, size_t size);
#endif

struct target {
  const char* name;
  int (*run)(const uint8_t* data, size_t size);
};

inline constexpr target k_targets[] = {
    {"line_decoder", fuzz_line_decoder}, {"compressor", fuzz_compressor},   {"main_header", fuzz_main_header},
    {"settings", fuzz_settings},         {"calibration", fuzz_calibration}, {"record_scan", fuzz_record_scan},
    {"whole_run", fuzz_whole_run},       {"sno_files", fuzz_sno_files},
#ifdef DROPPAIR_FUZZ_STATION
    {"station", fuzz_station},
#endif
};

}  // namespace dp_fuzz
