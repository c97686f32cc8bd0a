#include "headers/main_header.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "control/processing_loop.h"
#include "control/settings.h"
#include "headers/timing_model.h"
#include "output/output_files.h"
#include "output/particle_writer.h"
#include "rawinput/raw_file.h"
#include "support/byte_builder.h"
#include "support/raw_fixture.h"
#include "support/temp_cwd.h"

namespace {

using dp_test::byte_builder;
using dp_test::bytes;
using dp_test::header_payload;
using dp_test::header_values;
using dp_test::read_file;

// The 74-byte record the values should give, built independently of encode_main_hd.
bytes expected_hd(const header_values& h, int16_t len_prev, double line_fr, float hbl, float hbr, float hfr,
                  int16_t x_center, int16_t ratio_pct, const std::string& name = "V05123_1.sno") {
  bytes name14(14, 0);
  std::memcpy(name14.data(), name.data(), name.size());
  byte_builder b;
  b.le16(-74).le16(len_prev).raw(name14).le32(h.valid_since).f64(line_fr).f32(hbl).f32(hbr).f32(hfr);
  b.le16(x_center).le16(h.gate1).le16(h.gate2).f32(h.XSCALE0_1).f32(h.XSCALE0_2).f32(h.L0_1).f32(h.L0_2);
  b.le16(h.oeu_nr).le16(7080).le16(2).le16(0).le16(ratio_pct);
  return b.out;
}

bytes slice(const bytes& b, size_t at, size_t n) {
  if (at + n > b.size()) return {};
  return bytes(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
}

class MainHeader : public testing::Test {
 protected:
  dp_test::temp_cwd tmp;

  void SetUp() override { start(3); }
  void TearDown() override { reset_all(); }

  static void reset_all() {
    dp::reset_output_files();
    dp::reset_main_header();
    dp::reset_timing();
    dp::reset_particle_writer();
    dp::reset_settings();
    dp::reset_raw_file();
  }
  // A fresh run of the given format with its output files created in the scratch directory.
  void start(int16_t format, const std::string& raw_name = "V05123_1.ab") {
    reset_all();
    dp::writer.sno_fill = 0;
    dp::writer.force_flush = 0;
    dp::writer.oldlen = 0;
    dp::writer.lastpix_y = 0;
    dp::writer.buffered_y = 0;
    dp::set_par.RAW_PATH = tmp.dir + "/";
    dp::set_par.HYD_PATH = tmp.dir + "/hyd/";
    dp::raw_file.ab_path = tmp.path(raw_name);
    dp::raw_file.ab_format = format;
    dp::pixfil(dp::set_par.HYD_PATH, dp::set_par.RAW_PATH, dp::raw_file.ab_path);
  }
  // One main header as either scan meets it; returns the console text.
  static std::string feed(int format, const header_values& h) {
    const bytes p = header_payload(format, h);
    testing::internal::CaptureStdout();
    dp::take_main_header(p.data(), static_cast<int32_t>(p.size()));
    return testing::internal::GetCapturedStdout();
  }
  bytes shd() const {
    std::fflush(dp::out_files.shd_fp);
    return read_file(tmp.path("hyd/V05123_1.shd"));
  }
  bytes abh() const {
    std::fflush(dp::out_files.abh_fp);
    return read_file(tmp.path("V05123_1.abh"));
  }
  bytes sno() const {
    std::fflush(dp::out_files.sno_fp);
    return read_file(tmp.path("hyd/V05123_1.sno"));
  }
};

TEST_F(MainHeader, PayloadsOfTheThreeFormatsMapToTheSameFields) {
  header_values h;
  h.base_frequ = 12345.5;
  for (const int16_t format : {2, 3}) {
    dp::raw_file.ab_format = format;
    const bytes p = header_payload(format, h);
    dp::hd_par par;
    ASSERT_EQ(dp::main_hr01(p.data(), static_cast<int32_t>(p.size()), dp::raw_file.ab_format, &par), 1) << format;
    EXPECT_EQ(par.data_format, 3);
    EXPECT_EQ(par.oeu_nr, 7);
    EXPECT_EQ(par.base_frequ, 12345.5);
    EXPECT_EQ(par.x_center, format == 3 ? 320 : 256);
    EXPECT_EQ(par.gate1, 11);
    EXPECT_EQ(par.gate2, 22);
    EXPECT_EQ(par.XSCALE0_2, 0.15f);
    EXPECT_EQ(par.L0_2, 300.0f);
    EXPECT_EQ(par.ratio_den, 200);
    EXPECT_EQ(par.ratio_num, 37);
    EXPECT_EQ(par.valid_since, 1115164800u);
  }
}

TEST_F(MainHeader, FormatOneDividesTheTimerAndCopiesTheHeightThreeTimes) {
  dp::raw_file.ab_format = 1;
  header_values h;
  h.divisor = 34;
  h.HBL = 5.25f;
  const bytes p = header_payload(1, h);
  ASSERT_EQ(p.size(), 38u);
  dp::hd_par par;
  ASSERT_EQ(dp::main_hr01(p.data(), 38, dp::raw_file.ab_format, &par), 1);
  EXPECT_EQ(par.base_frequ, 35093.0);
  EXPECT_EQ(par.HBL, 5.25f);
  EXPECT_EQ(par.HBR, 5.25f);
  EXPECT_EQ(par.HFR, 5.25f);
  EXPECT_EQ(par.x_center, 256);
  EXPECT_EQ(par.valid_since, h.valid_since);
}

TEST_F(MainHeader, RatioPercentTruncatesTowardZero) {
  struct row {
    int16_t num, den, pct;
  };
  for (const row r : {row{37, 200, 18}, row{-37, 200, -18}, row{37, -200, -18}, row{1, 3, 33}, row{5, 0, 0},
                      row{32767, 1, -100} /* 3276700 keeps its low 16 bits */}) {
    EXPECT_EQ(dp::ratio_pct(r.num, r.den), r.pct) << r.num << "/" << r.den;
  }
}

TEST_F(MainHeader, RecordBytesOfEachFormat) {
  header_values h;
  h.HBL = 6.5f;
  h.HBR = 7.5f;
  h.HFR = 8.5f;
  h.divisor = 34;
  struct row {
    int16_t format;
    double line_fr;
    float hbl, hbr, hfr;
    int16_t x_center;
  };
  for (const row r : {row{1, 35093.0, 6.5f, 6.5f, 6.5f, 256}, row{2, 34000.0, 6.5f, 7.5f, 8.5f, 256},
                      row{3, 34000.0, 6.5f, 7.5f, 8.5f, 320}}) {
    start(r.format);
    feed(r.format, h);
    const bytes want = expected_hd(h, 0, r.line_fr, r.hbl, r.hbr, r.hfr, r.x_center, 18);
    EXPECT_EQ(slice(shd(), 5770, 74), want) << "format " << r.format;
    EXPECT_EQ(slice(abh(), 11544, 74), want) << "format " << r.format;
    EXPECT_EQ(sno(), want) << "format " << r.format;
    uint8_t enc[74];
    dp::encode_main_hd(dp::decode_main_hd(want.data()), enc);
    EXPECT_EQ(bytes(enc, enc + 74), want);
  }
}

TEST_F(MainHeader, FirstHeaderShowsTheOverviewOnce) {
  header_values h;
  h.oeu_nr = 0;
  const std::string first = feed(3, h);
  EXPECT_EQ(first, "file V*.AB : " + tmp.path("V05123_1.ab") + "\n\nfile V*.SNO: " + tmp.path("hyd/V05123_1.sno") +
                       "\nfile V*.SHD : " + tmp.path("hyd/V05123_1.shd") + "\nfile V*.ABH: " +
                       tmp.path("V05123_1.abh") +
                       "\n\ndata acquired by OEU : ???\ndata format          :    3\n");
  h.valid_since += 10;
  EXPECT_EQ(feed(3, h), "");
}

TEST_F(MainHeader, HeaderMetByBothScansIsWrittenOnce) {
  header_values h;
  feed(3, h);
  feed(3, h);  // scan B meets it again
  h.valid_since += 60;
  feed(3, h);
  feed(3, h);
  EXPECT_EQ(shd().size(), 5770u + 2 * 74);
  EXPECT_EQ(abh().size(), 11544u + 2 * 74);
  EXPECT_EQ(sno().size(), 2u * 74);
  EXPECT_EQ(dp::main_header.n_maint, 2);
  ASSERT_NE(dp::timing.head, nullptr);
  EXPECT_EQ(dp::timing.head->next, dp::timing.tail);
  EXPECT_EQ(dp::timing.tail->line, 60 * 34000.0);
  // The table parts still hold their creation contents; the headers agree in all three files.
  const bytes s = shd(), a = abh(), n = sno();
  EXPECT_EQ(slice(s, 0, 4), bytes(4, 0));
  EXPECT_EQ(slice(s, 4, 4), bytes(4, 0xFF));
  EXPECT_EQ(slice(s, 5770, 148), slice(a, 11544, 148));
  EXPECT_EQ(slice(s, 5770, 148), n);
  // The second header's len_prev is the first one's length.
  EXPECT_EQ(slice(n, 74 + 2, 2), (bytes{74, 0}));
  EXPECT_EQ(dp::writer.sno_size, 148);
  EXPECT_EQ(dp::writer.pix_end, 148);
  EXPECT_EQ(dp::writer.oldlen, 74);
  EXPECT_EQ(dp::writer.force_flush, 1);
}

TEST_F(MainHeader, EqualValidSinceIsIgnoredButItsFrequencyTaken) {
  header_values h;
  feed(3, h);
  h.base_frequ = 40000.0;
  h.gate1 = 99;
  feed(3, h);
  EXPECT_EQ(dp::main_header.base_frequ, 40000.0);
  EXPECT_EQ(sno().size(), 74u);
  EXPECT_EQ(dp::main_header.current.gate1, 11);
}

TEST_F(MainHeader, HeaderFollowsBufferedRecordsAndKeepsTheSnoPosition) {
  header_values h;
  feed(3, h);
  h.valid_since += 1;
  feed(3, h);
  std::fseek(dp::out_files.sno_fp, 74, SEEK_SET);
  dp::writer.oldlen = 1234;  // a particle record was the last one placed
  h.valid_since += 1;
  feed(3, h);
  EXPECT_EQ(std::ftell(dp::out_files.sno_fp), 74);
  const bytes n = sno();
  ASSERT_EQ(n.size(), 3u * 74);
  EXPECT_EQ(slice(n, 148 + 2, 2), (bytes{0xD2, 0x04}));
}

TEST_F(MainHeader, SnoNameIsCutAndKeepsTheBytesBehindItsEnd) {
  start(3, "V05123_1_longer_name.ab");
  header_values h;
  feed(3, h);
  EXPECT_EQ(std::string(dp::main_header.current.sno_name), "V05123_1_long");

  start(3);
  std::memset(dp::main_header.current.sno_name, 'x', 14);
  feed(3, h);
  EXPECT_EQ(slice(sno(), 4, 14), (bytes{'V', '0', '5', '1', '2', '3', '_', '1', '.', 's', 'n', 'o', 0, 'x'}));
}

TEST_F(MainHeader, HundredHeadersPassAndTheNextEndsTheRun) {
  header_values h;
  testing::internal::CaptureStdout();
  for (int i = 0; i < 100; ++i) {
    const bytes p = header_payload(3, h);
    dp::take_main_header(p.data(), static_cast<int32_t>(p.size()));
    h.valid_since += 10;
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(sno().size(), 100u * 74);
  const bytes p = header_payload(3, h);
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        dp::take_main_header(p.data(), static_cast<int32_t>(p.size()));
      },
      testing::ExitedWithCode(1),
      dp_test::exact_re("main_hr: more than 100 mainheaders !\n more than 100 mainheaders ! \n"));
  // A header already seen still passes when the table is full.
  h.valid_since -= 10;
  feed(3, h);
}

TEST_F(MainHeader, ZeroFrequencyOrTimerDivisorEndsTheRun) {
  header_values h;
  h.base_frequ = -0.0;
  const bytes p3 = header_payload(3, h);
  const std::string texts = dp_test::exact_re("main_hr: base_frequ = 0!\nmain_hr: base_frequ = 0");
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        dp::take_main_header(p3.data(), 56);
      },
      testing::ExitedWithCode(1), texts);

  start(1);
  h.divisor = 0;
  const bytes p1 = header_payload(1, h);
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        dp::take_main_header(p1.data(), 38);
      },
      testing::ExitedWithCode(1), texts);
}

TEST_F(MainHeader, ShortPayloadOrUnknownFormatEndsTheRun) {
  const bytes p3 = header_payload(3);
  EXPECT_EXIT(dp::take_main_header(p3.data(), 55), testing::ExitedWithCode(1),
              dp_test::exact_re("main_hr01: could not read parameter\n"
                                " main_hr01: could not read parameter : unexpected end of file\n"));
  start(1);
  const bytes p1 = header_payload(1);
  EXPECT_EXIT(dp::take_main_header(p1.data(), 37), testing::ExitedWithCode(1),
              dp_test::exact_re("main_hr01: could not read parameter\n"
                                "main_hr01: could not read parameter : unexpected end of file\n"));
  dp::raw_file.ab_format = 4;
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        dp::take_main_header(p3.data(), 56);
      },
      testing::ExitedWithCode(1), dp_test::exact_re("main_hr: wrong format\nmain_hr: wrong format"));
}

}  // namespace
