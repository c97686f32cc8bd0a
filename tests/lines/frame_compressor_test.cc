#include "lines/frame_compressor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "lines/line_decoder.h"
#include "lines/line_records.h"
#include "support/byte_builder.h"

namespace {

using dp_test::bit_builder;
using dp_test::byte_builder;
using dp_test::bytes;
using pieces = std::vector<std::pair<int, int>>;

class FrameCompressor : public testing::Test {
 protected:
  void SetUp() override { dp::reset_line_store(); }
};

dp::line_rec make_line(double y, const pieces& ps, int16_t label = 0) {
  dp::line_rec ln;
  ln.y_count = y;
  ln.n_pieces = static_cast<int16_t>(ps.size());
  for (size_t k = 0; k < ps.size() && k < 6; ++k)
    ln.piece[k] = {static_cast<int16_t>(ps[k].first), static_cast<int16_t>(ps[k].second), label};
  return ln;
}

struct frame {
  int16_t rc = -1;
  bytes out;
  std::string log;
};

frame compress(const std::vector<dp::line_rec>& ls) {
  frame f;
  int16_t len = -1;
  const uint8_t* buf = nullptr;
  testing::internal::CaptureStderr();
  f.rc = dp::cmpr_frm(static_cast<int16_t>(ls.size()), ls.data(), &len, &buf);
  f.log = testing::internal::GetCapturedStderr();
  if (f.rc == 1) f.out.assign(buf, buf + len);
  return f;
}

/// Reference encoder, written from the payload's description and independent of the production
/// writer: widths per block, runs of identical lines as repetition codes, and the block length
/// that a 32-bit accumulator flushing 16 bits whenever a code would not fit gives.
int ref_width(int largest) {
  int w = 2;
  while (w < 11 && largest >= (1 << (w - 1))) ++w;
  return w;
}

bool same(const dp::line_rec& a, const dp::line_rec& b) {
  if (a.n_pieces != b.n_pieces) return false;
  for (int k = 0; k < 6; ++k)
    if (a.piece[k].x_beg != b.piece[k].x_beg || a.piece[k].x_end != b.piece[k].x_end ||
        a.piece[k].label != b.piece[k].label)
      return false;
  return true;
}

bytes reference(const std::vector<dp::line_rec>& ls) {
  byte_builder out;
  out.le16(static_cast<int>(ls.size()));
  size_t i = 0;
  while (i < ls.size()) {
    size_t end = i + 1;
    while (end < ls.size() && ls[end].y_count == ls[i].y_count + static_cast<double>(end - i)) ++end;
    // Distinct lines and the identical lines that follow each.
    std::vector<std::pair<size_t, int>> distinct;
    for (size_t j = i; j < end; ++j) {
      if (!distinct.empty() && same(ls[j], ls[distinct.back().first])) ++distinct.back().second;
      else distinct.push_back({j, 0});
    }
    int x_min = 1 << 20, x_max = -1, light = 1, dark = 1;
    for (const auto& [j, reps] : distinct) {
      const dp::line_rec& ln = ls[j];
      x_min = std::min(x_min, static_cast<int>(ln.piece[0].x_beg));
      x_max = std::max(x_max, static_cast<int>(ln.piece[0].x_beg));
      light = std::max(light, reps);
      for (int k = 0; k < ln.n_pieces; ++k) {
        dark = std::max(dark, ln.piece[k].x_end - ln.piece[k].x_beg);
        if (k > 0) light = std::max(light, ln.piece[k].x_beg - ln.piece[k - 1].x_end);
      }
    }
    light = std::min(std::max(light, x_max - x_min), 1023);
    const int nl = ref_width(light), nd = ref_width(dark);
    bit_builder b;
    std::vector<int> widths;
    const auto code = [&](int v, int w, int f) {
      b.code(static_cast<uint32_t>(v), w, f);
      widths.push_back(w);
    };
    for (const auto& [j, reps] : distinct) {
      const dp::line_rec& ln = ls[j];
      int prev = x_min;
      for (int k = 0; k < ln.n_pieces; ++k) {
        code(ln.piece[k].x_beg - prev, nl, 0);
        code(ln.piece[k].x_end - ln.piece[k].x_beg, nd, k == ln.n_pieces - 1);
        prev = ln.piece[k].x_end;
      }
      int left = reps;
      for (; left > light; left -= light) code(light, nl, 1);
      if (left > 0) code(left, nl, 1);
    }
    code(0, nl, 1);
    int held = 0, flushed = 0;
    for (int w : widths) {
      if (held + w > 31) {
        held -= 16;
        ++flushed;
      }
      held += w;
    }
    const int code_bytes = 2 * flushed + 4;
    bytes stream = b.words();
    stream.resize(static_cast<size_t>(code_bytes), 0);
    out.le32(static_cast<uint32_t>(12 + code_bytes) | (static_cast<uint32_t>(x_min) << 14) |
             (static_cast<uint32_t>(nd) << 24) | (static_cast<uint32_t>(nl) << 28));
    out.f64(ls[i].y_count).raw(stream);
    i = end;
  }
  return out.out;
}

/// Decodes a frame as format 3 and checks it gives the lines back, with labels 0.
void expect_round_trip(const bytes& out, const std::vector<dp::line_rec>& ls) {
  static dp::line_rec decoded[dp::k_line_buf_size];
  int16_t n = -1;
  testing::internal::CaptureStderr();
  const int16_t rc = dp::decmpr(out.data(), static_cast<int32_t>(out.size()), 3, decoded, &n, -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(rc, 1);
  ASSERT_EQ(n, static_cast<int16_t>(ls.size()));
  for (size_t i = 0; i < ls.size(); ++i) {
    const dp::line_rec& got = decoded[i];
    ASSERT_EQ(got.y_count, ls[i].y_count) << "line " << i;
    ASSERT_EQ(got.n_pieces, ls[i].n_pieces) << "line " << i;
    for (int k = 0; k < 6; ++k) {
      const bool used = k < ls[i].n_pieces;
      ASSERT_EQ(got.piece[k].x_beg, used ? ls[i].piece[k].x_beg : 0) << "line " << i;
      ASSERT_EQ(got.piece[k].x_end, used ? ls[i].piece[k].x_end : 0) << "line " << i;
      ASSERT_EQ(got.piece[k].label, 0);
    }
  }
}

/// The writer's stream against a model of a 32-bit accumulator that writes its low 16 bits
/// whenever a code would fill it and ends with its 4 bytes: same bytes, same length, for streams
/// of every length up to a few hundred bits, ending on either half of a 32-bit store.
TEST(BitWriter, StreamMatchesSixteenBitFlushing) {
  std::mt19937 rng(5);
  for (int round = 0; round < 300; ++round) {
    uint8_t got[64] = {};
    dp::bit_writer w;
    dp::put_bits_reset(w, got, static_cast<int32_t>(sizeof got), 3);
    bytes want = {0, 0, 0};
    uint32_t acc = 0;
    int count = 0;
    for (int c = 0, n = round % 40; c < n; ++c) {
      const int width = 1 + static_cast<int>(rng() % 15);
      const uint32_t value = rng();
      const bool flag = rng() % 2 == 1;
      dp::put_bits(w, value, width, flag);
      const uint32_t code = (value & ((1u << (width - 1)) - 1u)) | (flag ? 1u << (width - 1) : 0u);
      if (count + width >= 32) {
        want.push_back(static_cast<uint8_t>(acc));
        want.push_back(static_cast<uint8_t>(acc >> 8));
        acc >>= 16;
        count -= 16;
      }
      acc |= code << count;
      count += width;
    }
    dp::put_bits_end(w);
    for (int b = 0; b < 4; ++b) want.push_back(static_cast<uint8_t>(acc >> (8 * b)));
    ASSERT_FALSE(w.overflow);
    ASSERT_EQ(w.pos, static_cast<int32_t>(want.size())) << "round " << round;
    ASSERT_EQ(bytes(got, got + w.pos), want) << "round " << round;
  }
  // A stream that would end one byte beyond the buffer is refused, and nothing lands beyond it.
  uint8_t small[8] = {};
  dp::bit_writer w;
  dp::put_bits_reset(w, small, 6, 0);
  for (int c = 0; c < 5; ++c) dp::put_bits(w, 0x7ff, 11, true);  // 55 bits: 2 words + 4 bytes
  dp::put_bits_end(w);
  EXPECT_TRUE(w.overflow);
  EXPECT_EQ(small[6], 0);
  EXPECT_EQ(small[7], 0);
}

TEST_F(FrameCompressor, SingleLineGivesTheEighteenByteExample) {
  const frame f = compress({make_line(5.0, {{100, 104}})});
  ASSERT_EQ(f.rc, 1);
  EXPECT_EQ(f.log, "");
  EXPECT_EQ(f.out, (bytes{0x01, 0x00, 0x10, 0x00, 0x19, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x14, 0x40, 0xB0, 0x00, 0x00, 0x00}));
}

TEST_F(FrameCompressor, ThreeIdenticalLinesGiveOneRepetitionOfTwo) {
  const std::vector<dp::line_rec> ls = {make_line(5, {{100, 104}}), make_line(6, {{100, 104}}),
                                        make_line(7, {{100, 104}})};
  const frame f = compress(ls);
  ASSERT_EQ(f.rc, 1);
  bit_builder c;  // light width 3 (largest light 2), dark width 4
  c.code(0, 3, 0).code(4, 4, 1).code(2, 3, 1).code(0, 3, 1);
  byte_builder want;
  want.le16(3).le32(16u | (100u << 14) | (4u << 24) | (3u << 28)).f64(5.0).raw(c.words(1));
  EXPECT_EQ(f.out, want.out);
  expect_round_trip(f.out, ls);
}

TEST_F(FrameCompressor, LongRunSplitsIntoRepetitionsOf1023And477) {
  std::vector<dp::line_rec> ls;
  for (int i = 0; i < 1501; ++i) ls.push_back(make_line(1000.0 + i, {{3, 7}}));
  const frame f = compress(ls);
  ASSERT_EQ(f.rc, 1);
  bit_builder c;  // 48 bits: two words flushed, then the 4 accumulator bytes
  c.code(0, 11, 0).code(4, 4, 1).code(1023, 11, 1).code(477, 11, 1).code(0, 11, 1);
  byte_builder want;
  want.le16(1501).le32(20u | (3u << 14) | (4u << 24) | (11u << 28)).f64(1000.0).raw(c.words(1));
  EXPECT_EQ(f.out, want.out);
  expect_round_trip(f.out, ls);
}

TEST_F(FrameCompressor, EveryBlockStartsWithAnExplicitLine) {
  // Equal lines across a jump, touching pieces (gap 0) and a repetition run ending a block.
  const std::vector<dp::line_rec> ls = {
      make_line(10, {{0, 5}, {5, 9}}), make_line(11, {{0, 5}, {5, 9}}), make_line(20, {{0, 5}, {5, 9}}),
      make_line(21, {{1, 2}}),         make_line(22, {{0, 5}, {5, 9}})};
  const frame f = compress(ls);
  ASSERT_EQ(f.rc, 1);
  EXPECT_EQ(f.out, reference(ls));
  EXPECT_EQ(f.out[2] | (f.out[3] << 8), 16);  // first block: one explicit line, one repetition
  expect_round_trip(f.out, ls);
}

TEST_F(FrameCompressor, LinesThatDifferOnlyInLabelsOrUnusedSlotsAreDistinct) {
  std::vector<dp::line_rec> ls = {make_line(1, {{4, 8}}, 3), make_line(2, {{4, 8}}, 4),
                                  make_line(3, {{4, 8}}, 4), make_line(4, {{4, 8}}, 4)};
  ls[3].piece[5].x_end = 9;  // stale slot beyond n_pieces
  const frame f = compress(ls);
  ASSERT_EQ(f.rc, 1);
  EXPECT_EQ(f.out, reference(ls));
  EXPECT_EQ(f.out[2] | (f.out[3] << 8), 16);
}

TEST_F(FrameCompressor, UncodableLinesGiveZeroAndLeaveTheLastImage) {
  const dp::line_rec one = make_line(5.0, {{100, 104}});
  int16_t good_len = 0;
  const uint8_t* good_buf = nullptr;
  ASSERT_EQ(dp::cmpr_frm(1, &one, &good_len, &good_buf), 1);
  const bytes good(good_buf, good_buf + good_len);
  struct bad_case {
    const char* what;
    std::vector<dp::line_rec> ls;
  };
  dp::line_rec seven = make_line(3, {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {8, 9}, {10, 11}});
  seven.n_pieces = 7;
  const std::vector<bad_case> cases = {
      {"piece 0 at 1024", {make_line(1, {{5, 6}}), make_line(2, {{1024, 1024}})}},
      {"gap 1024", {make_line(1, {{0, 0}, {1024, 1024}})}},
      {"length 1024", {make_line(1, {{0, 1024}})}},
      {"column beyond 1024", {make_line(1, {{1000, 1025}})}},
      {"overlap", {make_line(1, {{10, 20}, {15, 30}})}},
      {"negative length", {make_line(1, {{10, 5}})}},
      {"negative column", {make_line(1, {{-1, 5}})}},
      {"no pieces", {make_line(1, {{1, 2}}), make_line(2, {})}},
      {"seven pieces", {seven}},
      {"second block", {make_line(1, {{1, 2}}), make_line(9, {{0, 1024}})}},
  };
  for (const bad_case& c : cases) {
    int16_t len = -7;
    const uint8_t* buf = nullptr;
    testing::internal::CaptureStderr();
    const int16_t rc = dp::cmpr_frm(static_cast<int16_t>(c.ls.size()), c.ls.data(), &len, &buf);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.what;
    EXPECT_EQ(rc, 0) << c.what;
    EXPECT_EQ(len, -7) << c.what;
    EXPECT_EQ(buf, nullptr) << c.what;
  }
  // Nothing was written: the buffer still holds the image of the good call.
  EXPECT_EQ(bytes(good_buf, good_buf + good_len), good);
}

/// 1023 one-line blocks: five of 18 bytes (a gap of 600 widens the light code) and the rest of
/// 16, so the image is 16380 bytes, the longest an image of even length can be.
std::vector<dp::line_rec> limit_lines(int extra_blocks) {
  std::vector<dp::line_rec> ls;
  for (int k = 0; k < 1023 + extra_blocks; ++k) {
    const double y = 1.0 + 2.0 * k;
    ls.push_back(k < 5 ? make_line(y, {{0, 1}, {601, 602}}) : make_line(y, {{k % 900, k % 900 + 7}}));
  }
  return ls;
}

TEST_F(FrameCompressor, ImageAtTheLimitIsWritten) {
  const std::vector<dp::line_rec> ls = limit_lines(0);
  const frame f = compress(ls);
  ASSERT_EQ(f.rc, 1);
  EXPECT_EQ(f.out.size(), 16380u);
  EXPECT_EQ(f.out, reference(ls));
  expect_round_trip(f.out, ls);
}

TEST_F(FrameCompressor, ImageBeyondTheLimitEndsTheProgram) {
  const std::vector<dp::line_rec> ls = limit_lines(1);
  int16_t len = 0;
  const uint8_t* buf = nullptr;
  EXPECT_EXIT(dp::cmpr_frm(static_cast<int16_t>(ls.size()), ls.data(), &len, &buf),
              testing::ExitedWithCode(1), "^cmpr_frm exceede \n$");
}

/// A random particle: runs of identical lines, occasional jumps between runs, 1..6 pieces over
/// columns 0..1024; kept small enough (estimated) to stay below the image limit.
std::vector<dp::line_rec> random_particle(std::mt19937& rng, int max_lines, bool jumps) {
  std::vector<dp::line_rec> ls;
  const int n = 1 + static_cast<int>(rng() % static_cast<unsigned>(max_lines));
  double y = 1.0 + static_cast<double>(rng() % 3000000);
  const int16_t label = static_cast<int16_t>(rng() % 50);
  int est_bits = 0;
  while (static_cast<int>(ls.size()) < n) {
    const int np = 1 + static_cast<int>(rng() % 6);
    const int span = rng() % 4 == 0 ? 1025 : 1 + static_cast<int>(rng() % 120);
    const int base = static_cast<int>(rng() % static_cast<unsigned>(1026 - span));
    std::vector<int> cuts;
    for (int k = 0; k < 2 * np; ++k) cuts.push_back(base + static_cast<int>(rng() % static_cast<unsigned>(span)));
    std::sort(cuts.begin(), cuts.end());
    pieces ps;
    for (int k = 0; k < np; ++k) ps.push_back({cuts[2 * k], cuts[2 * k + 1]});
    if (ps[0].first > 1023) continue;
    bool ok = true;
    for (int k = 1; k < np; ++k) ok = ok && ps[k].first - ps[k - 1].second <= 1023;
    for (int k = 0; k < np; ++k) ok = ok && ps[k].second - ps[k].first <= 1023;
    if (!ok) continue;
    est_bits += 22 * np + 22;
    if (est_bits > 8 * 15000) break;
    const int run = rng() % 3 == 0 ? 1 + static_cast<int>(rng() % 1500) : 1;
    for (int r = 0; r < run && static_cast<int>(ls.size()) < n; ++r) {
      ls.push_back(make_line(y, ps, label));
      y += 1.0;
    }
    if (jumps && rng() % 8 == 0) {
      y += static_cast<double>(1 + rng() % 5000);
      est_bits += 8 * 18;
    }
  }
  return ls;
}

TEST_F(FrameCompressor, RandomParticlesRoundTripByteForByte) {
  std::mt19937 rng(77);
  for (int round = 0; round < 400; ++round) {
    const bool jumps = round % 2 == 1;
    const int max_lines = round % 5 == 0 ? 2000 : 200;
    const std::vector<dp::line_rec> ls = random_particle(rng, max_lines, jumps);
    const frame f = compress(ls);
    ASSERT_EQ(f.rc, 1) << "round " << round;
    ASSERT_EQ(f.log, "");
    ASSERT_EQ(f.out, reference(ls)) << "round " << round;
    expect_round_trip(f.out, ls);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
