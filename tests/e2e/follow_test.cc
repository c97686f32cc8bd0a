// End-to-end runs on a raw data file that is still being written: with --follow the program reads
// on until the file has not grown for the follow period, and its outputs are those of a run on
// the complete file; without it the run ends where the data end, as it always did.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "support/live_run.h"
#include "support/raw_fixture.h"
#include "support/scratch_run.h"
#include "support/spawn_run.h"

namespace {

using dp_test::bytes;
using dp_test::scratch_dir;

const std::string k_examples = std::string(DROPPAIR_SOURCE_DIR) + "/examples/";
constexpr const char* k_outputs[] = {"V05123_1.sno", "V05123_1.shd", "V05123_1.abh"};

void copy_inputs(const scratch_dir& dir) {
  for (const char* name : {"DROPPAIR.SET", "corrfact.dat"})
    std::filesystem::copy_file(k_examples + name, dir.file(name));
}

void append(const std::string& path, const bytes& data, size_t from, size_t to) {
  std::FILE* f = std::fopen(path.c_str(), "ab");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(data.data() + from, 1, to - from, f), to - from);
  std::fclose(f);
}

TEST(Follow, FileWrittenInPiecesGivesTheOutputsOfTheCompleteFile) {
  const bytes raw = dp_test::read_file(k_examples + "V05123_1.ab");
  ASSERT_GT(raw.size(), 100000u);

  scratch_dir whole;
  copy_inputs(whole);
  dp_test::write_file(whole.file("V05123_1.ab"), raw);
  const auto expected = dp_test::run_droppair(whole, {"--quiet", "V05123_1.ab"});
  ASSERT_EQ(expected.status, 0) << expected.log;

  // The writer starts with the file cut inside its first record header, then appends pieces cut
  // at random places (inside record headers and payloads), pausing up to 0.3 s after each.
  std::mt19937 rng(16);
  std::vector<size_t> cuts = {2};
  for (int i = 0; i < 9; ++i) cuts.push_back(std::uniform_int_distribution<size_t>(3, raw.size() - 1)(rng));
  std::sort(cuts.begin(), cuts.end());
  cuts.push_back(raw.size());

  scratch_dir live;
  copy_inputs(live);
  const std::string path = live.file("V05123_1.ab");
  append(path, raw, 0, cuts[0]);
  const pid_t pid = dp_test::start_droppair(live.path.string(), {"--follow=2", "--quiet", "V05123_1.ab"});
  for (size_t i = 1; i < cuts.size(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 300)(rng)));
    append(path, raw, cuts[i - 1], cuts[i]);
  }
  const auto end = dp_test::wait_child(pid, 60);
  ASSERT_TRUE(end.exited && end.status == 0) << "signal " << end.signal << " status " << end.status;

  EXPECT_EQ(dp_test::read_text(live.file("console.out")), expected.console);
  dp_test::run_result got;
  got.log = dp_test::read_text(live.file("DROPPAIR.ERR"));
  EXPECT_EQ(got.log_tail(), expected.log_tail());
  for (const char* name : k_outputs)
    EXPECT_TRUE(dp_test::read_file(live.file(name)) == dp_test::read_file(whole.file(name))) << name;
}

TEST(Follow, EndsAfterThePeriodWithoutGrowthWithTheUnreadRecordReported) {
  // A file whose last record never completes: the run waits one period, then ends as a run
  // without --follow does on the same file.
  bytes raw = dp_test::read_file(k_examples + "V05123_1.ab");
  raw.resize(raw.size() - 3);
  scratch_dir plain, followed;
  for (const scratch_dir* d : {&plain, &followed}) {
    copy_inputs(*d);
    dp_test::write_file(d->file("V05123_1.ab"), raw);
  }
  const auto expected = dp_test::run_droppair(plain, {"V05123_1.ab"});
  ASSERT_EQ(expected.status, 0);
  ASSERT_NE(expected.log_tail().find("mp80: record at offset"), std::string::npos) << expected.log;

  const auto started = std::chrono::steady_clock::now();
  const auto r = dp_test::run_droppair(followed, {"--follow=1", "--quiet", "V05123_1.ab"});
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(r.status, 0);
  EXPECT_GE(took, 1.0);
  EXPECT_EQ(r.log_tail(), expected.log_tail());
  for (const char* name : k_outputs)
    EXPECT_TRUE(dp_test::read_file(followed.file(name)) == dp_test::read_file(plain.file(name))) << name;
}

}  // namespace
