#include "headers/timing_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_cwd.h"

namespace {

void reset_all() {
  dp::reset_timing();
  dp::reset_main_header();
}

// Enters a header with the given main_time under base_frequ, as main_hr does.
void enter(uint32_t main_time, double base_frequ) {
  dp::main_header.base_frequ = base_frequ;
  dp::main_header.current.main_time = main_time;
  dp::main_header.current.line_fr = base_frequ;
  dp::main_tim(dp::main_header.current, dp::main_header.base_frequ);
}

// A frame store holding lines with the given line numbers.
std::unique_ptr<dp::frame_rec> frame_of(const std::vector<double>& ys) {
  auto f = std::make_unique<dp::frame_rec>();
  f->n_lines = static_cast<int16_t>(ys.size());
  for (size_t i = 0; i < ys.size(); ++i) f->lines[i].y_count = ys[i];
  return f;
}

constexpr double k_freq = 1000.0;  // 60000 lines per minute
constexpr double k_min = 60000.0;

class TimingModel : public testing::Test {
 protected:
  void SetUp() override {
    reset_all();
    dp::main_header.base_frequ = k_freq;
  }
  void TearDown() override { reset_all(); }
};

TEST_F(TimingModel, HeaderHoldsFromItsSecondOfTheDayTimesTheFrequency) {
  enter(86400u * 12000 + 3600, 34000.0);
  ASSERT_NE(dp::timing.head, nullptr);
  EXPECT_EQ(dp::timing.head->line, 122400000.0);
  EXPECT_EQ(dp::timing.head, dp::timing.tail);
  EXPECT_EQ(dp::timing.head->hd.main_time, 86400u * 12000 + 3600);
}

TEST_F(TimingModel, LaterHeadersAreAppendedInOrder) {
  enter(100, k_freq);
  enter(200, k_freq);
  enter(86400 + 300, k_freq);  // the next day, later in the day
  const dp::hd_node* n = dp::timing.head;
  std::vector<double> lines;
  std::vector<int> indexes;
  for (; n != nullptr; n = n->next) {
    lines.push_back(n->line);
    indexes.push_back(n->index);
    if (n->next != nullptr) {
      EXPECT_EQ(n->next->prev, n);
    }
  }
  EXPECT_EQ(lines, (std::vector<double>{100000.0, 200000.0, 300000.0}));
  EXPECT_EQ(indexes, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(dp::timing.tail->line, 300000.0);
  EXPECT_EQ(dp::timing.head->prev, nullptr);
}

TEST_F(TimingModel, IdenticalRecordAtTheSameLineChangesNothing) {
  enter(100, k_freq);
  testing::internal::CaptureStdout();
  dp::main_tim(dp::main_header.current, dp::main_header.base_frequ);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "lin_day=100000 ptr->line=100000 base_frequ=1000.000000 \n");
  EXPECT_EQ(dp::timing.head, dp::timing.tail);
}

TEST_F(TimingModel, HeaderNotLaterInTheDayIsANegativeTimeJump) {
  enter(86400 + 7200, k_freq);
  dp::main_hd& hd = dp::main_header.current;
  hd.len_prev = 74;
  hd.L0_1 = 300.5f;
  hd.gate1 = -3;
  hd.XSCALE0_1 = 0.125f;
  hd.HFR = 6.0f;
  const std::string report =
      "lin_day=3600000 ptr->line=7200000 base_frequ=1000.000000 \n"
      "error occurred!\nan error description was written to DROPPAIR.ERR"
      " indic    = -74 -74 \n"
      " len_prev = 0 74 \n"
      " L0_1     = 0.000000 300.500000 \n"
      " L0_2     = 0.000000 0.000000 \n"
      " main_time= 93600 -2147405296 \n"
      " gate1    = 0 -3 \n"
      " gate2    = 0 0 \n"
      " line_fr  = 1000.000000 1000.000000 \n"
      " XSCALE0_1= 0.000000 0.125000 \n"
      " XSCALE0_2= 0.000000 0.000000 \n"
      " HBL      = 0.000000 0.000000 \n"
      " HBR      = 0.000000 0.000000 \n"
      " HFR      = 0.000000 6.000000 \n"
      "\n\n neg. time jump ?!?!?! \n";
  // A later calendar day (main_time above 2^31, printed signed), but earlier in its day.
  const uint32_t later_day = 2147483648u + 3600 + (86400 - 2147483648u % 86400);
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        enter(later_day, k_freq);
      },
      testing::ExitedWithCode(1), dp_test::exact_re(report));
}

TEST_F(TimingModel, HeaderStartingAtTheTailLineIsANegativeTimeJump) {
  enter(500, k_freq);
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        enter(86400 + 500, k_freq);
      },
      testing::ExitedWithCode(1), "^lin_day=500000 ptr->line=500000 base_frequ=1000.000000 \n.*neg\\. time jump");
}

TEST_F(TimingModel, MinuteOfALine) {
  struct row {
    double y, f;
    bool ok;
    int32_t minute;
  };
  const double inf = std::numeric_limits<double>::infinity();
  for (const row r : {row{0.0, k_freq, true, 0}, row{59999.0, k_freq, true, 0}, row{60000.0, k_freq, true, 1},
                      row{-60001.0, k_freq, true, -1}, row{1441.9 * k_min, k_freq, true, 1441},
                      row{5.0, 0.0, false, 0}, row{std::nan(""), k_freq, false, 0}, row{inf, k_freq, false, 0},
                      row{1e300, k_freq, false, 0}, row{2147483647.5 * k_min, k_freq, true, 2147483647},
                      row{2147483648.0 * k_min, k_freq, false, 0}}) {
    int32_t m = -7;
    EXPECT_EQ(dp::minute_of(r.y, r.f, &m), r.ok) << r.y << " " << r.f;
    if (r.ok) {
      EXPECT_EQ(m, r.minute) << r.y;
    }
  }
}

TEST_F(TimingModel, EachMinuteKeepsThePositionOfItsFirstFrame) {
  dp::book_minute(1, frame_of({3 * k_min + 10, 3 * k_min + 11}).get(), 1000, k_freq);
  dp::book_minute(1, frame_of({3 * k_min + 500}).get(), 2000, k_freq);
  dp::book_minute(1, frame_of({5 * k_min + 1}).get(), 3000, k_freq);
  EXPECT_EQ(dp::timing.posa_bf[3], 1000);
  EXPECT_EQ(dp::timing.posa_bf[4], 0);
  EXPECT_EQ(dp::timing.posa_bf[5], 3000);
  EXPECT_EQ(dp::timing.minut_a, 5);
  EXPECT_EQ(dp::timing.old_a, 5 * k_min + 1);
  // Camera B keeps its own tables.
  EXPECT_EQ(dp::timing.minut_b, -1);
  dp::book_minute(2, frame_of({0.5}).get(), 77, k_freq);
  EXPECT_EQ(dp::timing.posb_bf[0], 77);
  EXPECT_EQ(dp::timing.posa_bf[0], 0);
  EXPECT_EQ(dp::timing.minut_b, 0);
  // Any other kind does nothing.
  dp::book_minute(3, frame_of({9 * k_min}).get(), 5, k_freq);
  EXPECT_EQ(dp::timing.posa_bf[9] | dp::timing.posb_bf[9], 0);
}

TEST_F(TimingModel, MinutesBeyondTheTablesAreNotWritten) {
  const dp::timing_state before = dp::timing;
  dp::book_minute(1, frame_of({1442 * k_min + 5}).get(), 1234, k_freq);
  EXPECT_EQ(dp::timing.minut_a, 1442);
  for (int k = 0; k < dp::k_minutes; ++k) ASSERT_EQ(dp::timing.posa_bf[k], before.posa_bf[k]);
  // A minute of more than 16 bits is taken by its low 16 bits: 65536 + 1500 -> 1500, above 1442.
  dp::book_minute(1, frame_of({(65536 + 1500) * k_min}).get(), 1, k_freq);
  EXPECT_EQ(dp::timing.minut_a, 1500);
  // Without a usable frequency the minute is skipped, but the order check still runs.
  dp::book_minute(1, frame_of({1e12}).get(), 9, 0.0);
  EXPECT_EQ(dp::timing.minut_a, 1500);
  EXPECT_EQ(dp::timing.old_a, 1e12);
}

TEST_F(TimingModel, LineNumbersThatDoNotGrowEndTheRun) {
  const std::string announce = "error occurred!\nan error description was written to DROPPAIR.ERR";
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        dp::book_minute(1, frame_of({100, 101, 101}).get(), 0, k_freq);
      },
      testing::ExitedWithCode(1),
      dp_test::exact_re(announce + "old_a=101 line_buf[2].y_count=101 \nneg. time jump in A \n"));
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        dp::book_minute(1, frame_of({0.0}).get(), 0, k_freq);
      },
      testing::ExitedWithCode(1), dp_test::exact_re(announce + "old_a=0 line_buf[0].y_count=0 \nneg. time jump in A \n"));

  dp::book_minute(2, frame_of({500, 501}).get(), 0, k_freq);
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        dp::book_minute(2, frame_of({499.5, 502}).get(), 0, k_freq);
      },
      testing::ExitedWithCode(1), dp_test::exact_re(announce + "y_count=499\nneg. time jump in B \n"));
}

}  // namespace
