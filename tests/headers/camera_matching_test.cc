#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "base/byte_order.h"
#include "headers/camera_matching.h"
#include "headers/chronology.h"
#include "lines/work_pool.h"
#include "output/particle_writer.h"
#include "platform/clock.h"
#include "support/pair_fixture.h"

namespace {

using dp_test::header_list;
using dp_test::simple_header;

// A particle record for the match test alone (no lines).
dp::particle_rec shape(int width, int line_no, double y_start, double y_end) {
  dp::particle_rec p;
  p.width = static_cast<int16_t>(width);
  p.line_no = static_cast<int16_t>(line_no);
  p.y_start = y_start;
  p.y_end = y_end;
  return p;
}

int test_pair(const dp::particle_rec& a, const dp::particle_rec& b, int16_t delta_hgt, float wa_wb) {
  return dp::match_test(&a, &b, {wa_wb, delta_hgt, 3, nullptr});
}

TEST(MatchTest, WidthRatioBoundsAreInclusiveInSinglePrecision) {
  struct { int wa, wb; float wa_wb; int result; } cases[] = {
      {10, 12, 0.8f, 1}, {10, 13, 0.8f, 0}, {12, 10, 0.8f, 1}, {13, 10, 0.8f, 0},
      {5, 4, 0.8f, 1},   {4, 5, 0.8f, 1},   {7, 10, 0.7f, 1},  {10, 7, 0.7f, 1},
      {10, 10, 1.0f, 1}, {10, 10, 1.2f, 0},  // above 1 no pair can pass
      {0, 10, 0.7f, 0},  {10, 0, 0.7f, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(test_pair(shape(c.wa, 20, 1000, 1020), shape(c.wb, 20, 1010, 1030), 5, c.wa_wb), c.result)
        << c.wa << "/" << c.wb << " " << c.wa_wb;
}

TEST(MatchTest, LineCountsMayDifferByDeltaHgt) {
  struct { int la, lb; int result; } cases[] = {{20, 25, 1}, {20, 26, 0}, {25, 20, 1}, {26, 20, 0}};
  for (const auto& c : cases)
    EXPECT_EQ(test_pair(shape(10, c.la, 1000, 1000 + c.la), shape(10, c.lb, 1010, 1010 + c.lb), 5, 0.7f), c.result)
        << c.la << " " << c.lb;
}

TEST(MatchTest, BMustBeLaterByOneWholeLine) {
  struct { double b_start, b_end; int result; } cases[] = {
      {1000.0, 1010.0, 0},  // same lines
      {1000.4, 1010.7, 0},  // 0 + 0
      {1000.0, 1011.0, 1},  // 0 + 1
      {1001.0, 1009.5, 1},  // 1 + 0: -0.5 truncates to 0
      {999.0, 1012.0, 1},   // -1 + 2
      {1e300, 1e300, 1},    // saturates instead of overflowing
      {-1e300, -1e300, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(test_pair(shape(10, 10, 1000, 1010), shape(10, 10, c.b_start, c.b_end), 5, 0.7f), c.result)
        << c.b_start << " " << c.b_end;
}

// ---- find_m over real queues, with the pairs it writes read back from the particle writer ----

class FindM : public testing::Test {
 protected:
  void SetUp() override {
    total = 0;
    dp::reset_work_pool();
    dp::pool.cam_a.assign_tag = '1';
    dp::pool.cam_a.wait_tag = 'V';
    dp::pool.cam_b.assign_tag = '2';
    dp::pool.cam_b.wait_tag = 'W';
    dp::reset_chronology();
    ctx = {0.7f, 5, 3, &dp::net_wr, &dp::pool.cam_a, &dp::pool.cam_b};
    dp::reset_timing();
    dp::reset_main_header();
    dp::reset_particle_writer();
    dp_test::connect_writer(1000.0);
    dp_test::calibration_ones();
    headers.reset(new header_list{{0.0, simple_header()}});
    files = std::make_unique<dp_test::output_set>();
    dp::writer.last_flush = dp::clock_now_seconds();
  }
  void TearDown() override {
    files.reset();
    headers.reset();
    dp::reset_work_pool();
  }

  // Queues particles (oldest first) on a camera's wait queue: each (y_start, x_beg), 10 lines of
  // one piece 10 pixels wide; x_beg tells the particles apart in the written records.
  static void queue(dp::cam_queues* cam, const std::vector<std::pair<double, int>>& ps, int lines = 10) {
    for (const auto& [y, x] : ps) {
      dp::particle_rec* p = dp::new_particle(y, cam);
      dp::reserve_lines(p, lines);
      for (int k = 0; k < lines; ++k) p->lines[k] = dp_test::line_at(y + k, {{x, x + 10}});
      p->x_min = static_cast<int16_t>(x);
      p->x_max = static_cast<int16_t>(x + 10);
      p->width = 10;
      p->line_no = static_cast<int16_t>(lines);
      p->y_end = y + lines;
    }
    dp::chain_queues(cam);
  }
  // y_start of the particles on a wait queue, oldest first.
  static std::vector<double> waiting(const dp::cam_queues& cam) {
    std::vector<double> v;
    for (const dp::particle_rec* p = cam.wait_tail; p != nullptr; p = p->prev) v.push_back(p->y_start);
    return v;
  }
  // (y_start of A, x_min of B) of every record written so far, in .sno order.
  std::vector<std::pair<double, int>> written() const {
    files->sync();
    dp_test::bytes all = dp_test::read_file(files->sno);
    all.insert(all.end(), dp::writer.sno_buf, dp::writer.sno_buf + dp::writer.sno_fill);
    std::vector<std::pair<double, int>> v;
    for (size_t at = 0; at + 30 <= all.size(); at += dp::load_le16(all.data() + at))
      v.emplace_back(dp::load_f64(all.data() + at + 4), dp::load_les16(all.data() + at + 22));
    return v;
  }
  std::unique_ptr<header_list> headers;
  std::unique_ptr<dp_test::output_set> files;
  int32_t total = 0;
  dp::match_context ctx;
};

using pairs = std::vector<std::pair<double, int>>;
using lines_v = std::vector<double>;

TEST_F(FindM, ParticleInsideTheLastWindowWaitsForALaterCall) {
  struct { double a_start; bool examined; } cases[] = {{9400.0, true}, {9400.5, false}};
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    queue(&dp::pool.cam_a, {{c.a_start, 300}});
    queue(&dp::pool.cam_b, {{c.a_start + 5, 301}});
    dp::find_m(&total, 10000.0, ctx);
    EXPECT_EQ(total, c.examined ? 1 : 0) << c.a_start;
    EXPECT_EQ(written(), (c.examined ? pairs{{c.a_start, 301}} : pairs{})) << c.a_start;
    EXPECT_EQ(waiting(dp::pool.cam_a), (c.examined ? lines_v{} : lines_v{c.a_start}));
  }
}

TEST_F(FindM, WindowOfTheFormatIsInclusive) {
  struct { int16_t format; double delay; bool paired; } cases[] = {
      {1, 350, true}, {1, 351, false}, {2, 350, true}, {2, 351, false}, {3, 600, true}, {3, 601, false}};
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    ctx.ab_format = c.format;
    queue(&dp::pool.cam_a, {{1000, 300}});
    queue(&dp::pool.cam_b, {{1000 + c.delay, 301}});
    dp::find_m(&total, 1e9, ctx);
    EXPECT_EQ(written(), (c.paired ? pairs{{1000, 301}} : pairs{})) << c.format << " " << c.delay;
    EXPECT_TRUE(waiting(dp::pool.cam_a).empty());  // paired, or released unmatched
    EXPECT_EQ(waiting(dp::pool.cam_b), (c.paired ? lines_v{} : lines_v{1000 + c.delay}));
  }
}

TEST_F(FindM, UnmatchedBIsDiscardedOnceAnAParticleStartsAfterIt) {
  queue(&dp::pool.cam_a, {{1000, 300}, {1001, 300}});
  queue(&dp::pool.cam_b, {{1000, 301}});  // same start and length: d1 + d2 = 0
  dp::find_m(&total, 1e9, ctx);
  EXPECT_EQ(total, 0);
  EXPECT_TRUE(written().empty());
  EXPECT_EQ(waiting(dp::pool.cam_a), (lines_v{1000, 1001}));  // undecided: examined again later
  EXPECT_TRUE(waiting(dp::pool.cam_b).empty());
}

TEST_F(FindM, EachAParticleTakesTheFirstBThatPasses) {
  queue(&dp::pool.cam_a, {{1000, 300}, {1003, 200}});
  queue(&dp::pool.cam_b, {{1002, 401}, {1004, 402}, {1006, 403}});
  dp::pool.cam_b.wait_tail->width = 20;  // B 1002 fails the width ratio (10/20 < 0.7)
  dp::find_m(&total, 1e9, ctx);
  // A 1000 passes over B 1002 and takes B 1004 although B 1006 would pass too; A 1003 then
  // discards B 1002, which starts before it, and takes B 1006.
  EXPECT_EQ(written(), (pairs{{1000, 402}, {1003, 403}}));
  EXPECT_EQ(total, 2);
  EXPECT_TRUE(waiting(dp::pool.cam_a).empty());
  EXPECT_TRUE(waiting(dp::pool.cam_b).empty());
}

TEST_F(FindM, EmptyBQueueEndsTheCallAndKeepsTheAParticles) {
  queue(&dp::pool.cam_a, {{1000, 300}, {2000, 300}});
  queue(&dp::pool.cam_b, {{999, 301}});  // discarded by A 1000; then B is empty
  dp::find_m(&total, 1e9, ctx);
  EXPECT_EQ(waiting(dp::pool.cam_a), (lines_v{1000, 2000}));
  EXPECT_TRUE(waiting(dp::pool.cam_b).empty());
  dp::find_m(&total, 1e9, ctx);  // B still empty
  EXPECT_EQ(waiting(dp::pool.cam_a), (lines_v{1000, 2000}));
}

TEST_F(FindM, PairOutOfOrderIsCountedButNotWritten) {
  dp::chronology.prev_match = 1500.0;
  queue(&dp::pool.cam_a, {{1000, 300}, {2000, 300}});
  queue(&dp::pool.cam_b, {{1010, 301}, {2010, 302}});
  testing::internal::CaptureStderr();
  dp::find_m(&total, 1e9, ctx);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "C");
  EXPECT_EQ(total, 2);
  EXPECT_EQ(written(), (pairs{{2000, 302}}));
  EXPECT_TRUE(waiting(dp::pool.cam_a).empty());
  EXPECT_TRUE(waiting(dp::pool.cam_b).empty());
}

TEST_F(FindM, UnknownFormatEndsTheRun) {
  ctx.ab_format = 4;
  queue(&dp::pool.cam_a, {{1000, 300}});
  queue(&dp::pool.cam_b, {{1010, 301}});
  EXPECT_EXIT(dp::find_m(&total, 1e9, ctx), testing::ExitedWithCode(1), "^findmatch: wrong ab-format\n$");
}

}  // namespace
