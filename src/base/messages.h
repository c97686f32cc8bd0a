// How the program talks: the console (standard output), the error log (standard error, which
// start-up redirects to "DROPPAIR.ERR"), the perror-form report of a system error, the two trace
// formatters, and the one way a fatal error ends the run (its texts, then exit status 1, without
// clean-up; open files are flushed and closed by the process exit).
// Never decides whether a failure is fatal: each caller does, with the texts its unit documents.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

namespace dp {

/// Console text of every announced failure (no line feed at its end).
inline constexpr const char* k_announce = "error occurred!\nan error description was written to DROPPAIR.ERR";

/// Trace switches: settings of the build, both off. hprintf prints only while k_trace_on is 1,
/// hprintf2 only while k_trace2_on is 1.
inline constexpr int16_t k_trace_on = 0;
inline constexpr int16_t k_trace2_on = 0;

/// Formatted text on the console.
void con_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
/// Formatted text in the error log.
void log_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
/// The perror-form report: label, ": ", the system's text for the last error, line feed (an empty
/// label gives only the text). Where the last operation set no error (a read that met the end of
/// the data), the text is "unexpected end of file".
void report_syserr(const char* label);
/// A system error ends the run: report_syserr(label) with errno err, then fatal_end().
[[noreturn]] void fatal_syserr(const char* label, int err);
/// The system's text for the error number err; for 0 (a write that stopped short without an
/// error) "write incomplete".
const char* system_reason(int err);
/// The added line that names the file of a failed operation after the failure's own text:
/// label, ": ", name, ": ", system_reason(err), line feed.
std::string file_failure_line(const char* label, const std::string& name, int err);

/// Where a fatal end goes instead of the process exit, for harnesses that run many inputs in one
/// process (a fuzzer): the handler must not return (it throws, for instance).
using fatal_handler = void (*)(int status);
/// Installs handler (null: back to the process exit).
void set_fatal_handler(fatal_handler handler);
/// Ends the run of a fatal error whose texts have been written: flushes both streams, exit 1.
[[noreturn]] void fatal_end();
/// Announced failure: k_announce on the console, then the formatted text in the error log; ends.
[[noreturn]] void fatal_announced(const char* log_fmt, ...) __attribute__((format(printf, 1, 2)));
/// Described failure, console first: the console text, then the error-log text; ends.
[[noreturn]] void fatal_console_first(const char* console, const char* log);
/// Described failure, error log first: the error-log text, then the console text; ends.
[[noreturn]] void fatal_log_first(const char* log, const char* console);

/// Value of a line number as the "%lu" of a diagnostic prints it: truncated toward zero and
/// reduced modulo 2^32; NaN and infinities give 0.
unsigned long line_lu(double y);

/// The trace formatter behind hprintf (long_forms true: %d %u %f %s %ld %lu %lf) and hprintf2
/// (long_forms false: %d %u %f %s). Writes to out; an unsupported conversion is fatal with
/// "*** Error in 'hprintf': Unknown format '%c' !\n".
void trace_vprint(std::FILE* out, bool long_forms, const char* fmt, std::va_list ap);
void trace_print(std::FILE* out, bool long_forms, const char* fmt, ...);

/// Trace output of the processing loop, raw input, decoder, headers, timing, writer, output set
/// and tables. Arguments follow the formatter's conversions (int32, uint32, double, text).
template <class... Args>
inline void hprintf(const char* fmt, Args... args) {
  if constexpr (k_trace_on == 1) trace_print(stdout, true, fmt, args...);
  else { (void)fmt; ((void)args, ...); }
}
/// Trace output of assembly, pool and queues, chronology checks, matching.
template <class... Args>
inline void hprintf2(const char* fmt, Args... args) {
  if constexpr (k_trace2_on == 1) trace_print(stdout, false, fmt, args...);
  else { (void)fmt; ((void)args, ...); }
}

}  // namespace dp
