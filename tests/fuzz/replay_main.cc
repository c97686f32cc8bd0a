// fuzz_replay: runs saved inputs through a fuzz target in an ordinary build, so that the seed
// corpus and every input that ever crashed a target run in CI, under the sanitizers too.
// Usage: fuzz_replay TARGET CORPUS_DIR [CRASH_DIR]
// CORPUS_DIR must hold at least one input; CRASH_DIR may be missing. Inputs run in name order
// (names beginning with '.' are skipped), each named on standard error before it runs, so that a
// finding (an abort) is followed back to its file.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_harness.h"

namespace fs = std::filesystem;

namespace {

// The inputs in dir, by name; false when dir is not a directory.
bool list_inputs(const fs::path& dir, std::vector<fs::path>* out) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return false;
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(dir, ec))
    if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') found.push_back(entry.path());
  std::sort(found.begin(), found.end());
  out->insert(out->end(), found.begin(), found.end());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: fuzz_replay TARGET CORPUS_DIR [CRASH_DIR]\n");
    return 2;
  }
  const dp_fuzz::target* target = nullptr;
  for (const auto& t : dp_fuzz::k_targets)
    if (std::strcmp(t.name, argv[1]) == 0) target = &t;
  if (target == nullptr) {
    std::fprintf(stderr, "fuzz_replay: no target %s\n", argv[1]);
    return 2;
  }
  std::vector<fs::path> inputs;
  if (!list_inputs(fs::absolute(argv[2]), &inputs) || inputs.empty()) {
    std::fprintf(stderr, "fuzz_replay: no inputs in %s\n", argv[2]);
    return 1;
  }
  if (argc == 4) list_inputs(fs::absolute(argv[3]), &inputs);

  dp_fuzz::init();  // from here on the working directory is a scratch directory
  for (const fs::path& path : inputs) {
    std::ifstream f(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    // An exactly sized heap copy, so that the sanitizers see any read beyond the input.
    const std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size()]);
    if (!bytes.empty()) std::memcpy(data.get(), bytes.data(), bytes.size());
    dp_fuzz::say("%s\n", path.c_str());
    target->run(data.get(), bytes.size());
  }
  dp_fuzz::say("fuzz_replay %s: %zu inputs, no finding\n", target->name, inputs.size());
  return 0;
}
