// Test-only helpers for end-to-end runs: a fresh scratch directory per test, a settings file with
// its values at column 61, and a run of the built droppair binary there with standard output
// redirected (not a terminal) and standard input empty.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <sys/wait.h>

#include <gtest/gtest.h>

namespace dp_test {

/// A fresh directory under the system's temporary directory, removed with its contents.
struct scratch_dir {
  std::filesystem::path path;
  scratch_dir() {
    std::string templ = (std::filesystem::temp_directory_path() / "droppair-XXXXXX").string();
    path = mkdtemp(templ.data());
  }
  ~scratch_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string file(const std::string& name) const { return (path / name).string(); }
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
};

/// One settings line: key in column 1, value from column 61 on.
inline std::string settings_line(const std::string& key, const std::string& value, size_t column = 61) {
  std::string line = key + "  text";
  if (line.size() < column - 1) line.append(column - 1 - line.size(), ' ');
  return line + value + "\n";
}

/// The settings of a plain run; values replace the defaults by key, "" drops a key.
inline std::string settings_text(const std::vector<std::pair<std::string, std::string>>& changes = {}) {
  std::vector<std::pair<std::string, std::string>> keys = {
      {"HARDC_P", ""},      {"RAW_PATH", ""},   {"HYD_PATH", ""},   {"DELTA_HGT", "10"},
      {"VEL_MIN", "0.5"},   {"F_VMIN", "0.6"},  {"VEL_MAX", "12.0"}, {"F_VMAX", "1.4"},
      {"OBL_MIN", "0.5"},   {"F_OMIN", "0.8"},  {"OBL_MAX", "1.1"}, {"F_OMAX", "1.2"},
      {"WA_WB", "0.7"},     {"RANK_ATLAS", "3"}, {"RANK_PB", "2"}};
  std::string text = "settings of a test run\n";
  for (auto& [key, value] : keys) {
    bool drop = false;
    for (auto& [k, v] : changes)
      if (k == key) {
        if (v == "<drop>") drop = true;
        else value = v;
      }
    if (!drop) text += settings_line(key, value);
  }
  return text;
}

/// A calibration file with no corrections.
inline std::string neutral_corrfact() {
  return "Correction factors in percent for relative threshold\n"
         "test instrument, calibration no.                      1\n"
         "diameter:    0.30   0.50   0.75   1.00   1.50   2.00   3.00   4.00   5.50   7.00\n"
         "deviation of the measured from the true size in percent\n"
         "height A:    0.00   0.00   0.00   0.00   0.00   0.00   0.00   0.00   0.00   0.00\n"
         "height B:    0.00   0.00   0.00   0.00   0.00   0.00   0.00   0.00   0.00   0.00\n"
         "width A :    0.00   0.00   0.00   0.00   0.00   0.00   0.00   0.00   0.00   0.00\n"
         "width B :    0.00   0.00   0.00   0.00   0.00   0.00   0.00   0.00   0.00   0.00\n";
}

inline void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string read_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

/// What a run left behind.
struct run_result {
  int status = -1;      ///< exit status
  std::string console;  ///< standard output
  std::string stderr_text;  ///< standard error (before the log is opened: the settings failures)
  std::string log;      ///< DROPPAIR.ERR
  /// The error log after its empty line and its start line.
  std::string log_tail() const {
    const size_t first = log.find('\n');
    if (first == std::string::npos) return "";
    const size_t second = log.find('\n', first + 1);
    return second == std::string::npos ? "" : log.substr(second + 1);
  }
};

inline std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

/// Runs droppair with args in dir (standard output and error to files, standard input empty).
inline run_result run_droppair(const scratch_dir& dir, const std::vector<std::string>& args) {
  std::string cmd = "cd " + shell_quote(dir.path.string()) + " && " + shell_quote(DROPPAIR_BIN);
  for (const auto& a : args) cmd += " " + shell_quote(a);
  cmd += " >console.out 2>stderr.out </dev/null";
  const int rc = std::system(cmd.c_str());
  run_result r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.console = read_text(dir.file("console.out"));
  r.stderr_text = read_text(dir.file("stderr.out"));
  r.log = read_text(dir.file("DROPPAIR.ERR"));
#ifdef SNODUMP_BIN
  // Every run that ended normally with its three outputs in the directory must pass the reader's
  // cross-file check.
  namespace fs = std::filesystem;
  if (r.status == 0) {
    for (const auto& entry : fs::directory_iterator(dir.path)) {
      if (entry.path().extension() != ".sno") continue;
      fs::path shd = entry.path(), abh = entry.path();
      shd.replace_extension(".shd");
      abh.replace_extension(".abh");
      if (!fs::exists(shd) || !fs::exists(abh)) continue;
      const std::string check = shell_quote(SNODUMP_BIN) + " --check " + shell_quote(entry.path().string()) +
                                " >" + shell_quote(dir.file("check.out")) + " 2>&1";
      const int crc = std::system(check.c_str());
      if (!WIFEXITED(crc) || WEXITSTATUS(crc) != 0)
        ADD_FAILURE() << "snodump --check: " << read_text(dir.file("check.out"));
    }
  }
#endif
  return r;
}

}  // namespace dp_test
