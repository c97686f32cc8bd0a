// Test-only: runs the droppair binary as a child process in a directory (standard input empty,
// standard output and error to console.out and stderr.out there) and waits for it with a time
// limit; or stops it with SIGKILL, either after a given time or, under ptrace, right before its
// n-th system call that changes a file (so that every state the files pass through can be looked
// at). POSIX only.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/live_run.h"

namespace dp_test {

/// How a child ended.
struct child_end {
  bool exited = false;     ///< it ended by itself with status
  int status = -1;
  int signal = 0;          ///< the signal that ended it (SIGKILL when the test killed it)
  bool timed_out = false;  ///< it was still running at the time limit and was killed
  long changes = 0;        ///< (traced) file-changing system calls it began
};

namespace spawn_detail {

inline child_end decode(int wstatus) {
  child_end e;
  if (WIFEXITED(wstatus)) {
    e.exited = true;
    e.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    e.signal = WTERMSIG(wstatus);
  }
  return e;
}

// True for the system calls that change a file (writes, creation, truncation, renames, removal);
// for writes only those to descriptors above 2 (the console and the error log are not counted).
inline bool changes_a_file(const __ptrace_syscall_info& info) {
  const auto nr = static_cast<long>(info.entry.nr);
  const auto fd = static_cast<long>(info.entry.args[0]);
  if (nr == SYS_write || nr == SYS_pwrite64 || nr == SYS_writev) return fd > 2;
  if (nr == SYS_openat) return (info.entry.args[2] & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
  if (nr == SYS_ftruncate || nr == SYS_renameat || nr == SYS_unlinkat) return true;
#ifdef SYS_renameat2
  if (nr == SYS_renameat2) return true;
#endif
#ifdef SYS_rename
  if (nr == SYS_rename || nr == SYS_unlink || nr == SYS_open || nr == SYS_creat) return true;
#endif
  return false;
}

}  // namespace spawn_detail

/// Starts droppair with one argument in dir; traced children stop before exec for ptrace.
inline pid_t spawn_droppair(const std::string& dir, const std::string& arg, bool traced = false) {
  const std::string console = dir + "/console.out";
  const std::string errors = dir + "/stderr.out";
  // The leak checker of a sanitizer build stops the process's threads with ptrace at exit, which
  // a traced process cannot allow.
  const char* const asan = std::getenv("ASAN_OPTIONS");
  std::string no_leaks = std::string("ASAN_OPTIONS=") + (asan != nullptr ? std::string(asan) + ":" : "") + "detect_leaks=0";
  const pid_t pid = fork();
  if (pid != 0) return pid;
  child_into(dir, console, errors, -1);
  if (traced) {
    putenv(no_leaks.data());
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    raise(SIGSTOP);
  }
  execl(DROPPAIR_BIN, DROPPAIR_BIN, arg.c_str(), static_cast<char*>(nullptr));
  _exit(127);
}

/// Waits for an untraced child; kills it when it runs longer than limit_s seconds.
inline child_end wait_child(pid_t pid, double limit_s) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit_s);
  int wstatus = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &wstatus, WNOHANG);
    if (r == pid) return spawn_detail::decode(wstatus);
    if (r < 0) return child_end{};
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      child_end e = spawn_detail::decode(wstatus);
      e.timed_out = true;
      return e;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

/// Runs droppair in dir to its end (killed after limit_s seconds).
inline child_end run_droppair_in(const std::string& dir, const std::string& arg, double limit_s) {
  return wait_child(spawn_droppair(dir, arg), limit_s);
}

/// Runs droppair in dir and kills it with SIGKILL after `after` (unless it ended before).
inline child_end kill_droppair_after(const std::string& dir, const std::string& arg, std::chrono::microseconds after) {
  const pid_t pid = spawn_droppair(dir, arg);
  std::this_thread::sleep_for(after);
  kill(pid, SIGKILL);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return spawn_detail::decode(wstatus);
}

/// Runs droppair in dir under ptrace and kills it with SIGKILL on entry to its n-th system call
/// that changes a file, so that this call never happens (n = 0: never; the run goes to its end
/// and `changes` counts those calls). False in `exited` and no signal when ptrace is refused.
inline child_end trace_droppair(const std::string& dir, const std::string& arg, long n) {
  const pid_t pid = spawn_droppair(dir, arg, true);
  int wstatus = 0;
  if (waitpid(pid, &wstatus, 0) != pid || !WIFSTOPPED(wstatus)) return child_end{};
  if (ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) != 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &wstatus, 0);
    return child_end{};
  }
  long changes = 0;
  int deliver = 0;
  for (;;) {
    if (ptrace(PTRACE_SYSCALL, pid, nullptr, deliver) != 0) break;
    if (waitpid(pid, &wstatus, 0) != pid) break;
    if (WIFEXITED(wstatus) || WIFSIGNALED(wstatus)) break;
    deliver = 0;
    if (WSTOPSIG(wstatus) == (SIGTRAP | 0x80)) {
      __ptrace_syscall_info info{};
      if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) > 0 && info.op == PTRACE_SYSCALL_INFO_ENTRY &&
          spawn_detail::changes_a_file(info) && ++changes == n) {
        kill(pid, SIGKILL);
        waitpid(pid, &wstatus, 0);
        break;
      }
    } else if (WSTOPSIG(wstatus) != SIGTRAP && WSTOPSIG(wstatus) != SIGSTOP) {
      deliver = WSTOPSIG(wstatus);
    }
  }
  child_end e = spawn_detail::decode(wstatus);
  e.changes = changes;
  return e;
}

}  // namespace dp_test
