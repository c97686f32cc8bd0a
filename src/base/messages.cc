#include "base/messages.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace dp {

void con_printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stdout, fmt, ap);
  va_end(ap);
}

void log_printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
}

void report_syserr(const char* label) {
  const int err = errno;
  const char* text = err != 0 ? std::strerror(err) : "unexpected end of file";
  if (label != nullptr && label[0] != '\0') std::fprintf(stderr, "%s: %s\n", label, text);
  else std::fprintf(stderr, "%s\n", text);
}

void fatal_syserr(const char* label, const int err) {
  errno = err;
  report_syserr(label);
  fatal_end();
}

const char* system_reason(int err) { return err != 0 ? std::strerror(err) : "write incomplete"; }

std::string file_failure_line(const char* label, const std::string& name, int err) {
  return std::string(label) + ": " + name + ": " + system_reason(err) + "\n";
}

namespace {
fatal_handler g_fatal_handler = nullptr;
}  // namespace

void set_fatal_handler(fatal_handler handler) { g_fatal_handler = handler; }

void fatal_end() {
  std::fflush(stdout);
  std::fflush(stderr);
  if (g_fatal_handler != nullptr) g_fatal_handler(1);
  std::exit(1);
}

void fatal_announced(const char* log_fmt, ...) {
  std::fputs(k_announce, stdout);
  std::fflush(stdout);
  va_list ap;
  va_start(ap, log_fmt);
  std::vfprintf(stderr, log_fmt, ap);
  va_end(ap);
  fatal_end();
}

void fatal_console_first(const char* console, const char* log) {
  std::fputs(console, stdout);
  std::fflush(stdout);
  std::fputs(log, stderr);
  fatal_end();
}

void fatal_log_first(const char* log, const char* console) {
  std::fputs(log, stderr);
  std::fflush(stderr);
  std::fputs(console, stdout);
  fatal_end();
}

unsigned long line_lu(double y) {
  if (!std::isfinite(y)) return 0;
  const double t = std::trunc(y);
  const double m = std::fmod(t, 4294967296.0);  // keeps the sign of t
  const double r = m < 0 ? m + 4294967296.0 : m;
  return static_cast<unsigned long>(static_cast<uint32_t>(r));
}

void trace_vprint(std::FILE* out, bool long_forms, const char* fmt, std::va_list ap) {
  for (const char* p = fmt; *p != '\0'; ++p) {
    if (*p != '%') {
      std::fputc(*p, out);
      continue;
    }
    const char c = p[1];
    if (c == 'd') std::fprintf(out, "%d", va_arg(ap, int32_t));
    else if (c == 'u') std::fprintf(out, "%u", va_arg(ap, uint32_t));
    else if (c == 'f') std::fprintf(out, "%f", va_arg(ap, double));
    else if (c == 's') std::fputs(va_arg(ap, const char*), out);
    else if (c == 'l' && long_forms) {
      const char d = p[2];
      if (d == '\0') return;
      if (d == 'd') std::fprintf(out, "%d", va_arg(ap, int32_t));
      else if (d == 'u') std::fprintf(out, "%u", va_arg(ap, uint32_t));
      else if (d == 'f') std::fprintf(out, "%f", va_arg(ap, double));
      p += 2;
      continue;
    } else {
      std::fputs(k_announce, stdout);
      std::fflush(stdout);
      std::fprintf(stderr, "*** Error in 'hprintf': Unknown format '%c' !\n", c);
      fatal_end();
    }
    ++p;
  }
}

void trace_print(std::FILE* out, bool long_forms, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  trace_vprint(out, long_forms, fmt, ap);
  va_end(ap);
}

}  // namespace dp
