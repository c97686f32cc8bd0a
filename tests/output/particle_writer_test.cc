#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "headers/main_header.h"
#include "headers/timing_model.h"
#include "output/output_files.h"
#include "output/particle_output.h"
#include "output/particle_writer.h"
#include "platform/clock.h"
#include "support/pair_fixture.h"
#include "support/temp_cwd.h"

#include <sys/resource.h>

namespace {

using dp_test::box_lines;
using dp_test::bytes;
using dp_test::header_list;
using dp_test::read_file;
using dp_test::simple_header;
using dp_test::test_particle;

// The main header frequency of these tests: minute m starts at line 60000 m.
constexpr double k_frequ = 1000.0;

// A pair starting at line y whose particle record is 70 bytes long (two 18-byte images).
struct rec_pair {
  test_particle a, b;
  explicit rec_pair(double y) : a(y, box_lines(y, 1, 316, 324)), b(y + 1, box_lines(y + 1, 1, 316, 324)) {}
};

// The record pix_out makes of p (head and tail), with len_prev as it is now.
bytes record_of(const rec_pair& p) {
  uint8_t head[dp::k_sno_head];
  std::vector<uint8_t> stage(dp::k_img_stage);
  EXPECT_EQ(dp::pix_out(&p.a.rec, &p.b.rec, dp_test::run_inputs(), dp::writer.oldlen, stage.data(), head), 1);
  const size_t len = static_cast<size_t>(dp::load_les16(head));
  bytes r(len);
  std::memcpy(r.data(), head, dp::k_sno_head);
  std::memcpy(r.data() + dp::k_sno_head, stage.data(), len - dp::k_sno_head);
  return r;
}

bytes table_bytes(const int32_t* t) {
  dp_test::byte_builder b;
  for (int k = 0; k < dp::k_minutes; ++k) b.le32(static_cast<uint32_t>(t[k]));
  return b.out;
}

class ParticleWriter : public testing::Test {
 protected:
  void SetUp() override {
    dp::reset_timing();
    dp::reset_main_header();
    dp::reset_particle_writer();
    dp_test::calibration_ones();
    dp_test::connect_writer(k_frequ);
    headers.reset(new header_list{{0.0, simple_header()}});
    files = std::make_unique<dp_test::output_set>();
    dp::writer.last_flush = dp::clock_now_seconds();  // no flush on the clock unless a test asks
  }
  void TearDown() override {
    files.reset();
    headers.reset();
  }
  void force_flush() {
    dp::writer.force_flush = 1;
    dp::net_wr(nullptr, nullptr);
    files->sync();
  }
  // Appends a main header record of 74 bytes to all three files, as the main header step does.
  bytes add_main_header() {
    bytes hd(74, 0x5A);
    hd[0] = 0xB6;  // indic -74
    hd[1] = 0xFF;
    for (std::FILE* fp : {dp::out_files.shd_fp, dp::out_files.abh_fp, dp::out_files.sno_fp}) {
      std::fseek(fp, 0, SEEK_END);
      std::fwrite(hd.data(), 1, hd.size(), fp);
      std::fflush(fp);
    }
    dp::writer.sno_size += 74;
    dp::writer.oldlen = 74;
    return hd;
  }
  std::unique_ptr<header_list> headers;
  std::unique_ptr<dp_test::output_set> files;
};

TEST_F(ParticleWriter, RecordsWaitInTheBufferUntilAFlush) {
  const rec_pair p(5000);
  const bytes rec = record_of(p);
  ASSERT_EQ(rec.size(), 70u);
  dp::net_wr(&p.a.rec, &p.b.rec);
  files->sync();
  EXPECT_EQ(dp::writer.sno_fill, 70);
  EXPECT_EQ(dp::writer.oldlen, 70);
  EXPECT_EQ(dp::writer.buffered_y, 5000.0);
  EXPECT_EQ(bytes(dp::writer.sno_buf, dp::writer.sno_buf + 70), rec);
  EXPECT_TRUE(read_file(files->sno).empty());

  force_flush();
  EXPECT_EQ(read_file(files->sno), rec);
  EXPECT_EQ(dp::writer.sno_fill, 0);
  EXPECT_EQ(dp::writer.sno_size, 70);
  EXPECT_EQ(dp::writer.pix_end, 70);
  EXPECT_EQ(dp::writer.lastpix_y, 5000.0);
  EXPECT_EQ(dp::writer.force_flush, 0);
}

TEST_F(ParticleWriter, FlushAfterAHeaderIndexesMinutesAndRewritesBothTables) {
  const bytes hd = add_main_header();
  dp::timing.posa_bf[2] = 1234;
  dp::timing.posb_bf[3] = -5;
  const rec_pair p3(3 * 60000.0 + 10), p7(7 * 60000.0 + 500.5);
  const bytes r3 = record_of(p3);
  dp::net_wr(&p3.a.rec, &p3.b.rec);
  const bytes r7 = record_of(p7);
  dp::net_wr(&p7.a.rec, &p7.b.rec);
  EXPECT_EQ(dp::load_les16(r3.data() + 2), 74);  // len_prev of the first record after a header
  EXPECT_EQ(dp::load_les16(r7.data() + 2), 70);
  force_flush();

  dp_test::byte_builder sno;
  sno.raw(hd).raw(r3).raw(r7);
  EXPECT_EQ(read_file(files->sno), sno.out);

  std::vector<int32_t> pix(dp::k_minutes, -1);
  pix[0] = 0;
  for (int k = 1; k <= 3; ++k) pix[k] = 74;
  for (int k = 4; k <= 7; ++k) pix[k] = 144;
  dp_test::byte_builder shd;
  shd.raw(table_bytes(pix.data())).le16(70).raw(hd);
  EXPECT_EQ(read_file(files->shd), shd.out);

  dp_test::byte_builder abh;
  abh.raw(table_bytes(dp::timing.posa_bf)).raw(table_bytes(dp::timing.posb_bf)).f64(7 * 60000.0 + 500.5).raw(hd);
  const bytes abh_file = read_file(files->abh);
  EXPECT_EQ(abh_file, abh.out);
  EXPECT_EQ(dp::load_les32(abh_file.data() + 8), 1234);
  EXPECT_EQ(dp::load_les32(abh_file.data() + 5768 + 12), -5);
}

TEST_F(ParticleWriter, RecordNotAfterTheLastWrittenLineIsNotWritten) {
  const rec_pair first(5000), same(5000), earlier(4999.5);
  dp::net_wr(&first.a.rec, &first.b.rec);
  force_flush();
  ASSERT_EQ(dp::writer.lastpix_y, 5000.0);
  for (const rec_pair* p : {&same, &earlier}) {
    dp::writer.force_flush = 1;
    dp::net_wr(&p->a.rec, &p->b.rec);
    EXPECT_EQ(dp::writer.sno_fill, 0);
    EXPECT_EQ(dp::writer.force_flush, 1);  // left as it was: the call ended before its flush
    EXPECT_EQ(dp::writer.oldlen, 70);
  }
  files->sync();
  EXPECT_EQ(read_file(files->sno).size(), 70u);
}

TEST_F(ParticleWriter, FullBufferIsFlushedBeforeTheRecordThatDoesNotFit) {
  // A record of 1200 bytes: images of 584 and 582 bytes.
  const test_particle a(60000.0 + 7, dp_test::lines_for_image(584, 60007));
  const test_particle b(60000.0 + 9, dp_test::lines_for_image(582, 60009));
  struct { int32_t fill; bool flushed; } cases[] = {{99000, true}, {98800, true}, {98798, false}};
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    dp::writer.last_flush = dp::clock_now_seconds() - 2;
    std::memset(dp::writer.sno_buf, 0xAB, static_cast<size_t>(c.fill));
    dp::writer.sno_fill = c.fill;
    dp::writer.buffered_y = 60000.0;
    dp::net_wr(&a.rec, &b.rec);
    files->sync();
    const bytes sno = read_file(files->sno);
    if (c.flushed) {
      EXPECT_EQ(sno, bytes(static_cast<size_t>(c.fill), 0xAB)) << c.fill;
      EXPECT_EQ(dp::writer.sno_fill, 1200);
      EXPECT_EQ(dp::load_les16(dp::writer.sno_buf), 1200);
      EXPECT_EQ(dp::load_f64(dp::writer.sno_buf + 4), 60007.0);
      EXPECT_EQ(dp::writer.pix_bf[1], c.fill);  // the record leads the new block
    } else {
      EXPECT_TRUE(sno.empty()) << c.fill;
      EXPECT_EQ(dp::writer.sno_fill, c.fill + 1200);
      EXPECT_EQ(dp::load_les16(dp::writer.sno_buf + c.fill), 1200);
      EXPECT_EQ(dp::writer.pix_bf[1], c.fill);
    }
  }
}

TEST_F(ParticleWriter, ClockFlushWritesWhatWasBufferedBeforeTheNewRecord) {
  const rec_pair p1(1000), p2(2000);
  dp::net_wr(&p1.a.rec, &p1.b.rec);
  const uint32_t now = dp::clock_now_seconds();
  dp::writer.last_flush = now - 4;
  dp::net_wr(&p2.a.rec, &p2.b.rec);
  files->sync();
  EXPECT_EQ(read_file(files->sno).size(), 70u);
  EXPECT_EQ(dp::writer.sno_fill, 70);
  EXPECT_EQ(dp::load_f64(dp::writer.sno_buf + 4), 2000.0);
  EXPECT_GE(dp::writer.last_flush, now);
  EXPECT_EQ(dp::writer.lastpix_y, 1000.0);
}

TEST_F(ParticleWriter, EmptyFlushWritesNothingButRestartsTheInterval) {
  files->sync();
  const bytes sno = read_file(files->sno), shd = read_file(files->shd), abh = read_file(files->abh);
  dp::writer.lastpix_y = 777.0;
  dp::writer.last_flush = 0;
  dp::writer.pix_bf[5] = 1000;  // would show in the .shd if the table were rewritten
  const uint32_t before = dp::clock_now_seconds();
  force_flush();
  EXPECT_EQ(read_file(files->sno), sno);
  EXPECT_EQ(read_file(files->shd), shd);
  EXPECT_EQ(read_file(files->abh), abh);
  EXPECT_EQ(dp::writer.lastpix_y, 777.0);
  EXPECT_GE(dp::writer.last_flush, before);
  EXPECT_EQ(dp::writer.force_flush, 0);
}

TEST_F(ParticleWriter, MinuteIndexIsFilledOnlyForward) {
  const rec_pair at4(4 * 60000.0), at2(2 * 60000.0), late(1500 * 60000.0), unknown(1e12);
  dp::net_wr(&at4.a.rec, &at4.b.rec);
  dp::net_wr(&at2.a.rec, &at2.b.rec);  // buffered, but minute 2 is not after minute 4
  EXPECT_EQ(dp::writer.pix_bf[4], 0);
  EXPECT_EQ(dp::writer.pix_bf[5], -1);
  // Minute 1500 lies beyond the table: entries up to 1441 are filled, nothing behind them.
  dp::net_wr(&late.a.rec, &late.b.rec);
  EXPECT_EQ(dp::writer.minut_pix, 1500);
  EXPECT_EQ(dp::writer.pix_bf[5], 140);
  EXPECT_EQ(dp::writer.pix_bf[dp::k_minutes - 1], 140);
  // No minute can be formed (the quotient is beyond int32): the record is buffered unindexed.
  dp::set_writer_line_frequency(1e-6);
  dp::net_wr(&unknown.a.rec, &unknown.b.rec);
  EXPECT_EQ(dp::writer.minut_pix, 1500);
  EXPECT_EQ(dp::writer.sno_fill, 280);
}

TEST_F(ParticleWriter, ParticleFileNotOpenEndsTheRun) {
  std::fclose(dp::out_files.sno_fp);
  dp::out_files.sno_fp = nullptr;
  EXPECT_EXIT(dp::net_wr(nullptr, nullptr), testing::ExitedWithCode(1), "^net_wr: sno-file does not exist!$");
}

TEST_F(ParticleWriter, FailedReopenEndsTheRunAfterItsReport) {
  const rec_pair p(5000);
  struct { std::string* name; const char* expected; } cases[] = {
      {&dp::out_files.pix_nam, "^ net_wr04 : No such file or directory\nnet_wr: could not reopen sno-file "},
      {&dp::out_files.hd_nam, "^ net_wr07 : No such file or directory\nnet_wr: could not reopen shd-file "},
      {&dp::out_files.abh_nam, "^ net_wr12 : No such file or directory\nnet_wr: could not reopen abh-file "},
  };
  for (const auto& c : cases) {
    const std::string saved = *c.name;
    *c.name = files->dir.file("missing/V05123_1.x");
    dp::net_wr(&p.a.rec, &p.b.rec);
    EXPECT_EXIT(force_flush(), testing::ExitedWithCode(1), c.expected);
    *c.name = saved;
    dp::writer.sno_fill = 0;
  }
}

// In a death-test child: files may grow to n bytes; a write past that fails with EFBIG (SIGXFSZ
// ignored), as one on a full disk fails with ENOSPC.
void limit_file_size(rlim_t n) {
  const rlimit limit{n, n};
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, SIG_IGN);
}

// The texts of a flush that failed: the label's report line, then the line naming file and
// reason in the error log and, after a line feed, on the console.
std::string flush_failure(const std::string& label, const std::string& what, const std::string& reason) {
  const std::string line = "net_wr: could not " + what + ": " + reason + "\n";
  return label + ": " + reason + "\n" + line + "\n" + line;
}

TEST_F(ParticleWriter, FailedTableRewriteEndsTheRunAfterTheRecordsAreOnDisk) {
  struct { std::FILE** fp; std::string* name; const char* label; const char* kind; } cases[] = {
      {&dp::out_files.shd_fp, &dp::out_files.hd_nam, " net_wr05 ", "shd"},
      {&dp::out_files.abh_fp, &dp::out_files.abh_nam, " net_wr09 ", "abh"},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    std::fclose(*c.fp);
    *c.fp = std::fopen(c.name->c_str(), "rb");  // writes to it fail
    const rec_pair p(5000);
    const bytes rec = record_of(p);
    dp::net_wr(&p.a.rec, &p.b.rec);
    const std::string what = std::string("write to ") + c.kind + "-file " + *c.name;
    EXPECT_EXIT(
        {
          dp_test::console_to_log();
          force_flush();
        },
        testing::ExitedWithCode(1), dp_test::exact_re(flush_failure(c.label, what, "Bad file descriptor")));
    EXPECT_EQ(read_file(files->sno), rec) << c.kind;
  }
}

// Past the file-size limit a block is written in part: the part is cut off again, so the .sno
// ends with the last whole record, and the tables still describe the block before.
TEST_F(ParticleWriter, BlockCutShortIsCutOffAndEndsTheRun) {
  for (int k = 0; k < 15; ++k) {
    const rec_pair p(5000 + 10 * k);
    dp::net_wr(&p.a.rec, &p.b.rec);
  }
  force_flush();
  const bytes sno = read_file(files->sno), shd = read_file(files->shd), abh = read_file(files->abh);
  ASSERT_EQ(sno.size(), 1050u);
  const rec_pair q(6000);
  dp::net_wr(&q.a.rec, &q.b.rec);
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        limit_file_size(1080);  // 30 bytes of the next record fit (the capture of the texts too)
        force_flush();
      },
      testing::ExitedWithCode(1),
      dp_test::exact_re(flush_failure(" net_wr02 ", "write to sno-file " + files->sno, "File too large")));
  EXPECT_EQ(read_file(files->sno), sno);
  EXPECT_EQ(read_file(files->shd), shd);
  EXPECT_EQ(read_file(files->abh), abh);
}

}  // namespace
