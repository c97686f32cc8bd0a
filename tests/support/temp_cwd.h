// Test-only: a fresh scratch directory that is also the working directory while the test runs
// (the previous one is restored and the scratch removed afterwards), and two helpers for death
// tests that check the console and the error log together, in the order they were written.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace dp_test {

struct temp_cwd {
  std::string dir;    ///< the scratch directory, absolute, without a trailing '/'
  std::string saved;  ///< the working directory before
  temp_cwd() {
    saved = std::filesystem::current_path().string();
    std::string templ = (std::filesystem::temp_directory_path() / "droppair-c-XXXXXX").string();
    dir = mkdtemp(templ.data());
    std::filesystem::current_path(dir);
  }
  ~temp_cwd() {
    std::filesystem::current_path(saved);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  temp_cwd(const temp_cwd&) = delete;
  temp_cwd& operator=(const temp_cwd&) = delete;
  /// Absolute path of name inside the scratch directory.
  std::string path(const std::string& name) const { return dir + "/" + name; }
};

/// In a death-test child: sends the console (standard output) to the error stream, so that one
/// pattern sees both channels in the order they were written.
inline void console_to_log() {
  std::fflush(stdout);
  dup2(2, 1);
}

/// An extended regular expression that matches exactly the text s and nothing more.
inline std::string exact_re(const std::string& s) {
  std::string re = "^";
  for (const char c : s) {
    if (std::string(".[]()*+?{}|^$\\").find(c) != std::string::npos) re += '\\';
    re += c;
  }
  return re + "$";
}

}  // namespace dp_test
