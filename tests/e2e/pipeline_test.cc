// End-to-end runs of the whole pipeline on raw files of synthetic drops: every drop seen by both
// cameras becomes one particle record whose images decode to the drop's lines, and the three
// output files agree with each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <thread>

#include "base/byte_order.h"
#include "lines/line_decoder.h"
#include "lines/line_records.h"
#include "support/rain_fixture.h"
#include "support/raw_fixture.h"
#include "support/scratch_run.h"

namespace {

using dp_test::byte_builder;
using dp_test::bytes;
using dp_test::drop;
using dp_test::drop_lines;
using dp_test::fixture_line;
using dp_test::header_payload;
using dp_test::make_rain;
using dp_test::rain_file;

struct sno_particle {
  int32_t offset;
  double y_start;
  std::vector<dp::line_rec> img_a, img_b;
};

std::vector<dp::line_rec> decode_image(const uint8_t* p, int len) {
  static dp::line_rec decoded[dp::k_line_buf_size];
  int16_t n = 0;
  EXPECT_EQ(dp::decmpr(p, len, 3, decoded, &n, -1), 1);
  return std::vector<dp::line_rec>(decoded, decoded + n);
}

TEST(Pipeline, EveryDropBecomesOneRecordWithItsImages) {
  dp_test::scratch_dir dir;
  dp_test::write_text(dir.file("DROPPAIR.SET"), dp_test::settings_text());
  dp_test::write_text(dir.file("corrfact.dat"), dp_test::neutral_corrfact());
  const rain_file rain = make_rain(400, 5);
  dp_test::write_file(dir.file("V05123_1.ab"), rain.raw);
  const auto r = dp_test::run_droppair(dir, {"V05123_1.ab"});
  ASSERT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.log_tail(), "");

  const bytes sno = dp_test::read_file(dir.file("V05123_1.sno"));
  const bytes shd = dp_test::read_file(dir.file("V05123_1.shd"));
  const bytes abh = dp_test::read_file(dir.file("V05123_1.abh"));
  ASSERT_EQ(shd.size(), 5770u + 74u);
  ASSERT_EQ(abh.size(), 11544u + 74u);
  // The header record is the same in all three files.
  ASSERT_GE(sno.size(), 74u);
  EXPECT_EQ(bytes(sno.begin(), sno.begin() + 74), bytes(shd.begin() + 5770, shd.end()));
  EXPECT_EQ(bytes(sno.begin(), sno.begin() + 74), bytes(abh.begin() + 11544, abh.end()));

  // Walk forward by the lengths, checking every backward link.
  std::vector<sno_particle> parts;
  size_t at = 0;
  int prev_len = 0;
  while (at < sno.size()) {
    ASSERT_LE(at + 4, sno.size());
    const int16_t indic = dp::load_les16(&sno[at]);
    EXPECT_EQ(dp::load_les16(&sno[at + 2]), prev_len) << at;
    const int len = indic == -74 ? 74 : indic;
    ASSERT_GT(len, 34);
    ASSERT_LE(at + static_cast<size_t>(len), sno.size());
    if (indic != -74) {
      sno_particle p;
      p.offset = static_cast<int32_t>(at);
      p.y_start = dp::load_f64(&sno[at + 4]);
      const int len_a = dp::load_les16(&sno[at + 30]);
      p.img_a = decode_image(&sno[at + 32], len_a);
      const int len_b = dp::load_les16(&sno[at + 32 + len_a]);
      p.img_b = decode_image(&sno[at + 34 + len_a], len_b);
      EXPECT_EQ(34 + len_a + len_b, len);
      parts.push_back(std::move(p));
    }
    prev_len = len;
    at += static_cast<size_t>(len);
  }

  // Every drop, the last ones included, is one record, in order, with both images intact.
  ASSERT_EQ(parts.size(), rain.drops.size());
  for (size_t i = 0; i < parts.size(); ++i) {
    const drop& d = rain.drops[i];
    EXPECT_EQ(parts[i].y_start, d.y);
    const auto want_a = drop_lines(d.y, d.x, d.radius, d.height);
    ASSERT_EQ(parts[i].img_a.size(), want_a.size());
    ASSERT_EQ(parts[i].img_b.size(), want_a.size());
    for (size_t k = 0; k < want_a.size(); ++k) {
      EXPECT_EQ(parts[i].img_a[k].y_count, want_a[k].y);
      EXPECT_EQ(parts[i].img_a[k].piece[0].x_beg, want_a[k].pieces[0].first);
      EXPECT_EQ(parts[i].img_a[k].piece[0].x_end, want_a[k].pieces[0].second);
      EXPECT_EQ(parts[i].img_b[k].y_count, want_a[k].y + d.delay);
      EXPECT_EQ(parts[i].img_b[k].piece[0].x_beg, want_a[k].pieces[0].first + 2);
    }
  }

  // Per-minute index: each entry that is set points at the first record of its minute or later.
  for (int m = 0; m < 1442; ++m) {
    const int32_t v = dp::load_les32(&shd[static_cast<size_t>(m) * 4]);
    if (m == 0) {
      EXPECT_EQ(v, 0);
      continue;
    }
    if (v == -1) continue;
    bool is_record = false;
    for (const auto& p : parts) is_record |= p.offset == v;
    EXPECT_TRUE(is_record) << "minute " << m << " offset " << v;
  }
  // The .abh carries the first line of the last record written.
  EXPECT_EQ(dp::load_f64(&abh[11536]), parts.back().y_start);
  // The .shd carries the length of the last record.
  EXPECT_EQ(dp::load_les16(&shd[5768]), prev_len);
}

TEST(Pipeline, StopSignalEndsTheBusyRunWith128PlusItsNumber) {
  dp_test::scratch_dir dir;
  dp_test::write_text(dir.file("DROPPAIR.SET"), dp_test::settings_text());
  dp_test::write_text(dir.file("corrfact.dat"), dp_test::neutral_corrfact());
  // Enough drops to keep the run busy for a while.
  dp_test::write_file(dir.file("V05123_1.ab"), make_rain(400000, 9).raw);
  const std::string cmd = "cd " + dp_test::shell_quote(dir.path.string()) + " && (" +
                          dp_test::shell_quote(DROPPAIR_BIN) +
                          " V05123_1.ab >console.out 2>&1 </dev/null & pid=$!; sleep 0.15; kill -TERM $pid; wait $pid)";
  const int rc = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(rc));
  const std::string console = dp_test::read_text(dir.file("console.out"));
  if (console.find("end of ab-file") != std::string::npos) GTEST_SKIP() << "the run ended before the signal";
  EXPECT_EQ(WEXITSTATUS(rc), 128 + SIGTERM);
  const std::string log = dp_test::read_text(dir.file("DROPPAIR.ERR"));
  EXPECT_EQ(log.find("rror"), std::string::npos);
  EXPECT_NE(log.find("\nmp81: run stopped by SIGTERM; reader A at offset "), std::string::npos) << log;
}

}  // namespace
