// The program killed with SIGKILL while it runs: whatever moment the kill comes at, the files left
// behind are prefixes of the complete run's files: the .sno whole records (a byte prefix of the
// complete .sno), the .shd and .abh main headers a prefix of the complete run's, at most one
// header ahead of the .sno, and every table entry pointing only at records that are on disk.
// Two kinds of kill:
//  - exact: under ptrace, on entry to each system call of the run that changes a file, so that the
//    call never happens. A small file with many main headers (each forces a flush: a .sno block,
//    both table rewrites, three header appends) and several full buffers makes every state the
//    files pass through between two such calls looked at once;
//  - timed: at seeded moments spread evenly over a run of a larger file, so that a kill also falls
//    inside system calls; a large write cut short by the kill may then leave part of a record at
//    the end of the .sno (still a byte prefix), at which nothing may point.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "support/output_check.h"
#include "support/scratch_run.h"
#include "support/spawn_run.h"
#include "support/storm_fixture.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool k_sanitized = true;  // runs are several times slower: smaller files, fewer kills
#else
constexpr bool k_sanitized = false;
#endif

constexpr double k_limit_s = 120.0;

struct crash_dir {
  dp_test::scratch_dir dir;
  std::string base = dir.file("V05123_1");
  explicit crash_dir(const dp_test::bytes& raw) {
    dp_test::write_text(dir.file("DROPPAIR.SET"), dp_test::settings_text());
    dp_test::write_text(dir.file("corrfact.dat"), dp_test::neutral_corrfact());
    dp_test::write_file(dir.file("V05123_1.ab"), raw);
  }
  std::string path() const { return dir.path.string(); }
  void remove_outputs() const {
    for (const char* ext : {".sno", ".shd", ".abh"}) std::remove((base + ext).c_str());
  }
};

// Runs the whole file and returns its outputs, checked.
dp_test::run_outputs complete_run(const crash_dir& d, const dp_test::bytes& raw, double* seconds) {
  const auto t0 = std::chrono::steady_clock::now();
  const dp_test::child_end end = dp_test::run_droppair_in(d.path(), "V05123_1.ab", k_limit_s);
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_TRUE(end.exited && end.status == 0) << "signal " << end.signal;
  dp_test::run_outputs out = dp_test::read_outputs(d.base);
  dp_test::output_expectations expect;
  expect.raw = &raw;
  EXPECT_EQ(dp_test::check_outputs(out, expect), "");
  return out;
}

TEST(CrashConsistency, EveryStateBetweenTwoFileChangesIsAPrefixOfTheCompleteRun) {
  dp_test::storm_options o;
  o.windows = 800;
  o.seed = 3;
  o.gap_min = 10;
  o.gap_max = 120;
  o.radius_min = 6;
  o.radius_max = 40;
  o.new_header_every = 30;
  o.repeat_header_every = 15;
  const dp_test::storm_file storm = dp_test::make_storm(o);
  const crash_dir d(storm.raw);
  double seconds = 0;
  const dp_test::run_outputs complete = complete_run(d, storm.raw, &seconds);
  ASSERT_GT(complete.sno.size(), 150000u);  // full buffers besides the forced flushes

  d.remove_outputs();
  const dp_test::child_end counted = dp_test::trace_droppair(d.path(), "V05123_1.ab", 0);
  if (!counted.exited && counted.signal == 0) GTEST_SKIP() << "ptrace is not permitted here";
  ASSERT_TRUE(counted.exited && counted.status == 0);
  ASSERT_EQ(dp_test::read_outputs(d.base).sno, complete.sno);
  ASSERT_GT(counted.changes, 100);

  dp_test::output_expectations expect;
  expect.raw = &storm.raw;
  expect.finished = false;
  expect.complete = &complete;
  const long step = k_sanitized ? 3 : 1;  // the plain build looks at every state
  for (long n = 1; n <= counted.changes; n += step) {
    d.remove_outputs();
    const dp_test::child_end end = dp_test::trace_droppair(d.path(), "V05123_1.ab", n);
    ASSERT_EQ(end.signal, SIGKILL) << "file change " << n << " of " << counted.changes;
    ASSERT_EQ(dp_test::check_outputs(dp_test::read_outputs(d.base), expect), "")
        << "killed before file change " << n << " of " << counted.changes;
  }
}

TEST(CrashConsistency, KillsAtRandomMomentsLeaveConsistentPrefixes) {
  dp_test::storm_options o;
  o.windows = k_sanitized ? 6000 : 40000;
  o.seed = 5;
  o.gap_min = 10;
  o.gap_max = 150;
  o.radius_min = 4;
  o.radius_max = 40;
  o.new_header_every = o.windows / 90;
  o.repeat_header_every = 50;
  const dp_test::storm_file storm = dp_test::make_storm(o);
  const crash_dir d(storm.raw);
  double seconds = 0;
  const dp_test::run_outputs complete = complete_run(d, storm.raw, &seconds);

  dp_test::output_expectations expect;
  expect.raw = &storm.raw;
  expect.finished = false;
  expect.torn_tail_allowed = true;
  expect.complete = &complete;
  const int trials = k_sanitized ? 5 : 12;
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> within(0.0, 1.0);
  int killed = 0;
  for (int k = 0; k < trials; ++k) {
    d.remove_outputs();
    const double at = (k + within(rng)) / trials * seconds;
    const dp_test::child_end end =
        dp_test::kill_droppair_after(d.path(), "V05123_1.ab", std::chrono::microseconds(static_cast<long>(at * 1e6)));
    if (end.signal == SIGKILL) ++killed;
    ASSERT_EQ(dp_test::check_outputs(dp_test::read_outputs(d.base), expect), "")
        << "killed after " << at << " s of a " << seconds << " s run";
  }
  EXPECT_GE(killed, trials / 2);
}

}  // namespace
