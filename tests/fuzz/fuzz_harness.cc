#include "fuzz/fuzz_harness.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "base/messages.h"

namespace dp_fuzz {

namespace {

std::string g_scratch;

[[noreturn]] void throw_fatal(int status) { throw fatal_exit{status}; }

void remove_scratch() {
  std::error_code ec;
  std::filesystem::current_path("/", ec);
  std::filesystem::remove_all(g_scratch, ec);
}

}  // namespace

void init() {
  static bool done = false;
  if (done) return;
  done = true;
  dp::set_fatal_handler(throw_fatal);

  const char* const base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string templ = std::string(base) + "/droppair-fuzz-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr || chdir(templ.c_str()) != 0) finding("no scratch directory under %s\n", base);
  g_scratch = templ;
  std::atexit(remove_scratch);

  // No terminal: no pauses, no key polls, no escape sequences. The console and the error log are
  // thrown away; descriptor 2 keeps the reports of the fuzzer, the sanitizers and finding().
  const int null_fd = open("/dev/null", O_RDWR);
  std::fflush(stdout);
  dup2(null_fd, 0);
  dup2(null_fd, 1);
  std::FILE* const null_stream = std::fopen("/dev/null", "w");
  if (null_stream != nullptr) stderr = null_stream;
}

void write_file(const std::string& name, const uint8_t* data, size_t size) {
  std::FILE* const f = std::fopen(name.c_str(), "wb");
  if (f == nullptr) finding("cannot write %s in the scratch directory\n", name.c_str());
  if (size > 0 && std::fwrite(data, 1, size, f) != size) finding("cannot write %s\n", name.c_str());
  std::fclose(f);
}

void say(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vdprintf(2, fmt, ap);
  va_end(ap);
}

void finding(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vdprintf(2, fmt, ap);
  va_end(ap);
  std::abort();
}

}  // namespace dp_fuzz
