#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "output/calibration.h"
#include "output/particle_eval.h"
#include "support/pair_fixture.h"

namespace {

using dp_test::box;
using dp_test::box_lines;
using dp_test::header_list;
using dp_test::line_at;
using dp_test::simple_header;
using dp_test::test_particle;


dp::eval_result evaluate(const test_particle& a, const test_particle& b, bool* accepted = nullptr) {
  dp::eval_result r;
  const bool ok = dp::eval_dr(&a.rec, &b.rec, dp_test::run_inputs(), &r);
  if (accepted != nullptr) *accepted = ok;
  return r;
}

class ParticleEval : public testing::Test {
 protected:
  void SetUp() override {
    dp::reset_timing();
    dp_test::calibration_ones();
  }
};

TEST_F(ParticleEval, HeaderLookupTakesEarlierHeaderOnItsSuccessorsStartLine) {
  dp::main_hd first = simple_header(), second = simple_header();
  second.XSCALE0_1 = 0.25f;  // a centred particle has scale_a = XSCALE0_1
  header_list list{{1000.0, first}, {2000.0, second}};
  struct { double t; float scale_a; } cases[] = {{1000.0, 0.125f}, {2000.0, 0.125f}, {2000.5, 0.25f}, {9e9, 0.25f}};
  for (const auto& c : cases) {
    const test_particle a = box(c.t, 4, 316, 324), b = box(c.t + 10, 4, 316, 324);
    EXPECT_EQ(evaluate(a, b).scale_a, c.scale_a) << c.t;
  }
}

TEST_F(ParticleEval, HeaderLookupAmongFourHeadersTakesTheFirstRangeHoldingTheLine) {
  dp::main_hd hds[4] = {simple_header(), simple_header(), simple_header(), simple_header()};
  const float scales[4] = {0.125f, 0.25f, 0.5f, 0.0625f};
  for (int k = 0; k < 4; ++k) hds[k].XSCALE0_1 = scales[k];  // a centred particle has scale_a = XSCALE0_1
  header_list list{{1000.0, hds[0]}, {2000.0, hds[1]}, {3000.0, hds[2]}, {4000.0, hds[3]}};
  struct { double t; int header; } cases[] = {{1000.0, 0}, {1500.0, 0}, {2000.0, 0}, {2000.5, 1}, {3000.0, 1},
                                              {3999.0, 2}, {4000.0, 2}, {4000.5, 3}, {9e9, 3}};
  for (const auto& c : cases) {
    const test_particle a = box(c.t, 4, 316, 324), b = box(c.t + 10, 4, 316, 324);
    EXPECT_EQ(evaluate(a, b).scale_a, scales[c.header]) << c.t;
  }
}

TEST_F(ParticleEval, ParticleBeforeEveryHeaderEndsTheRun) {
  header_list list{{1000.0, simple_header()}, {2000.0, simple_header()}};
  const test_particle a = box(999, 4, 316, 324), b = box(1009, 4, 316, 324);
  EXPECT_EXIT(evaluate(a, b), testing::ExitedWithCode(1), "^eval_dr 04: no corresponding main header \\? \n$");
}

TEST_F(ParticleEval, SingleHeaderStartingLaterEndsTheRunWithBothLines) {
  header_list list{{1000.0, simple_header()}};
  const test_particle a = box(500.75, 4, 316, 324), b = box(510, 4, 316, 324);
  EXPECT_EXIT(evaluate(a, b), testing::ExitedWithCode(1),
              "^t1=500, ptr->line=1000 \neval_dr 02: no corresponding main header \\? \n$");
}

TEST_F(ParticleEval, EmptyHeaderListEndsTheRun) {
  header_list list{};
  const test_particle a = box(500, 4, 316, 324), b = box(510, 4, 316, 324);
  EXPECT_EXIT(evaluate(a, b), testing::ExitedWithCode(1), "^eval_dr 01: no main header in file \\?!\\? \n$");
}

TEST_F(ParticleEval, DelaySumOfOneLineOrLessCountsAsOne) {
  header_list list{{0.0, simple_header()}};  // planes 8 mm apart
  struct { double b_start; int b_lines; float scale_h; } cases[] = {
      {1000, 4, 16.0f},                           // same lines: d = 0
      {998, 4, 16.0f},                            // B before A: d = -4
      {1000, 5, 16.0f},                           // d = 1
      {1000.75, 4, static_cast<float>(16 / 1.5)},  // d = 1.5
      {1005, 4, 1.6f},                            // d = 10
  };
  for (const auto& c : cases) {
    const test_particle a = box(1000, 4, 316, 324), b = box(c.b_start, c.b_lines, 316, 324);
    EXPECT_EQ(evaluate(a, b).scale_h, c.scale_h) << c.b_start;
  }
}

TEST_F(ParticleEval, PlaneDistanceIsInterpolatedBetweenTheCorners) {
  dp::main_hd h = simple_header();
  h.HBL = 6.0f;
  h.HBR = 8.0f;
  h.HFR = 10.0f;  // so the fourth corner HFL = 8
  header_list list{{0.0, h}};
  // Centre 0 from pieces [-4, 4), centre n_pix = 639 from [635, 643). One-line particles one
  // line apart: d = 2, so scale_h is the plane distance itself.
  struct { int a_beg, b_beg; float dist; } cases[] = {
      {-4, -4, 6.0f}, {635, -4, 8.0f}, {635, 635, 10.0f}, {-4, 635, 8.0f}};
  for (const auto& c : cases) {
    const test_particle a = box(1000, 1, c.a_beg, c.a_beg + 8), b = box(1001, 1, c.b_beg, c.b_beg + 8);
    EXPECT_EQ(evaluate(a, b).scale_h, c.dist) << c.a_beg << " " << c.b_beg;
  }
}

TEST_F(ParticleEval, EqualHeightsGiveTheSameDistanceEverywhere) {
  dp::main_hd h = simple_header();
  h.HBL = h.HBR = h.HFR = 6.5f;
  header_list list{{0.0, h}};
  const test_particle a = box(1000, 3, 0, 10), b = box(1010, 3, 600, 630);  // d = 20
  EXPECT_EQ(evaluate(a, b).scale_h, static_cast<float>(6.5 * 2.0 / 20.0));
}

TEST_F(ParticleEval, OffsetsFromTheCentreChangeTheOtherCamerasScale) {
  header_list list{{0.0, simple_header()}};
  // A 32 columns right of the centre, B 64 columns left of it.
  const test_particle a = box(1000, 2, 348, 356), b = box(1010, 2, 252, 260);
  const dp::eval_result r = evaluate(a, b);
  EXPECT_EQ(r.scale_a, static_cast<float>((256.0 - 0.125 * -64) * 0.125 / 256.0));
  EXPECT_EQ(r.scale_b, static_cast<float>((0.125 * 32 + 256.0) * 0.125 / 256.0));
}

TEST_F(ParticleEval, FragmentedImagesAreRejected) {
  header_list list{{0.0, simple_header()}};
  // Lines of (pieces, extent); a 6-piece line is six runs spread over its extent.
  auto particle = [](double y, const std::vector<std::pair<int, int>>& shape) {
    std::vector<dp::line_rec> ls;
    for (size_t k = 0; k < shape.size(); ++k) {
      const auto [n, ext] = shape[k];
      const double yk = y + static_cast<double>(k);
      if (n == 1) ls.push_back(line_at(yk, {{300, 300 + ext}}));
      else if (n == 5) ls.push_back(line_at(yk, {{300, 301}, {303, 304}, {306, 307}, {309, 310}, {311, 300 + ext}}));
      else ls.push_back(line_at(yk, {{300, 301}, {303, 304}, {306, 307}, {309, 310}, {311, 312}, {313, 300 + ext}}));
    }
    return test_particle(y, ls);
  };
  struct { std::vector<std::pair<int, int>> a, b; bool accepted; } cases[] = {
      {{{1, 10}, {1, 12}, {6, 30}, {1, 30}}, {{1, 12}}, false},   // jump to 30 > 1.5 x 12
      {{{1, 10}, {1, 12}, {6, 15}, {1, 15}}, {{1, 12}}, true},    // 15 <= 18
      {{{1, 10}, {1, 12}, {6, 18}, {1, 18}}, {{1, 12}}, true},    // exactly 1.5 x 12
      {{{1, 10}, {1, 12}, {5, 19}, {1, 19}}, {{1, 12}}, false},   // five pieces count already
      {{{6, 20}, {1, 20}}, {{1, 12}}, false},                     // no reference width yet
      {{{1, 12}}, {{1, 10}, {1, 12}, {6, 30}, {1, 30}}, false},   // camera B checked the same way
      {{{1, 12}, {6, 30}, {6, 30}}, {{1, 12}}, true},             // no single-piece line after it
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const test_particle a = particle(1000, cases[i].a), b = particle(1010, cases[i].b);
    bool ok = !cases[i].accepted;
    evaluate(a, b, &ok);
    EXPECT_EQ(ok, cases[i].accepted) << "case " << i;
  }
}

TEST_F(ParticleEval, UnequalLineCountsScaleThePairedSlicesToTheMeanCount) {
  header_list list{{0.0, simple_header()}};
  // Widths 8 px x 0.125 = 1 mm; d = 18 + 14 = 32, scale_h = 0.5; six slices of pi/8 mm^3,
  // times 16/12: V = pi, so eq_diam = cbrt(6).
  const test_particle a = box(1000, 10, 316, 324), b = box(1018, 6, 316, 324);
  const dp::eval_result r = evaluate(a, b);
  EXPECT_EQ(r.scale_h, 0.5f);
  EXPECT_NEAR(r.eq_diam, std::cbrt(6.0), 2e-6);
}

TEST_F(ParticleEval, OneLinePairUsesTheCorrectedScales) {
  header_list list{{0.0, simple_header()}};
  // Indices from the uncorrected scales: height 2 x 8 x 5 = 80, widths 8 x 0.125 x 10 = 10.
  dp::calib.corr_ha[80] = 1.5f;
  dp::calib.corr_hb[80] = 1.5f;
  dp::calib.corr_wa[10] = 1.5f;
  dp::calib.corr_wb[10] = 0.5f;
  const test_particle a = box(1000, 1, 316, 324), b = box(1001, 1, 316, 324);
  const dp::eval_result r = evaluate(a, b);
  EXPECT_EQ(r.scale_h, 12.0f);
  EXPECT_EQ(r.scale_a, 0.1875f);
  EXPECT_EQ(r.scale_b, 0.0625f);
  // V = (8 x 0.1875) (8 x 0.0625) pi / 4 x 12 = 2.25 pi, eq_diam = cbrt(13.5).
  EXPECT_NEAR(r.eq_diam, std::cbrt(13.5), 2e-6);
}

TEST_F(ParticleEval, HeightIndexIsTruncatedAndLimitedToTheTable) {
  dp::calib.corr_ha[511] = dp::calib.corr_hb[511] = 2.0f;
  dp::calib.corr_ha[0] = dp::calib.corr_hb[0] = 2.0f;
  // Planes h apart and d = 2 give scale_h = h; with 64 + 64 lines the index is 128 x h x 5.
  struct { float h; float scale_h; } cases[] = {
      {0.79984375f, 2.0f * 0.79984375f},  // 511.9: truncated to 511
      {0.8f, 0.8f},                       // f32(0.8) x 640 = 512.000008: beyond the table
      {-0.001f, 2.0f * -0.001f},          // -0.64: truncated to 0
      {-0.0016f, -0.0016f},               // -1.024: below the table
  };
  for (const auto& c : cases) {
    dp::main_hd h = simple_header();
    h.HBL = h.HBR = h.HFR = c.h;
    header_list list{{0.0, h}};
    const test_particle a = box(1000, 64, 316, 324), b = box(1001, 64, 316, 324);
    EXPECT_EQ(evaluate(a, b).scale_h, c.scale_h) << c.h;
  }
}

TEST_F(ParticleEval, WidthIndexRoundsHalfUpAndStaysInTheTable) {
  header_list list{{0.0, simple_header()}};
  for (int k = 0; k < dp::k_corr_size; ++k) dp::calib.corr_wa[k] = static_cast<float>(k + 1);
  // The measured width in 0.1 mm is extent x 0.125 x 10 = 1.25 x extent.
  struct { int extent; float factor; } cases[] = {
      {1, 2.0f},      // 1.25 -> 1
      {2, 4.0f},      // 2.5 -> 3
      {3, 5.0f},      // 3.75 -> 4
      {409, 512.0f},  // 511.25 -> 511
      {410, 1.0f},    // 512.5 -> 513: no correction
      {0, 1.0f},      // 0 -> 0
  };
  for (const auto& c : cases) {
    const int beg = 320 - c.extent / 2;  // keeps the centre at 320 (offset 0)
    const test_particle a = box(1000, 1, beg, beg + c.extent), b = box(1001, 1, 316, 324);
    EXPECT_EQ(evaluate(a, b).scale_a, 0.125f * c.factor) << c.extent;
  }
}

TEST_F(ParticleEval, UndefinedOrNegativeScalesApplyNoCorrection) {
  for (int k = 0; k < dp::k_corr_size; ++k)
    dp::calib.corr_ha[k] = dp::calib.corr_hb[k] = dp::calib.corr_wa[k] = dp::calib.corr_wb[k] = 2.0f;
  dp::main_hd h = simple_header();
  h.HBL = h.HBR = h.HFR = -8.0f;
  h.L0_1 = 0.0f;
  header_list list{{0.0, h}};
  const test_particle a = box(1000, 1, 316, 324), b = box(1001, 1, 316, 324);
  bool ok = false;
  const dp::eval_result r = evaluate(a, b, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(r.scale_h, -8.0f);
  EXPECT_TRUE(std::isnan(r.scale_a));
  EXPECT_EQ(r.scale_b, 0.25f);  // corrected: 0.125 x 2
  EXPECT_TRUE(std::isnan(r.eq_diam));
}

}  // namespace
