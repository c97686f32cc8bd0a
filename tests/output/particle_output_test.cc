#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "output/particle_eval.h"
#include "output/particle_output.h"
#include "output/particle_writer.h"
#include "support/pair_fixture.h"

namespace {

using dp_test::box;
using dp_test::box_lines;
using dp_test::header_list;
using dp_test::line_at;
using dp_test::simple_header;
using dp_test::test_particle;


struct built {
  int ok = 0;
  uint8_t head[dp::k_sno_head] = {};
  std::vector<uint8_t> stage = std::vector<uint8_t>(dp::k_img_stage, 0xEE);
  int16_t field(int off) const { return dp::load_les16(head + off); }
};

built build(const test_particle& a, const test_particle& b) {
  built r;
  r.ok = dp::pix_out(&a.rec, &b.rec, dp_test::run_inputs(), dp::writer.oldlen, r.stage.data(), r.head);
  return r;
}

// The image the compressor makes of p's lines.
std::vector<uint8_t> image_of(const test_particle& p) {
  int16_t len = 0;
  const uint8_t* buf = nullptr;
  if (dp::cmpr_frm(p.rec.line_no, p.rec.lines, &len, &buf) == 0) return {};
  return std::vector<uint8_t>(buf, buf + len);
}

class ParticleOutput : public testing::Test {
 protected:
  void SetUp() override {
    dp::reset_timing();
    dp::reset_particle_writer();
    dp_test::calibration_ones();
    headers.reset(new header_list{{0.0, simple_header()}});
  }
  std::unique_ptr<header_list> headers;
};

TEST_F(ParticleOutput, HeadCarriesThePairsValues) {
  dp::writer.oldlen = 74;
  // Widths 1 mm, d = 3 + 2 = 5 so scale_h = 3.2; V = 9 slices x 0.8 pi x 19/18 = 7.6 pi.
  const test_particle a = box(100.0, 10, 316, 324), b = box(103.0, 9, 316, 324);
  const built r = build(a, b);
  ASSERT_EQ(r.ok, 1);
  const std::vector<uint8_t> img_a = image_of(a), img_b = image_of(b);
  ASSERT_FALSE(img_a.empty());
  EXPECT_EQ(r.field(0), 34 + static_cast<int>(img_a.size() + img_b.size()));
  EXPECT_EQ(r.field(2), 74);
  EXPECT_EQ(dp::load_f64(r.head + 4), 100.0);
  EXPECT_EQ(r.field(12), static_cast<int16_t>(std::cbrt(45.6) * 100));  // 357
  EXPECT_EQ(r.field(14), 10);
  EXPECT_EQ(r.field(16), -1);
  EXPECT_EQ(r.field(18), 5);
  EXPECT_EQ(r.field(20), 316);
  EXPECT_EQ(r.field(22), 316);
  EXPECT_EQ(r.field(24), 32000);
  EXPECT_EQ(r.field(26), 1250);
  EXPECT_EQ(r.field(28), 1250);
  // The staged tail: img_len_A, img_A, img_len_B, img_B, nothing behind it.
  dp_test::byte_builder tail;
  tail.le16(static_cast<int>(img_a.size())).raw(img_a).le16(static_cast<int>(img_b.size())).raw(img_b);
  const size_t n = tail.size();
  EXPECT_EQ(std::vector<uint8_t>(r.stage.begin(), r.stage.begin() + static_cast<long>(n)), tail.out);
  EXPECT_EQ(r.stage[n], 0xEE);
}

TEST_F(ParticleOutput, LineCountDifferenceIsKeptToEightBits) {
  struct { int la, lb; int16_t diff; } cases[] = {{300, 310, 10}, {100, 300, -56}, {300, 100, 56}, {5, 5, 0}};
  for (const auto& c : cases) {
    const test_particle a = box(1000, c.la, 316, 324), b = box(1010, c.lb, 316, 324);
    const built r = build(a, b);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.field(16), c.diff) << c.la << " " << c.lb;
  }
}

TEST_F(ParticleOutput, RecordOf16382BytesIsDroppedWithItsMessage) {
  // Images of 8000 + 8348 bytes make 16382; 8000 + 8346 make 16380. The compressor writes whole
  // 16-bit words, so an image length is always even.
  const test_particle a(1000, dp_test::lines_for_image(8000, 1000));
  const test_particle too_long(1010, dp_test::lines_for_image(8348, 1010));
  const test_particle fits(1010, dp_test::lines_for_image(8346, 1010));
  ASSERT_EQ(dp_test::image_length(a.lines), 8000);
  ASSERT_EQ(dp_test::image_length(too_long.lines), 8348);
  ASSERT_EQ(dp_test::image_length(fits.lines), 8346);

  testing::internal::CaptureStderr();
  const built dropped = build(a, too_long);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "particle lost due to length overflow \n");
  EXPECT_EQ(dropped.ok, 0);

  testing::internal::CaptureStderr();
  const built kept = build(a, fits);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(kept.ok, 1);
  EXPECT_EQ(kept.field(0), 16380);
  EXPECT_EQ(dp::load_les16(kept.stage.data() + 2 + 8000), 8346);
}

TEST_F(ParticleOutput, ImageTheCompressorCannotCodeDropsThePair) {
  const test_particle good = box(1000, 2, 316, 324);
  const test_particle bad(1010, {line_at(1010, {{2000, 2004}}), line_at(1011, {{2000, 2004}})});
  ASSERT_EQ(dp_test::image_length(bad.lines), -1);  // the premise: columns beyond 1023
  struct { const test_particle* a; const test_particle* b; const char* start; } cases[] = {
      {&good, &bad, "cmpr_frm: image of camera B"},
      {&bad, &good, "cmpr_frm: image of camera A"},
      {&bad, &bad, "cmpr_frm: image of camera A"},  // A is coded first; B is not tried
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    const built r = build(*c.a, *c.b);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(log.rfind(c.start, 0), 0u) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_EQ(log.back(), '\n');
  }
}

TEST_F(ParticleOutput, RejectedPairIsDroppedSilently) {
  const test_particle a(1000, {line_at(1000, {{300, 301}, {302, 303}, {304, 305}, {306, 307}, {308, 310}}),
                               line_at(1001, {{300, 330}})});
  const test_particle b = box(1010, 2, 316, 324);
  testing::internal::CaptureStderr();
  EXPECT_EQ(build(a, b).ok, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(ParticleOutput, TinyDiameterIsReportedAndStillWritten) {
  dp::main_hd h = simple_header();
  h.XSCALE0_1 = h.XSCALE0_2 = 1e-5f;
  header_list tiny{{0.0, h}};
  const test_particle a = box(1000, 1, 316, 324), b = box(1001, 1, 316, 324);
  dp::eval_result ev;
  ASSERT_TRUE(dp::eval_dr(&a.rec, &b.rec, dp_test::run_inputs(), &ev));
  ASSERT_LT(ev.eq_diam, 0.01f);
  char expected[200];
  std::snprintf(expected, sizeof expected,
                "\neq_diam problem:\neq_diam= %f  line_no_A= 1  line_no_B= 1\ndiff_lins= 2\n",
                static_cast<double>(ev.eq_diam));
  testing::internal::CaptureStderr();
  const built r = build(a, b);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
  EXPECT_EQ(r.ok, 1);
  EXPECT_EQ(r.field(12), 0);
}

TEST_F(ParticleOutput, LineDifferenceSumsTheTruncatedDelaysThatFitInt32) {
  // trunc(delay) when it lies in int32, else 0; the sum of both delays, low 16 bits.
  const auto part = [](double v) -> int64_t {
    const double t = std::trunc(v);
    return t >= -2147483648.0 && t <= 2147483647.0 ? static_cast<int64_t>(t) : 0;
  };
  const double deltas[] = {2147483646.5, 2147483647.0, 2147483647.75, 2147483648.0,
                           -2147483647.5, -2147483648.5, -2147483648.75, -2147483649.0, -2147483650.0};
  for (const double delta : deltas) {
    const test_particle a = box(3e9, 4, 316, 324), b = box(3e9 + delta, 6, 316, 324);
    testing::internal::CaptureStderr();  // the tiny diameter's report
    const built r = build(a, b);
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(r.ok, 1) << delta;
    const int64_t sum = part(b.rec.y_start - a.rec.y_start) + part(b.rec.y_end - a.rec.y_end);
    EXPECT_EQ(r.field(18), static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(sum)))) << delta;
  }
}

TEST(ParticleOutputFields, SixteenBitFieldTakesLowBitsOfTheTruncatedValue) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct { double v; int16_t field; } cases[] = {
      {1.239f * 100.0, 123},
      {0.14999f * 10000.0, 1499},
      {0.005f * 100.0, 0},
      {32767.9, 32767},
      {32768.0, -32768},  // 3.2768 mm per pixel x 10000 does not fit: low 16 bits
      {65537.5, 1},
      {-1.9, -1},
      {-65537.0, -1},
      {9.0e18, static_cast<int16_t>(static_cast<uint16_t>(9000000000000000000ull))},
      {9.3e18, 0},  // beyond int64
      {-9.3e18, 0},
      {nan, 0},
      {inf, 0},
      {-inf, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(dp::field16(c.v), c.field) << c.v;
}

}  // namespace
