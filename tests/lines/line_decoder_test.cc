#include "lines/line_decoder.h"

#include <gtest/gtest.h>

#include <cmath>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "lines/line_records.h"
#include "support/byte_builder.h"

namespace {

dp::line_rec g_lines[dp::k_line_buf_size];  // what the decoder wrote last

using dp_test::bit_builder;
using dp_test::byte_builder;
using dp_test::bytes;
using pieces = std::vector<std::pair<int, int>>;

struct decoded {
  int16_t rc = -1;
  int16_t n = -1;
  std::string log;
};

class LineDecoder : public testing::Test {
 protected:
  void SetUp() override { dp::reset_line_store(); }
};

/// Decodes p with the given format from a buffer of exactly p.size() bytes, capturing the log;
/// record_at is the record's offset as the caller knows it (-1: unknown).
decoded run(const bytes& p, int format = 3, int64_t record_at = -1) {
  decoded d;
  testing::internal::CaptureStderr();
  d.rc = dp::decmpr(p.data(), static_cast<int32_t>(p.size()), static_cast<int16_t>(format), g_lines, &d.n,
                    record_at);
  d.log = testing::internal::GetCapturedStderr();
  return d;
}

/// One block: header, line number of the format, the codes as words (plus extra zero words).
bytes block(int format, int x_off, int nb_dark, int nb_light, double y, const bit_builder& codes,
            int extra_words = 0) {
  const bytes stream = codes.words(extra_words);
  const int head = format == 3 ? 12 : 8;
  const uint32_t len = static_cast<uint32_t>(head + static_cast<int>(stream.size()));
  byte_builder b;
  b.le32(len | (static_cast<uint32_t>(x_off) << 14) | (static_cast<uint32_t>(nb_dark) << 24) |
         (static_cast<uint32_t>(nb_light) << 28));
  if (format == 3) b.f64(y);
  else b.le32(static_cast<uint32_t>(y));
  return b.raw(stream).out;
}

/// Codes one explicit line.
void line_codes(bit_builder& b, const pieces& ps, int x_off, int nb_light, int nb_dark) {
  int prev = x_off;
  for (size_t k = 0; k < ps.size(); ++k) {
    b.code(static_cast<uint32_t>(ps[k].first - prev), nb_light, 0);
    b.code(static_cast<uint32_t>(ps[k].second - ps[k].first), nb_dark, k + 1 == ps.size() ? 1 : 0);
    prev = ps[k].second;
  }
}

bytes payload(int n_lin, const std::vector<bytes>& blocks) {
  byte_builder b;
  b.le16(n_lin);
  for (const bytes& bl : blocks) b.raw(bl);
  return b.out;
}

void expect_line(int idx, double y, const pieces& ps) {
  const dp::line_rec& ln = g_lines[idx];
  EXPECT_EQ(ln.y_count, y) << "line " << idx;
  ASSERT_EQ(ln.n_pieces, static_cast<int16_t>(ps.size())) << "line " << idx;
  for (int k = 0; k < dp::k_max_pieces; ++k) {
    const int b = k < static_cast<int>(ps.size()) ? ps[k].first : 0;
    const int e = k < static_cast<int>(ps.size()) ? ps[k].second : 0;
    EXPECT_EQ(ln.piece[k].x_beg, b) << "line " << idx << " piece " << k;
    EXPECT_EQ(ln.piece[k].x_end, e) << "line " << idx << " piece " << k;
    EXPECT_EQ(ln.piece[k].label, 0);
  }
}

const bytes k_example = {0x01, 0x00, 0x10, 0x00, 0x19, 0x24, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x14, 0x40, 0xB0, 0x00, 0x00, 0x00};

TEST_F(LineDecoder, DecodesTheEighteenByteExample) {
  const decoded d = run(k_example);
  EXPECT_EQ(d.rc, 1);
  EXPECT_EQ(d.n, 1);
  EXPECT_EQ(d.log, "");
  expect_line(0, 5.0, {{100, 104}});
}

TEST_F(LineDecoder, ZeroLinesGivesZeroSilently) {
  for (const bytes& p : {bytes{0, 0}, bytes{0, 0, 0xff, 0xff, 0xff}}) {
    const decoded d = run(p);
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.n, 0);
    EXPECT_EQ(d.log, "");
  }
}

TEST_F(LineDecoder, RepetitionRepeatsTheLastExplicitLine) {
  bit_builder c;
  line_codes(c, {{3, 5}, {5, 9}}, 2, 4, 4);  // touching pieces: a gap of 0
  c.code(3, 4, 1).code(0, 4, 1);
  const decoded d = run(payload(4, {block(3, 2, 4, 4, 10.0, c)}));
  ASSERT_EQ(d.rc, 1);
  ASSERT_EQ(d.n, 4);
  for (int i = 0; i < 4; ++i) expect_line(i, 10.0 + i, {{3, 5}, {5, 9}});
}

TEST_F(LineDecoder, BlocksWithAJumpAndARepetitionAtTheStartOfTheLaterBlock) {
  bit_builder c1, c2;
  line_codes(c1, {{10, 20}}, 10, 3, 5);
  line_codes(c1, {{11, 12}, {14, 15}}, 10, 3, 5);
  c1.code(0, 3, 1);
  c2.code(2, 3, 1);  // repeats the second line of block 1
  line_codes(c2, {{400, 401}}, 400, 3, 2);
  c2.code(0, 3, 1);
  const decoded d = run(payload(5, {block(3, 10, 5, 3, 100.0, c1), block(3, 400, 2, 3, 500.0, c2)}));
  ASSERT_EQ(d.rc, 1);
  ASSERT_EQ(d.n, 5);
  EXPECT_EQ(d.log, "");
  expect_line(0, 100.0, {{10, 20}});
  expect_line(1, 101.0, {{11, 12}, {14, 15}});
  expect_line(2, 500.0, {{11, 12}, {14, 15}});
  expect_line(3, 501.0, {{11, 12}, {14, 15}});
  expect_line(4, 502.0, {{400, 401}});
}

TEST_F(LineDecoder, ShortFormatsReadTheLineNumberUnsigned) {
  for (int format : {1, 2}) {
    bit_builder c;
    line_codes(c, {{0, 1024}}, 0, 2, 12);
    c.code(0, 2, 1);
    const decoded d = run(payload(1, {block(format, 0, 12, 2, 4294967295.0, c)}), format);
    ASSERT_EQ(d.rc, 1);
    expect_line(0, 4294967295.0, {{0, 1024}});
  }
}

TEST_F(LineDecoder, FirstLineNumberBelowOneRejectsSilently) {
  bit_builder c;
  line_codes(c, {{1, 2}}, 0, 2, 2);
  c.code(0, 2, 1);
  EXPECT_EQ(run(payload(1, {block(3, 0, 2, 2, 0.5, c)})).log, "");
  const decoded d = run(payload(1, {block(1, 0, 2, 2, 0.0, c)}), 1);
  EXPECT_EQ(d.rc, 0);
  EXPECT_EQ(d.log, "");
  for (const double bad : {std::nan(""), 1.0 / 0.0}) {
    const decoded n = run(payload(1, {block(3, 0, 2, 2, bad, c)}));
    EXPECT_EQ(n.rc, 0);
    EXPECT_EQ(n.log, "");
  }
}

TEST_F(LineDecoder, SixPiecesDecodeASeventhRejects) {
  pieces six;
  for (int k = 0; k < 6; ++k) six.push_back({10 * k, 10 * k + 5});
  bit_builder ok;
  line_codes(ok, six, 0, 4, 4);
  ok.code(0, 4, 1);
  const decoded d = run(payload(1, {block(3, 0, 4, 4, 7.0, ok)}));
  ASSERT_EQ(d.rc, 1);
  expect_line(0, 7.0, six);

  pieces seven = six;
  seven.push_back({65, 66});
  bit_builder bad;
  line_codes(bad, seven, 0, 4, 4);
  bad.code(0, 4, 1);
  const decoded e = run(payload(1, {block(3, 0, 4, 4, 7.0, bad)}));
  EXPECT_EQ(e.rc, 0);
  EXPECT_EQ(e.n, 0);
  EXPECT_EQ(e.log, "j=6\n");
}

TEST_F(LineDecoder, MissingGapCodeWritesErr01) {
  bit_builder c;
  line_codes(c, {{7, 9}}, 0, 4, 4);
  line_codes(c, {{3, 5}}, 0, 4, 4);
  c.code(1, 4, 0).code(2, 4, 0);  // piece 1..3, flag 0: another piece should follow
  c.code(0, 4, 1);  // ...but a light code with flag 1 comes
  const decoded d = run(payload(3, {block(3, 0, 4, 4, 4294967300.0, c)}));
  EXPECT_EQ(d.rc, 0);
  EXPECT_EQ(d.log, "y_count=6\n   1-  3\nerr.01: n_lin=3 i=2 j=1 \n");
}

TEST_F(LineDecoder, RepetitionAsFirstLineWritesError02) {
  bit_builder c;
  c.code(3, 4, 1).code(0, 4, 1);
  const decoded d = run(payload(4, {block(3, 0, 4, 4, 5.0, c)}));
  EXPECT_EQ(d.rc, 0);
  EXPECT_EQ(d.log, "y_count=5.000000\nrepet found : i=0 light=3 n_lin=4 \nerror 02 \n");
  // The record's own diagnostics keep their texts where the offset is known.
  EXPECT_EQ(run(payload(4, {block(3, 0, 4, 4, 5.0, c)}), 3, 640).log, d.log);
}

TEST_F(LineDecoder, LinesBeyondCountOr2000AreCut) {
  struct cut_case {
    int n_lin;
    int explicit_lines;
    int reps;  // after the last explicit line
    int n;
    std::string log;
  };
  const std::vector<cut_case> cases = {
      {2, 3, 0, 2, "decmpr: i=2 n_lin=2 \n"},
      {3, 1, 5, 3, "i=3 k=2 light=5 n_lin=3 \ndecmpr: i=3 \n"},
      {2500, 2001, 0, 2000, "decmpr: i=2000 n_lin=2500 \n"},
      {2500, 1, 2100, 2000, "i=2000 k=1999 light=2100 n_lin=2500 \ndecmpr: i=2000 \n"},
  };
  for (const cut_case& cc : cases) {
    bit_builder c;
    for (int k = 0; k < cc.explicit_lines; ++k) line_codes(c, {{k % 100, k % 100 + 1}}, 0, 13, 2);
    if (cc.reps > 0) c.code(static_cast<uint32_t>(cc.reps), 13, 1);
    c.code(0, 13, 1);
    const decoded d = run(payload(cc.n_lin, {block(3, 0, 2, 13, 1.0, c)}));
    EXPECT_EQ(d.rc, 1) << cc.log;
    EXPECT_EQ(d.n, cc.n) << cc.log;
    EXPECT_EQ(d.log, cc.log);
    const int last = cc.n - 1;
    const int src = last < cc.explicit_lines ? last : cc.explicit_lines - 1;
    expect_line(last, 1.0 + last, {{src % 100, src % 100 + 1}});
  }
}

TEST_F(LineDecoder, WidthFiveLightCodeZeroIsAPieceAtTheOffset) {
  bit_builder c;
  line_codes(c, {{50, 52}, {52, 60}, {75, 76}}, 50, 5, 5);  // light values 0, 0 and 15
  c.code(0, 5, 1);
  const decoded d = run(payload(1, {block(3, 50, 5, 5, 2.0, c)}));
  ASSERT_EQ(d.rc, 1);
  expect_line(0, 2.0, {{50, 52}, {52, 60}, {75, 76}});
}

TEST_F(LineDecoder, LookAheadPastTheBlockIsNoRejection) {
  // 24 bits of codes in a 4-byte stream: the third code makes the reader load a word beyond the
  // block (the buffer ends there), but every bit it uses lies inside.
  bit_builder c;
  c.code(5, 8, 0).code(10, 8, 1).code(0, 8, 1);
  const decoded d = run(payload(1, {block(3, 0, 8, 8, 3.0, c)}));
  ASSERT_EQ(d.rc, 1);
  EXPECT_EQ(d.log, "");
  expect_line(0, 3.0, {{5, 15}});

  // A stream of an odd byte count: the last byte is loaded alone.
  bytes odd = block(3, 0, 8, 8, 3.0, bit_builder{}.code(5, 8, 0).code(10, 8, 1).code(0, 8, 1));
  odd.pop_back();
  odd[0] = static_cast<uint8_t>(odd[0] - 1);
  EXPECT_EQ(run(payload(1, {odd})).rc, 1);
}

struct rejection_case {
  const char* what;
  int format;
  bytes p;
  std::string log;
};

std::vector<rejection_case> rejection_cases() {
  std::vector<rejection_case> cs;
  bit_builder one;  // one line 1..2, widths 2/2
  line_codes(one, {{1, 2}}, 0, 2, 2);
  one.code(0, 2, 1);
  const bytes good3 = block(3, 0, 2, 2, 9.0, one);
  const bytes good1 = block(1, 0, 2, 2, 9.0, one);
  // The block b with its header's length, dark and light widths replaced.
  const auto with_header = [](bytes b, uint32_t len, uint32_t nb_dark, uint32_t nb_light) {
    const uint32_t header = len | (nb_dark << 24) | (nb_light << 28);
    for (int k = 0; k < 4; ++k) b[k] = static_cast<uint8_t>(header >> (8 * k));
    return b;
  };
  const auto len3 = static_cast<uint32_t>(good3.size());
  const std::string rej = "decmpr: record rejected: ";

  cs.push_back({"count cut", 3, {0x01}, "decmpr01: unexpected end of file\n"});
  cs.push_back({"no count", 3, {}, "decmpr01: unexpected end of file\n"});
  cs.push_back({"header cut", 3, {0x01, 0x00, 0x10, 0x00, 0x19}, "decmpr02: unexpected end of file\n"});
  {
    bytes p = payload(2, {good3});  // a second block is missing
    cs.push_back({"second header missing", 3, p, "decmpr02: unexpected end of file\n"});
  }
  {
    bytes p = payload(1, {good3});
    p.resize(2 + 4 + 7);
    cs.push_back({"line number cut (3)", 3, p, "decmpr03: unexpected end of file\n"});
    bytes q = payload(1, {good1});
    q.resize(2 + 4 + 3);
    cs.push_back({"line number cut (1)", 1, q, "decmpr03: unexpected end of file\n"});
  }
  {
    bytes p = payload(1, {good3});
    p.pop_back();
    cs.push_back({"code stream cut", 3, p, "decmpr04: unexpected end of file\n"});
  }
  cs.push_back({"negative count", 3, payload(-3, {good3}), rej + "negative line count\n"});
  cs.push_back({"block below 12", 3, payload(1, {with_header(good3, 11, 2, 2)}),
                rej + "block shorter than its header\n"});
  cs.push_back({"block below 8", 1, payload(1, {with_header(good1, 7, 2, 2)}),
                rej + "block shorter than its header\n"});
  {
    // Dark width 0 is rejected even in a block that holds only its end code.
    const bytes b = block(3, 0, 0, 2, 9.0, bit_builder{}.code(0, 2, 1));
    cs.push_back({"dark width 0", 3, payload(1, {b}), rej + "code width 0\n"});
    cs.push_back({"light width 0", 3, payload(1, {with_header(good3, len3, 2, 0)}),
                  rej + "code width 0\n"});
  }
  {
    bit_builder c;  // a line with no end code: the reader runs out of the block
    line_codes(c, {{1, 2}}, 0, 2, 2);
    cs.push_back({"stream past block", 3, payload(2, {block(3, 0, 2, 2, 9.0, c)}),
                  rej + "code stream runs past its block\n"});
    // 30 bits of codes in a 3-byte stream: the end code straddles the block's last bit.
    bytes b = block(3, 0, 10, 10, 9.0, bit_builder{}.code(1, 10, 0).code(1, 10, 1).code(0, 10, 1));
    b.pop_back();
    b[0] = static_cast<uint8_t>(b[0] - 1);
    cs.push_back({"code past block", 3, payload(1, {b}), rej + "code stream runs past its block\n"});
  }
  const auto col_case = [&](const char* what, int x_off, const bit_builder& c) {
    cs.push_back({what, 3, payload(1, {block(3, x_off, 11, 11, 9.0, c)}), rej + "column beyond 1024\n"});
  };
  col_case("x_beg 1025", 1023, bit_builder{}.code(2, 11, 0).code(0, 11, 1).code(0, 11, 1));
  col_case("x_end 1025", 1020, bit_builder{}.code(0, 11, 0).code(5, 11, 1).code(0, 11, 1));
  col_case("gap to 1030", 0, bit_builder{}.code(0, 11, 0).code(1000, 11, 0).code(30, 11, 0)
                                 .code(0, 11, 1).code(0, 11, 1));
  col_case("x_beg far beyond", 1023, bit_builder{}.code(1000, 11, 0).code(1023, 11, 1).code(0, 11, 1));
  return cs;
}

TEST_F(LineDecoder, EachRejectionRuleWritesItsOneLine) {
  for (const rejection_case& c : rejection_cases()) {
    const decoded d = run(c.p, c.format);
    EXPECT_EQ(d.rc, 0) << c.what;
    EXPECT_EQ(d.n, 0) << c.what;
    EXPECT_EQ(d.log, c.log) << c.what;
    // With the record's offset known (here beyond 32 bits), the same line names it at its end.
    const decoded at = run(c.p, c.format, 4294967301);
    EXPECT_EQ(at.rc, 0) << c.what;
    EXPECT_EQ(at.log, c.log.substr(0, c.log.size() - 1) + " (record at offset 4294967301)\n") << c.what;
  }
}

/// A valid two-block payload with repetitions and several pieces.
bytes sample_payload(int format) {
  bit_builder c1, c2;
  line_codes(c1, {{20, 30}, {35, 36}}, 20, 4, 5);
  c1.code(2, 4, 1);
  line_codes(c1, {{22, 25}}, 20, 4, 5);
  c1.code(0, 4, 1);
  line_codes(c2, {{600, 601}, {601, 700}, {710, 1024}}, 600, 5, 10);
  c2.code(0, 5, 1);
  return payload(5, {block(format, 20, 5, 4, 40.0, c1), block(format, 600, 10, 5, 80.0, c2)});
}

TEST_F(LineDecoder, TruncationAtEveryLengthRejectsWithOneLine) {
  for (int format : {1, 3}) {
    const bytes full = sample_payload(format);
    ASSERT_EQ(run(full, format).rc, 1);
    expect_line(4, 80.0, {{600, 601}, {601, 700}, {710, 1024}});
    for (size_t k = 0; k < full.size(); ++k) {
      const bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(k));
      const decoded d = run(cut, format);
      EXPECT_EQ(d.rc, 0) << "cut at " << k;
      ASSERT_GE(d.log.size(), 8u) << "cut at " << k;
      EXPECT_EQ(d.log.substr(0, 6), "decmpr") << "cut at " << k;
      EXPECT_EQ(d.log.find('\n'), d.log.size() - 1) << "cut at " << k;
    }
  }
}

/// What every accepted record must satisfy.
void expect_sane(const decoded& d) {
  ASSERT_TRUE(d.rc == 0 || d.rc == 1);
  if (d.rc == 0) {
    EXPECT_EQ(d.n, 0);
    return;
  }
  ASSERT_GE(d.n, 0);
  ASSERT_LE(d.n, dp::k_line_buf_size);
  for (int i = 0; i < d.n; ++i) {
    const dp::line_rec& ln = g_lines[i];
    ASSERT_GE(ln.n_pieces, 1);
    ASSERT_LE(ln.n_pieces, 6);
    int prev = 0;
    for (int k = 0; k < ln.n_pieces; ++k) {
      ASSERT_GE(ln.piece[k].x_beg, prev);
      ASSERT_GE(ln.piece[k].x_end, ln.piece[k].x_beg);
      ASSERT_LE(ln.piece[k].x_end, 1024);
      prev = ln.piece[k].x_end;
    }
  }
}

TEST_F(LineDecoder, RandomAndMutatedPayloadsNeverMisbehave) {
  std::mt19937 rng(20240601);
  const bytes seeds[] = {sample_payload(1), sample_payload(3), k_example};
  int accepted = 0;
  for (int round = 0; round < 6000; ++round) {
    bytes p;
    const int format = 1 + static_cast<int>(rng() % 3);
    if (round % 3 == 0) {
      p.resize(rng() % 80);
      for (uint8_t& b : p) b = static_cast<uint8_t>(rng());
      if (p.size() >= 2 && (rng() & 1)) p[1] = 0;  // small positive counts more often
    } else {
      p = seeds[rng() % 3];
      const int flips = 1 + static_cast<int>(rng() % 4);
      for (int f = 0; f < flips; ++f) p[rng() % p.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      if (rng() % 4 == 0) p.resize(rng() % (p.size() + 1));
    }
    const decoded d = run(p, format);
    expect_sane(d);
    accepted += d.rc;
  }
  EXPECT_GT(accepted, 300);  // mutations also reach the line loop, not just the checks
}

}  // namespace
