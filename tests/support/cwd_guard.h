// Test-only: runs a test inside a scratch directory and returns to the previous working
// directory afterwards.
#pragma once

#include <filesystem>

#include "support/scratch_run.h"

namespace dp_test {

struct cwd_guard {
  std::filesystem::path saved = std::filesystem::current_path();
  explicit cwd_guard(const scratch_dir& dir) { std::filesystem::current_path(dir.path); }
  ~cwd_guard() { std::filesystem::current_path(saved); }
  cwd_guard(const cwd_guard&) = delete;
  cwd_guard& operator=(const cwd_guard&) = delete;
};

}  // namespace dp_test
