// Test-only: droppair as a child process with any arguments, for the runs that a test watches
// while they go on (a live raw file, a stop signal, a key on a terminal). Standard output and
// error go to console.out and stderr.out in the run's directory; standard input is empty or the
// given descriptor (the slave side of a pseudo-terminal). POSIX only.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace dp_test {

/// In a forked child (only calls that are safe after fork): into dir, standard input from in_fd
/// (/dev/null when negative), standard output and error to the files console and errors;
/// _exit(126) when that fails.
inline void child_into(const std::string& dir, const std::string& console, const std::string& errors, int in_fd) {
  if (chdir(dir.c_str()) != 0) _exit(126);
  const int in = in_fd >= 0 ? in_fd : open("/dev/null", O_RDONLY);
  const int out = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0) _exit(126);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
}

/// Starts droppair with args in dir; standard input from stdin_fd (-1: /dev/null).
inline pid_t start_droppair(const std::string& dir, const std::vector<std::string>& args, int stdin_fd = -1) {
  std::vector<std::string> argv_text = {DROPPAIR_BIN};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string console = dir + "/console.out";
  const std::string errors = dir + "/stderr.out";
  const pid_t pid = fork();
  if (pid != 0) return pid;
  child_into(dir, console, errors, stdin_fd);
  execv(DROPPAIR_BIN, argv.data());
  _exit(127);
}

/// Waits up to limit_s seconds for path to exist; true when it does.
inline bool wait_for_file(const std::string& path, double limit_s) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit_s);
  while (!std::filesystem::exists(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace dp_test
