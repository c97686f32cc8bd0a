// abgen: its encoder decodes back through decmpr in every format, its main headers read back
// through main_hr01, its silhouettes shadow what they should, its rain follows its relations, its
// geometry matches the evaluation's formulas, its side files read back through the program's own
// readers, and the tool itself writes deterministic files that the program accepts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "abgen/ab_writer.h"
#include "abgen/instrument.h"
#include "abgen/rain_model.h"
#include "abgen/raster.h"
#include "base/byte_order.h"
#include "control/settings.h"
#include "headers/main_header.h"
#include "lines/line_decoder.h"
#include "output/calibration.h"
#include "support/abgen_run.h"
#include "support/byte_builder.h"
#include "support/raw_fixture.h"
#include "support/temp_cwd.h"

namespace {

namespace ag = dp::abgen;
using dp_test::scratch_dir;

dp::line_rec make_line(double y, std::vector<std::pair<int, int>> pieces) {
  dp::line_rec l;
  l.y_count = y;
  l.n_pieces = static_cast<int16_t>(pieces.size());
  for (size_t j = 0; j < pieces.size(); ++j) {
    l.piece[j].x_beg = static_cast<int16_t>(pieces[j].first);
    l.piece[j].x_end = static_cast<int16_t>(pieces[j].second);
  }
  return l;
}

// Decodes payload with the program's decoder; the lines, or none when it refused.
std::vector<dp::line_rec> decode(const std::vector<uint8_t>& payload, int16_t format) {
  static dp::line_rec decoded[dp::k_line_buf_size];
  int16_t n = 0;
  if (dp::decmpr(payload.data(), static_cast<int32_t>(payload.size()), format, decoded, &n, -1) != 1) return {};
  return std::vector<dp::line_rec>(decoded, decoded + n);
}

void expect_same_lines(const std::vector<dp::line_rec>& got, const std::vector<dp::line_rec>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(got[i].y_count, want[i].y_count) << "line " << i;
    ASSERT_EQ(got[i].n_pieces, want[i].n_pieces) << "line " << i;
    for (int j = 0; j < want[i].n_pieces; ++j) {
      ASSERT_EQ(got[i].piece[j].x_beg, want[i].piece[j].x_beg) << "line " << i << " piece " << j;
      ASSERT_EQ(got[i].piece[j].x_end, want[i].piece[j].x_end) << "line " << i << " piece " << j;
    }
  }
}

// Lines as camera records hold them: runs of consecutive line numbers with jumps between them,
// 1..6 pieces anywhere on a 1024-pixel line, many lines equal to an earlier one.
std::vector<dp::line_rec> random_lines(ag::rng& r, int n) {
  std::vector<dp::line_rec> ls;
  double y = 1000.0 + ag::rng_int(r, 0, 1000);
  for (int i = 0; i < n; ++i) {
    y += ag::rng_chance(r, 0.1) ? ag::rng_int(r, 2, 5000) : 1;
    if (!ls.empty() && ag::rng_chance(r, 0.5)) {
      dp::line_rec l = ls[static_cast<size_t>(ag::rng_int(r, std::max(0, i - 30), i - 1))];
      l.y_count = y;
      ls.push_back(l);
      continue;
    }
    std::vector<std::pair<int, int>> pieces;
    int x = ag::rng_int(r, 0, 900);
    const int np = ag::rng_int(r, 1, 6);
    for (int j = 0; j < np && x < 1020; ++j) {
      const int len = ag::rng_int(r, 1, std::min(60, 1023 - x));
      pieces.push_back({x, x + len});
      x += len + ag::rng_int(r, 0, 30);
    }
    ls.push_back(make_line(y, pieces));
  }
  return ls;
}

TEST(AbgenEncoder, RoundTripsThroughTheDecoderInEveryFormat) {
  ag::encode_style style{0.05, 0.7, 0.5, 0.5};
  for (int16_t format = 1; format <= 3; ++format) {
    ag::rng r;
    ag::rng_seed(r, 40 + static_cast<uint64_t>(format));
    ag::encode_stats stats;
    for (int rec = 0; rec < 60; ++rec) {
      const auto ls = random_lines(r, ag::rng_int(r, 1, rec % 10 == 0 ? 2000 : 200));
      std::vector<uint8_t> payload;
      ASSERT_TRUE(ag::encode_payload(ls.data(), static_cast<int>(ls.size()), format, style, r, payload, &stats));
      expect_same_lines(decode(payload, format), ls);
    }
    std::set<int> widths;
    for (int w = 0; w < 16; ++w)
      if (stats.width_used[w] > 0) widths.insert(w);
    EXPECT_GT(stats.repetitions, 100);
    EXPECT_GT(stats.split_blocks, 10);
    EXPECT_GT(stats.multi_block, 40);
    EXPECT_GE(widths.size(), 8u);
  }
}

TEST(AbgenEncoder, PlainStyleWritesTheSmallestCoding) {
  // Line 5 with one piece [100, 104), line 6 the same: an explicit line and a repetition.
  const std::vector<dp::line_rec> ls = {make_line(5, {{100, 104}}), make_line(6, {{100, 104}})};
  ag::rng r;
  ag::encode_stats stats;
  std::vector<uint8_t> payload;
  ASSERT_TRUE(ag::encode_payload(ls.data(), 2, 3, ag::encode_style{0, 0, 0, 0}, r, payload, &stats));
  dp_test::bit_builder codes;
  codes.code(0, 2, 0).code(4, 4, 1)  // light 0: piece at the x offset; dark 4, last piece
      .code(1, 2, 1)                 // repetition once
      .code(0, 2, 1);                // end of block
  const dp_test::bytes stream = codes.words();
  dp_test::byte_builder want;
  want.le16(2).le32(14u | (100u << 14) | (4u << 24) | (2u << 28)).f64(5.0).raw(stream);
  EXPECT_EQ(payload, want.out);
  EXPECT_EQ(stats.repetitions, 1);

  // Forty equal lines at column 0 leave the light code 2 bits wide: one line per repetition code.
  std::vector<dp::line_rec> same;
  for (int i = 0; i < 40; ++i) same.push_back(make_line(10 + i, {{0, 3}}));
  payload.clear();
  stats = {};
  ASSERT_TRUE(ag::encode_payload(same.data(), 40, 3, ag::encode_style{0, 0, 0, 0}, r, payload, &stats));
  EXPECT_EQ(stats.repetitions, 39);
  expect_same_lines(decode(payload, 3), same);
}

TEST(AbgenEncoder, RefusesWhatOneRecordCannotHold) {
  dp::line_rec seven = make_line(10, {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {8, 9}, {10, 11}});
  seven.n_pieces = 7;
  const struct {
    const char* what;
    std::vector<dp::line_rec> lines;
    int16_t format;
  } cases[] = {
      {"no line", {}, 3},
      {"2001 lines", std::vector<dp::line_rec>(2001, make_line(10, {{1, 2}})), 3},
      {"seven pieces", {seven}, 3},
      {"empty piece", {make_line(10, {{5, 5}})}, 3},
      {"overlapping pieces", {make_line(10, {{5, 9}, {8, 12}})}, 3},
      {"line 0 in 32 bits", {make_line(0, {{5, 9}})}, 2},
      {"line beyond 32 bits", {make_line(4294967296.0, {{5, 9}})}, 1},
  };
  for (const auto& c : cases) {
    ag::rng r;
    ag::encode_stats stats;
    std::vector<uint8_t> out = {7, 7};
    EXPECT_FALSE(ag::encode_payload(c.lines.data(), static_cast<int>(c.lines.size()), c.format,
                                    ag::encode_style{}, r, out, &stats))
        << c.what;
    EXPECT_EQ(out, (std::vector<uint8_t>{7, 7})) << c.what;
    EXPECT_EQ(stats.records, 0) << c.what;
  }
}

TEST(AbgenHeader, PayloadsAreTheDocumentedBytesInEveryFormat) {
  for (int16_t format = 1; format <= 3; ++format) {
    ag::instrument in;
    in.format = format;
    ASSERT_TRUE(ag::set_frequency(in, 34000.0));
    if (format == 1) in.HBR = in.HFR = in.HBL;
    dp_test::header_values h;
    h.data_format = format;
    h.oeu_nr = in.oeu_nr;
    h.base_frequ = in.freq;
    h.divisor = in.divisor;
    h.x_center = in.x_center;
    h.gate1 = in.gate1;
    h.gate2 = in.gate2;
    h.HBL = in.HBL, h.HBR = in.HBR, h.HFR = in.HFR;
    h.XSCALE0_1 = in.XSCALE0_1, h.XSCALE0_2 = in.XSCALE0_2, h.L0_1 = in.L0_1, h.L0_2 = in.L0_2;
    h.ratio_den = in.ratio_den, h.ratio_num = in.ratio_num;
    h.valid_since = 1115130600u;
    std::vector<uint8_t> p;
    ag::header_payload(in, h.valid_since, p);
    EXPECT_EQ(p, dp_test::header_payload(format, h)) << "format " << format;

    dp::hd_par par;
    ASSERT_EQ(dp::main_hr01(p.data(), static_cast<int32_t>(p.size()), format, &par), 1);
    EXPECT_EQ(par.base_frequ, in.freq);  // format 1: 1193180 / 35 = 34090
    EXPECT_EQ(par.valid_since, 1115130600u);
  }
  ag::instrument f1;
  f1.format = 1;
  ASSERT_TRUE(ag::set_frequency(f1, 34000.0));
  EXPECT_EQ(f1.divisor, 35);
  EXPECT_EQ(f1.freq, 34090.0);
  EXPECT_FALSE(ag::set_frequency(f1, 10.0));  // divisor 119318 does not fit
}

TEST(AbgenRaster, TidyLineMergesClipsAndSqueezesToSixPieces) {
  const struct {
    std::vector<std::pair<int, int>> runs;
    std::vector<std::pair<int, int>> pieces;
    bool squeezed;
  } cases[] = {
      {{{30, 40}, {10, 20}}, {{10, 20}, {30, 40}}, false},            // sorted
      {{{10, 20}, {15, 25}, {25, 30}}, {{10, 30}}, false},           // overlapping and touching
      {{{-5, 3}, {630, 650}}, {{0, 3}, {630, 640}}, false},          // clipped to the line
      {{{700, 720}}, {}, false},                                      // nothing on the line
      {{{0, 1}, {2, 3}, {4, 5}, {6, 7}, {8, 9}, {10, 11}, {12, 13}, {14, 15}},
       {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {8, 9}, {10, 15}}, true},    // the sixth takes the rest
  };
  for (const auto& c : cases) {
    std::vector<int16_t> b, e;
    for (const auto& [x0, x1] : c.runs) b.push_back(static_cast<int16_t>(x0)), e.push_back(static_cast<int16_t>(x1));
    dp::line_rec l;
    bool squeezed = false;
    const bool any = ag::tidy_line(b.data(), e.data(), static_cast<int>(b.size()), 640, &l, &squeezed);
    ASSERT_EQ(any, !c.pieces.empty());
    EXPECT_EQ(squeezed, c.squeezed);
    ASSERT_EQ(l.n_pieces, static_cast<int16_t>(c.pieces.size()));
    for (size_t j = 0; j < c.pieces.size(); ++j) {
      EXPECT_EQ(l.piece[j].x_beg, c.pieces[j].first);
      EXPECT_EQ(l.piece[j].x_end, c.pieces[j].second);
    }
  }
}

TEST(AbgenRaster, SilhouetteShadowsAsManyPixelsAsItIsWideOnEveryLineItCrosses) {
  ag::cam_lines c;
  ag::cam_lines_init(c, 640, 100);
  bool fits = true;
  // Enters at line position 100.3 and takes 10 lines: lines 101..110 sample it.
  const ag::raster_result r = ag::add_silhouette(c, {100.3, 10.0, 300.0, 6.0}, &fits);
  ASSERT_TRUE(fits);
  std::vector<dp::line_rec> out;
  ag::take_lines(c, 1000, out);
  ASSERT_EQ(out.size(), static_cast<size_t>(r.n_lines));
  EXPECT_EQ(r.first, static_cast<int64_t>(out.front().y_count));
  EXPECT_GE(r.first, 101);
  EXPECT_LE(out.back().y_count, 110.0);
  EXPECT_FALSE(r.clipped);
  int widest = 0;
  for (size_t k = 0; k < out.size(); ++k) {
    ASSERT_EQ(out[k].n_pieces, 1);
    if (k > 0) {
      EXPECT_EQ(out[k].y_count, out[k - 1].y_count + 1.0);
    }
    const int w = out[k].piece[0].x_end - out[k].piece[0].x_beg;
    widest = std::max(widest, w);
    EXPECT_LE(std::abs(out[k].piece[0].x_beg + out[k].piece[0].x_end - 600), 1);  // centred on 300
  }
  EXPECT_GE(widest, 11);
  EXPECT_LE(widest, 12);

  // Two shadows on the same lines merge; one reaching past the line's start is clipped.
  ag::cam_lines_init(c, 640, 2000);
  ag::add_silhouette(c, {2000.5, 4.0, 50.0, 10.0}, &fits);
  ag::add_silhouette(c, {2000.5, 4.0, 60.0, 10.0}, &fits);
  const ag::raster_result edge = ag::add_silhouette(c, {2000.5, 4.0, 3.0, 10.0}, &fits);
  EXPECT_TRUE(edge.clipped);
  out.clear();
  ag::take_lines(c, 3000, out);
  ASSERT_EQ(out.size(), 4u);
  // Line 2002 samples 3/8 of the passage: half widths 9.68 pixels, runs [40, 60) and [50, 70)
  // merged, [-7, 13) cut at the line's start.
  EXPECT_EQ(out[1].y_count, 2002.0);
  ASSERT_EQ(out[1].n_pieces, 2);
  EXPECT_EQ(out[1].piece[0].x_beg, 0);
  EXPECT_EQ(out[1].piece[0].x_end, 13);
  EXPECT_EQ(out[1].piece[1].x_beg, 40);
  EXPECT_EQ(out[1].piece[1].x_end, 70);

  // Lines already handed out, or beyond the ring, cannot take shadow any more.
  ag::add_silhouette(c, {2500.0, 4.0, 50.0, 3.0}, &fits);
  EXPECT_FALSE(fits);
  fits = true;
  ag::add_silhouette(c, {3000.0 + ag::k_ring_lines, 4.0, 50.0, 3.0}, &fits);
  EXPECT_FALSE(fits);
}

// The threshold moves a slice's edges: at 0.3 a pixel covered by 0.68 is shadowed, at 0.7 not; a
// slice of 0.2 pixels around a pixel's centre shadows it up to 0.5 (see raster.h), not at 0.7.
TEST(AbgenRaster, ThresholdDecidesHowMuchOfAPixelAShadowMustCover) {
  const struct {
    double threshold;
    int wide_beg, wide_end;
    bool narrow;
  } cases[] = {{0.3, 40, 60, true}, {0.5, 40, 60, true}, {0.7, 41, 59, false}};
  for (const auto& c : cases) {
    ag::cam_lines cl;
    ag::cam_lines_init(cl, 640, 2000, c.threshold);
    bool fits = true;
    // Line 2002 samples 3/8 of the passage: [40.32, 59.68] (as in the test above).
    ag::add_silhouette(cl, {2000.5, 4.0, 50.0, 10.0}, &fits);
    // Line 2102 alone samples this one, in its middle: [100.4, 100.6].
    ag::add_silhouette(cl, {2101.5, 1.0, 100.5, 0.1}, &fits);
    ASSERT_TRUE(fits);
    std::vector<dp::line_rec> out;
    ag::take_lines(cl, 3000, out);
    const auto line_at = [&](double y) {
      return std::find_if(out.begin(), out.end(), [&](const dp::line_rec& l) { return l.y_count == y; });
    };
    const auto wide = line_at(2002.0), narrow = line_at(2102.0);
    ASSERT_NE(wide, out.end()) << c.threshold;
    EXPECT_EQ(wide->piece[0].x_beg, c.wide_beg) << c.threshold;
    EXPECT_EQ(wide->piece[0].x_end, c.wide_end) << c.threshold;
    ASSERT_EQ(narrow != out.end(), c.narrow) << c.threshold;
    if (c.narrow) {
      EXPECT_EQ(narrow->piece[0].x_beg, 100);
      EXPECT_EQ(narrow->piece[0].x_end, 101);
    }
  }
}

TEST(AbgenRain, SpeedShapeAndSizeFollowTheirRelations) {
  EXPECT_NEAR(ag::fall_speed(1.0), 9.65 - 10.3 * std::exp(-0.6), 1e-12);
  EXPECT_NEAR(ag::fall_speed(5.0), 9.1372, 1e-4);
  EXPECT_EQ(ag::fall_speed(0.0), 0.05);  // the relation turns negative below 0.035 mm
  const ag::shape_law bc = ag::shape_law::beard_chuang, flat = ag::shape_law::flat;
  EXPECT_EQ(ag::axis_ratio(0.2, bc), 1.0);  // the polynomial exceeds 1 for small drops
  EXPECT_NEAR(ag::axis_ratio(2.0, bc), 0.9276, 1e-4);
  EXPECT_NEAR(ag::axis_ratio(5.0, bc), 0.7061, 1e-4);
  EXPECT_EQ(ag::axis_ratio(5.0, ag::shape_law::sphere), 1.0);
  EXPECT_EQ(ag::axis_ratio(0.2, flat), 1.0);                  // 1.0176 taken down to 1
  EXPECT_NEAR(ag::axis_ratio(5.0, flat), 0.72, 1e-12);        // 1.03 - 0.31
  EXPECT_EQ(ag::axis_ratio(9.0, flat), 0.5);                  // 0.472 taken up to 0.5

  ag::rain_params p;
  p.rate_mm_h = 10.0;
  p.dsd = ag::dsd_kind::gamma;
  ag::rain_source s;
  ag::rain_init(s, p, 50, 50, 1000.0, 3);
  EXPECT_NEAR(ag::rain_rate_of(s), 10.0, 1e-6);  // gamma: N0 chosen for the rate
  p.dsd = ag::dsd_kind::marshall_palmer;
  ag::rain_init(s, p, 50, 50, 1000.0, 3);
  EXPECT_NEAR(ag::rain_rate_of(s), 10.0, 2.5);   // Marshall-Palmer: N0 = 8000 as published
}

TEST(AbgenRain, ParticlesArriveInOrderAtTheirRateInsideTheArea) {
  ag::rain_params p;
  p.rate_mm_h = 20.0;
  p.splash = 0.5;
  ag::rain_source s;
  ag::rain_init(s, p, 48, 40, 500.0, 9);
  double last = 500.0;
  int drops = 0, fragments = 0;
  double big = 0;
  while (drops < 20000) {
    const ag::particle q = ag::rain_next(s);
    ASSERT_GE(q.t, last);
    last = q.t;
    if (q.splash) {
      ++fragments;
      EXPECT_GE(q.speed, 0.5);
      EXPECT_LT(q.speed, 2.5);
      continue;
    }
    ++drops;
    ASSERT_GE(q.diam, p.d_min);
    ASSERT_LE(q.diam, p.d_max);
    ASSERT_LE(std::abs(q.u), 48.0);
    ASSERT_LE(std::abs(q.v), 40.0);
    EXPECT_NEAR(q.speed / ag::fall_speed(q.diam), 1.0, 0.061);
    if (q.diam >= 1.0) ++big;
  }
  EXPECT_NEAR(drops / (last - 500.0), s.drops_per_s, 0.03 * s.drops_per_s);
  EXPECT_NEAR(fragments / (big * 0.5), 2.5, 0.15);  // 1..4 fragments per splash
}

TEST(AbgenInstrument, GeometryAgreesWithTheEvaluationFormulas) {
  const ag::instrument in;
  EXPECT_EQ(ag::column_a(in, 0, 0), in.x_center);
  EXPECT_EQ(ag::column_b(in, 0, 0), in.x_center);
  // The evaluation's pixel sizes, from the other camera's offset, against the true ones.
  for (double u = -48; u <= 48; u += 8)
    for (double v = -48; v <= 48; v += 8) {
      const double off_a = ag::column_a(in, u, v) - in.x_center;
      const double off_b = ag::column_b(in, u, v) - in.x_center;
      const double scale_a = (in.L0_1 - in.XSCALE0_2 * off_b) * in.XSCALE0_1 / in.L0_1;
      const double scale_b = (in.XSCALE0_1 * off_a + in.L0_2) * in.XSCALE0_2 / in.L0_2;
      EXPECT_NEAR(scale_a * ag::pixels_per_mm_a(in, v), 1.0, 0.01) << u << " " << v;
      EXPECT_NEAR(scale_b * ag::pixels_per_mm_b(in, u), 1.0, 0.01) << u << " " << v;
    }
  const double n = 2 * in.x_center - 1;
  EXPECT_FLOAT_EQ(ag::plane_distance(in, 0, 0), in.HBL);
  EXPECT_FLOAT_EQ(ag::plane_distance(in, n, 0), in.HBR);
  EXPECT_FLOAT_EQ(ag::plane_distance(in, n, n), in.HFR);
  EXPECT_FLOAT_EQ(ag::plane_distance(in, 0, n), in.HBL + in.HFR - in.HBR);
}

// Raindrops fill the area both cameras see at one density up to its edges (the far corners
// included) and fall nowhere else; with a rim, some fall where one camera alone sees them.
TEST(AbgenTool, RaindropsFillTheAreaBothCamerasSeeUpToItsEdges) {
  const ag::instrument in;
  const double n = 2.0 * in.x_center;
  const auto columns = [&](const std::map<std::string, std::string>& r) {
    const double u = std::stod(r.at("u_mm")), v = std::stod(r.at("v_mm"));
    return std::pair{ag::column_a(in, u, v), ag::column_b(in, u, v)};
  };
  // Share of the area both cameras see whose centre column lies in the outer tenth of a line.
  const auto outer = [&](double a, double b) { return std::min({a, n - a, b, n - b}) < 0.05 * n; };
  int area = 0, band = 0;
  for (double u = -60; u < 60; u += 0.25)
    for (double v = -60; v < 60; v += 0.25) {
      const double a = ag::column_a(in, u, v), b = ag::column_b(in, u, v);
      if (a < 0 || a > n || b < 0 || b > n) continue;
      ++area;
      band += outer(a, b);
    }
  const double expected = static_cast<double>(band) / area;
  for (const char* rim : {"0", "5"}) {
    dp_test::scratch_dir dir;
    ASSERT_EQ(dp_test::run_tool(ABGEN_BIN, {"--dir", ".", "--rain", "100", "--duration", "40", "--rim", rim,
                                            "--quiet"}, dir).status, 0);
    int drops = 0, in_band = 0, outside = 0;
    for (const auto& r : dp_test::read_csv(dp_test::read_text(dir.file("V05123_1.csv")))) {
      if (r.at("splash") != "0") continue;
      const auto [a, b] = columns(r);
      if (a < 0 || a > n || b < 0 || b > n) {
        ++outside;
        continue;
      }
      ++drops;
      in_band += outer(a, b);
    }
    ASSERT_GT(drops, 3000);
    const double share = static_cast<double>(in_band) / drops;
    EXPECT_NEAR(share, expected, 3 * std::sqrt(expected * (1 - expected) / drops)) << "rim " << rim;
    if (rim[0] == '0') EXPECT_EQ(outside, 0);
    else EXPECT_GT(outside, drops / 20);
  }
}

TEST(AbgenInstrument, SideFilesReadBackThroughTheProgramsReaders) {
  dp_test::temp_cwd cwd;
  ag::instrument in;
  in.delta_hgt = 7;
  in.wa_wb = 0.65f;
  in.calib = ag::typical_calib();
  dp_test::write_text("DROPPAIR.SET", ag::settings_text(in));
  dp_test::write_text("corrfact.dat", ag::corrfact_text(in.calib));
  dp::reset_settings();
  dp::get_settings();
  EXPECT_EQ(dp::set_par.DELTA_HGT, 7);
  EXPECT_FLOAT_EQ(dp::set_par.WA_WB, 0.65f);
  EXPECT_EQ(dp::set_par.HYD_PATH, "");
  EXPECT_EQ(dp::set_par.RANK_PB, 2);

  dp::reset_calibration();
  dp::tables();
  const ag::calib_rows& c = in.calib;
  for (int i = 0; i < ag::k_calib_points; ++i) {
    EXPECT_EQ(dp::calib.diam[i], c.diam[i]);
    EXPECT_EQ(dp::calib.dev_wb[i], c.dev_wb[i]);
  }
  // A width of s mm is seen as s (1 + dev / 100); the table's factor there takes it back.
  for (double s = 0.35; s < 6.5; s += 0.25) {
    const double seen = s * (1.0 + ag::deviation(c.diam, c.dev_wa, s) * 0.01);
    const int k = static_cast<int>(std::lround(seen * 10.0));
    EXPECT_NEAR(seen * dp::calib.corr_wa[k], s, 0.012 + 0.005 * s) << s;
  }
  EXPECT_EQ(ag::height_factor(ag::neutral_calib(), 1.0), 1.0);

  // Scaled deviations, rounded to the file's 0.01 %, the number kept; times 0 the file of zeros.
  const ag::calib_rows third = ag::scaled_calib(c, 0.333);
  EXPECT_EQ(third.number, 17);
  EXPECT_EQ(third.dev_wa[0], 2.66f);  // 8 x 0.333 = 2.664
  EXPECT_EQ(third.dev_wb[9], -0.33f);
  ag::calib_rows none = ag::scaled_calib(c, 0.0);
  EXPECT_EQ(none.number, 17);
  none.number = ag::neutral_calib().number;
  EXPECT_EQ(ag::corrfact_text(none), ag::corrfact_text(ag::neutral_calib()));  // no -0.00

  // The file of cameras that shadow at 0.4 of a pixel: widths 0.2 pixels wider at each reference
  // diameter, heights as drawn; at 0.5 the drawn table itself.
  EXPECT_EQ(ag::corrfact_text(ag::measured_calib(in)), ag::corrfact_text(c));
  in.threshold = 0.4;
  const ag::calib_rows seen = ag::measured_calib(in);
  EXPECT_EQ(seen.dev_wa[0], 18.0f);   // 8 + 100 x 0.2 x 0.150 / 0.3
  EXPECT_EQ(seen.dev_wb[0], 17.33f);  // 7 + 100 x 0.2 x 0.155 / 0.3
  EXPECT_EQ(seen.dev_wa[9], -0.57f);  // -1 + 0.43 at 7 mm
  EXPECT_EQ(seen.dev_ha[0], c.dev_ha[0]);

  EXPECT_NEAR(ag::height_factor(c, 0.3), 2.0 / (1 / 1.05 + 1 / 1.04), 1e-6);
  EXPECT_NEAR(ag::deviation(c.diam, c.dev_ha, 0.2), 5.5, 1e-5);  // first segment extended
  EXPECT_EQ(ag::deviation(c.diam, c.dev_wa, 9.0), -1.0);         // last value kept
}

#ifdef ABGEN_BIN

TEST(AbgenTool, HelpAndBadOptions) {
  scratch_dir dir;
  const dp_test::tool_result help = dp_test::run_tool(ABGEN_BIN, {"--help"}, dir);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: abgen --dir DIR [options]\n", 0), 0u);
  EXPECT_EQ(help.err, "");
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--bogus"}, "abgen: unknown option --bogus (see abgen --help)\n"},
      {{"--format", "4"}, "abgen: bad value for --format: '4' (1, 2 or 3) (see abgen --help)\n"},
      {{"--rain", "lots"}, "abgen: bad value for --rain: 'lots' (0.01 to 500) (see abgen --help)\n"},
      {{"--duration"}, "abgen: option --duration needs a value (see abgen --help)\n"},
      {{"--dmin", "3", "--dmax", "2"}, "abgen: --dmin must be below --dmax (see abgen --help)\n"},
      {{"--duration", "0"}, "abgen: --duration 0 needs --drops or --size (see abgen --help)\n"},
      {{"--planes", "6,6"}, "abgen: bad value for --planes: '6,6' (HBL,HBR,HFR in mm) (see abgen --help)\n"},
      {{"--start", "2005-13-01T00:00:00"},
       "abgen: bad value for --start: '2005-13-01T00:00:00' (YYYY-MM-DDThh:mm:ss) (see abgen --help)\n"},
      // No output place: nothing is written into the working directory by default.
      {{}, "abgen: no output place given: --dir DIR or --out FILE (see abgen --help)\n"},
      {{"--pixels", "0.15"}, "abgen: bad value for --pixels: '0.15' (A,B in mm) (see abgen --help)\n"},
      {{"--pixels", "0.15,1.5"}, "abgen: bad value for --pixels: '1.5' (0.02 to 1) (see abgen --help)\n"},
      {{"--delta-hgt", "3.5"}, "abgen: bad value for --delta-hgt: '3.5' (an integer) (see abgen --help)\n"},
      {{"--threshold", "1"}, "abgen: bad value for --threshold: '1' (0.05 to 0.95) (see abgen --help)\n"},
      {{"--shape", "round"}, "abgen: bad value for --shape: 'round' (bc, sphere or flat) (see abgen --help)\n"},
      {{"--rain", "20", "--settings", "S.SET"},
       "abgen: no output place given: --dir DIR or --out FILE (see abgen --help)\n"},
  };
  for (const auto& c : cases) {
    const dp_test::tool_result r = dp_test::run_tool(ABGEN_BIN, c.args, dir);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("V05123_1.ab")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("S.SET")));
  const dp_test::tool_result r = dp_test::run_tool(ABGEN_BIN, {"--out", "/nonexistent/x.ab"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("abgen: cannot write /nonexistent/x.ab: ", 0), 0u);
}

// Only whole option names, each value as the next argument (a negative number too): no
// abbreviation, no "--name=value", no other argument, "--" no end of the options; the first fault
// on the line is the one told.
TEST(AbgenTool, OptionsAreReadWholeAndInTheirOrder) {
  scratch_dir dir;
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--dro", "5"}, "unknown option --dro"},
      {{"--drops=5"}, "unknown option --drops=5"},
      {{"--help=x"}, "unknown option --help=x"},
      {{"-hx"}, "unknown option -hx"},
      {{"--quiet", "x.ab"}, "unknown option x.ab"},
      {{"--", "--quiet"}, "unknown option --"},
      {{"--format", "4", "--bogus"}, "bad value for --format: '4' (1, 2 or 3)"},
      {{"--mu", "-3"}, "bad value for --mu: '-3' (-2 to 20)"},
  };
  for (const auto& c : cases) {
    const dp_test::tool_result r = dp_test::run_tool(ABGEN_BIN, c.args, dir);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_EQ(r.err, std::string("abgen: ") + c.message + " (see abgen --help)\n");
  }
  EXPECT_EQ(dp_test::run_tool(ABGEN_BIN, {"-h"}, dir).out.rfind("usage: abgen", 0), 0u);
}

TEST(AbgenTool, SameSeedGivesTheSameFilesAnotherSeedOthers) {
  scratch_dir dir;
  const std::vector<std::string> common = {"--duration", "5", "--rain", "30", "--splash", "0.2", "--quiet"};
  std::string files[3][2];
  for (int k = 0; k < 3; ++k) {
    std::vector<std::string> args = common;
    args.insert(args.end(), {"--seed", k < 2 ? "12" : "13", "--out", "run" + std::to_string(k) + ".ab"});
    ASSERT_EQ(dp_test::run_tool(ABGEN_BIN, args, dir).status, 0);
    files[k][0] = dp_test::read_text(dir.file("run" + std::to_string(k) + ".ab"));
    files[k][1] = dp_test::read_text(dir.file("run" + std::to_string(k) + ".csv"));
  }
  EXPECT_GT(files[0][0].size(), 5000u);
  EXPECT_EQ(files[0][0], files[1][0]);
  EXPECT_EQ(files[0][1], files[1][1]);
  EXPECT_NE(files[0][0], files[2][0]);
  EXPECT_NE(files[0][1], files[2][1]);
}

// With no new option, or with each at its default value, the tool makes the shipped examples
// byte for byte (the command of examples/README.md).
TEST(AbgenTool, DefaultsStillMakeTheShippedExamples) {
  const std::vector<std::string> example = {"--duration", "180", "--rain", "6", "--splash", "0.05",
                                            "--header-every", "60", "--seed", "5123", "--quiet"};
  for (const bool spelled_out : {false, true}) {
    scratch_dir dir;
    std::vector<std::string> args = example;
    args.insert(args.end(), {"--dir", "ex"});
    if (spelled_out)
      args.insert(args.end(), {"--pixels", "0.150,0.155", "--threshold", "0.5", "--calib-scale", "1",
                               "--wa-wb", "0.6", "--delta-hgt", "10", "--shape", "bc"});
    ASSERT_EQ(dp_test::run_tool(ABGEN_BIN, args, dir).status, 0);
    for (const char* name : {"V05123_1.ab", "V05123_1.csv", "DROPPAIR.SET", "corrfact.dat"})
      EXPECT_TRUE(dp_test::read_text(dir.file(std::string("ex/") + name)) ==
                  dp_test::read_text(std::string(DROPPAIR_SOURCE_DIR) + "/examples/" + name))
          << name << (spelled_out ? " (defaults spelled out)" : "");
  }
}

// Each option of the instrument and the shared assumptions reaches its place: the settings file,
// the main header, the calibration file, the drops' shapes.
TEST(AbgenTool, InstrumentOptionsReachTheirFiles) {
  scratch_dir dir;
  ASSERT_EQ(dp_test::run_tool(ABGEN_BIN, {"--dir", ".", "--duration", "3", "--rain", "20", "--pixels", "0.2,0.21",
                                          "--wa-wb", "0.45", "--delta-hgt", "14", "--calib-scale", "0.5", "--shape",
                                          "sphere", "--threshold", "0.3", "--quiet"}, dir).status, 0);
  const std::string set = dp_test::read_text(dir.file("DROPPAIR.SET"));
  const auto setting = [&](const std::string& key) {
    const size_t at = set.find("\n" + key + " ");
    return at == std::string::npos ? std::string() : set.substr(at + 61, set.find('\n', at + 1) - at - 61);
  };
  EXPECT_EQ(setting("WA_WB"), "0.45");
  EXPECT_EQ(setting("DELTA_HGT"), "14");

  const std::string raw = dp_test::read_text(dir.file("V05123_1.ab"));
  const auto recs = dp_test::raw_records(raw);
  ASSERT_FALSE(recs.empty());
  dp::hd_par par;
  ASSERT_EQ(dp::main_hr01(reinterpret_cast<const uint8_t*>(raw.data()) + recs[0].offset, recs[0].length, 3, &par), 1);
  EXPECT_EQ(par.XSCALE0_1, 0.2f);
  EXPECT_EQ(par.XSCALE0_2, 0.21f);

  const std::string calib = dp_test::read_text(dir.file("corrfact.dat"));
  EXPECT_NE(calib.find("calibration no.      17\n"), std::string::npos) << calib;
  // Half the typical widths, plus the 0.4 pixels of 0.2 mm that the threshold 0.3 adds.
  EXPECT_NE(calib.find("\nheight A:    2.50   2.00   1.50   1.25   1.00   0.75   0.50   0.25   0.00   0.00\n"),
            std::string::npos) << calib;
  EXPECT_NE(calib.find("\nwidth A :   30.67  19.00  12.92   9.75   6.58   5.00   3.17   2.25   1.45   0.64\n"),
            std::string::npos) << calib;

  const auto truth = dp_test::read_csv(dp_test::read_text(dir.file("V05123_1.csv")));
  ASSERT_GT(truth.size(), 50u);
  for (const auto& row : truth) EXPECT_EQ(row.at("axis_ratio"), "1.0000") << row.at("id");
}

TEST(AbgenTool, StopsAtTheDropCountOrTheSize) {
  scratch_dir dir;
  const dp_test::tool_result drops =
      dp_test::run_tool(ABGEN_BIN, {"--drops", "50", "--out", "d.ab", "--no-truth"}, dir);
  ASSERT_EQ(drops.status, 0);
  EXPECT_NE(drops.out.find("\ndrops 50, splash fragments 0,"), std::string::npos) << drops.out;
  EXPECT_FALSE(std::filesystem::exists(dir.file("d.csv")));
  ASSERT_EQ(dp_test::run_tool(ABGEN_BIN, {"--size", "0.2", "--rain", "50", "--out", "s.ab", "--quiet"}, dir).status, 0);
  const size_t size = dp_test::read_text(dir.file("s.ab")).size();
  EXPECT_GE(size, 200000u);
  EXPECT_LT(size, 240000u);
}

// Every line-data record decodes; per camera the line numbers rise from record to record; the
// coding varies (block widths, several blocks per record, repetitions); every ground-truth drop
// has its first line among the decoded lines of its camera.
TEST(AbgenTool, EveryRecordDecodesAndTheCodingVaries) {
  for (const int format : {1, 3}) {
    scratch_dir dir;
    const dp_test::tool_result run = dp_test::run_tool(
        ABGEN_BIN, {"--dir", ".", "--format", std::to_string(format), "--duration", "12", "--rain", "40",
                    "--splash", "0.2", "--header-every", "5", "--seed", "5"}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("main headers 3,"), std::string::npos) << run.out;
    const std::string raw = dp_test::read_text(dir.file("V05123_1.ab"));
    const auto recs = dp_test::raw_records(raw);
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs.front().type, 3);
    EXPECT_EQ(recs.front().length, format == 1 ? 38 : 56);
    std::set<double> seen[2];
    double last[2] = {0, 0};
    std::set<int> light, dark;
    int multi = 0, headers = 0;
    size_t bytes_seen = 0;
    for (const auto& r : recs) {
      bytes_seen = r.offset + static_cast<size_t>(r.length);
      if (r.type == 3) {
        ++headers;
        continue;
      }
      ASSERT_TRUE(r.type == 1 || r.type == 2);
      const std::vector<uint8_t> payload(raw.begin() + static_cast<std::ptrdiff_t>(r.offset),
                                         raw.begin() + static_cast<std::ptrdiff_t>(r.offset) + r.length);
      const auto ls = decode(payload, static_cast<int16_t>(format));
      ASSERT_EQ(static_cast<int>(ls.size()), dp::load_les16(payload.data())) << "record at " << r.offset;
      for (const auto& l : ls) {
        ASSERT_GT(l.y_count, last[r.type - 1]);
        last[r.type - 1] = l.y_count;
        seen[r.type - 1].insert(l.y_count);
      }
      int blocks = 0;
      for (size_t p = 2; p < payload.size(); ++blocks) {
        const uint32_t h = dp::load_le32(payload.data() + p);
        light.insert(static_cast<int>(h >> 28));
        dark.insert(static_cast<int>((h >> 24) & 15u));
        p += h & 0x3fffu;
      }
      if (blocks > 1) ++multi;
    }
    EXPECT_EQ(bytes_seen, raw.size());
    EXPECT_EQ(headers, 3);
    EXPECT_GE(light.size(), 5u);
    EXPECT_GE(dark.size(), 5u);
    EXPECT_GT(multi, 10);
    const size_t reps = run.out.find("repetition codes ");
    ASSERT_NE(reps, std::string::npos);
    EXPECT_GT(std::atoi(run.out.c_str() + reps + 17), 100);
    const auto truth = dp_test::read_csv(dp_test::read_text(dir.file("V05123_1.csv")));
    ASSERT_GT(truth.size(), 300u);
    for (const auto& row : truth) {
      const double a = std::stod(row.at("line_a")), b = std::stod(row.at("line_b"));
      EXPECT_TRUE(a == 0 || seen[0].count(a) == 1) << row.at("id");
      EXPECT_TRUE(b == 0 || seen[1].count(b) == 1) << row.at("id");
      EXPECT_TRUE(row.at("expected") == "0" || b > a) << row.at("id");
    }
  }
}

// Lines are as wide as the main header implies: 2 x_center = 640 pixels in format 3, 512 in formats
// 1 and 2, whose headers carry no x_center (the evaluation takes 256). Drops land a little beyond
// the lines' ends, so runs reach the last pixel, never past it.
TEST(AbgenTool, LinesAreAsWideAsTheHeaderImpliesInEveryFormat) {
  for (const int format : {1, 2, 3}) {
    scratch_dir dir;
    ASSERT_EQ(dp_test::run_tool(ABGEN_BIN, {"--out", "V05123_1.ab", "--format", std::to_string(format), "--duration",
                                            "4", "--rain", "60", "--seed", "3", "--no-truth", "--quiet"}, dir).status, 0);
    const std::string raw = dp_test::read_text(dir.file("V05123_1.ab"));
    int widest = 0, narrowest = 1 << 20;
    for (const auto& r : dp_test::raw_records(raw)) {
      if (r.type != 1 && r.type != 2) continue;
      const std::vector<uint8_t> payload(raw.begin() + static_cast<std::ptrdiff_t>(r.offset),
                                         raw.begin() + static_cast<std::ptrdiff_t>(r.offset) + r.length);
      for (const auto& l : decode(payload, static_cast<int16_t>(format))) {
        for (int j = 0; j < l.n_pieces; ++j) {
          widest = std::max<int>(widest, l.piece[j].x_end);
          narrowest = std::min<int>(narrowest, l.piece[j].x_beg);
        }
      }
    }
    EXPECT_EQ(widest, format == 3 ? 640 : 512) << "format " << format;
    EXPECT_EQ(narrowest, 0) << "format " << format;
  }
}

// The program takes a file of each format with the settings and calibration written beside it:
// exit status 0, the end line on the console, nothing in the error log, a particle record for
// nearly every expected drop.
TEST(AbgenTool, DroppairAcceptsAllThreeFormats) {
  for (const int format : {1, 2, 3}) {
    scratch_dir dir;
    ASSERT_EQ(dp_test::run_tool(ABGEN_BIN, {"--dir", ".", "--format", std::to_string(format), "--duration", "10",
                                            "--rain", "8", "--header-every", "4", "--planes", "5.5,5.9,5.7",
                                            "--seed", "21", "--quiet"}, dir).status, 0);
    const dp_test::run_result run = dp_test::run_droppair(dir, {"V05123_1.ab"});
    EXPECT_EQ(run.status, 0) << "format " << format;
    EXPECT_NE(run.console.find("*********** end of ab-file ***********"), std::string::npos);
    EXPECT_EQ(run.log_tail(), "") << "format " << format;
    const std::string sno = dp_test::read_text(dir.file("V05123_1.sno"));
    int particles = 0, headers = 0;
    for (size_t p = 0; p + 4 <= sno.size();) {
      const int16_t indic = dp::load_les16(reinterpret_cast<const uint8_t*>(sno.data() + p));
      if (indic == -74) ++headers;
      else ++particles;
      p += static_cast<size_t>(std::abs(indic));
      if (indic == 0) break;
    }
    int expected = 0;
    for (const auto& row : dp_test::read_csv(dp_test::read_text(dir.file("V05123_1.csv"))))
      expected += row.at("expected") == "1";
    EXPECT_EQ(headers, 3);
    EXPECT_GT(particles, expected * 9 / 10) << "format " << format;
    EXPECT_LT(particles, expected * 11 / 10) << "format " << format;
  }
}

#endif  // ABGEN_BIN

}  // namespace
