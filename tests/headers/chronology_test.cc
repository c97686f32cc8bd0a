#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "headers/chronology.h"
#include "lines/work_pool.h"

namespace {

using dp::particle_rec;

// Records linked as a queue; starts are given oldest first. Returns the oldest (the tail).
struct queue_of {
  std::vector<particle_rec> recs;
  explicit queue_of(const std::vector<double>& starts) : recs(starts.size()) {
    for (size_t k = 0; k < recs.size(); ++k) {
      recs[k].y_start = starts[k];
      if (k + 1 < recs.size()) recs[k].prev = &recs[k + 1];
      if (k > 0) recs[k].next = &recs[k - 1];
    }
  }
  const particle_rec* oldest() const { return recs.empty() ? nullptr : &recs[0]; }
};

TEST(Chronology, QueueStartingBeforeItsOldestEndsTheRun) {
  const struct {
    std::vector<double> starts;
    const char* name;
    char tag;
    const char* log;
  } cases[] = {
      {{100, 90, 120}, "Wait-queue", 'V', "^Wait-queue V -> Chronology - Error 90 100\n$"},
      {{100, 130, 120, 95, 80}, "Assign-queue", '2', "^Assign-queue 2 -> Chronology - Error 95 100\n$"},
      {{200.9, 199.5}, "Wait-queue", 'W', "^Wait-queue W -> Chronology - Error 199 200\n$"},
  };
  for (const auto& c : cases) {
    const queue_of q(c.starts);
    EXPECT_EXIT(dp::check_queue(c.name, c.tag, q.oldest()), testing::ExitedWithCode(1), c.log) << c.log;
  }
}

TEST(Chronology, QueueWithNothingBeforeItsOldestPasses) {
  // 110 is below its neighbour 120 but not below the oldest.
  for (const std::vector<double>& starts : {std::vector<double>{}, {100}, {100, 120, 110}, {100, 100, 100}}) {
    const queue_of q(starts);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    dp::check_queue("Wait-queue", 'V', q.oldest());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
}

TEST(Chronology, PairEarlierThanTheLastPassedOneIsDroppedWithOneC) {
  dp::reset_chronology();
  particle_rec a;
  const auto run = [&a](std::initializer_list<double> starts) {
    std::string verdicts;
    for (const double y : starts) {
      a.y_start = y;
      verdicts += static_cast<char>('0' + dp::check_match(&a));
    }
    return verdicts;
  };
  testing::internal::CaptureStderr();
  EXPECT_EQ(run({500.0, 480.0, 520.0}), "101");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "C");
  // A start equal to the last passed one passes; drops run as 'C's on one line.
  testing::internal::CaptureStderr();
  EXPECT_EQ(run({520.0, 510.0, 519.0, 600.0}), "1001");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "CC");
  EXPECT_EQ(dp::chronology.prev_match, 600.0);
}

}  // namespace
