#include "output/calibration.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "support/raw_fixture.h"
#include "support/temp_cwd.h"

namespace {

using row10 = std::array<double, 10>;

// One value line: a ten-character label, then ten values of seven characters each.
std::string value_line(const char* label, const row10& v) {
  std::string s = label;
  for (const double x : v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%7.2f", x);
    s += buf;
  }
  return s + "\n";
}

constexpr row10 k_golden_diam = {0.30, 0.50, 0.75, 1.00, 1.50, 2.00, 3.00, 4.00, 5.50, 7.00};

// "corrfact.dat" in the working directory with the given rows.
void write_corrfact(const row10& diam, const row10& ha, const row10& hb, const row10& wa, const row10& wb) {
  const std::string text = "Correction factors in percent for relative threshold\n"
                           "synthetic two-camera instrument, calibration no.      17\n" +
                           value_line("diameter: ", diam) + "deviation of the measured from the true size in percent\n" +
                           value_line("height A: ", ha) + value_line("height B: ", hb) + value_line("width A : ", wa) +
                           value_line("width B : ", wb);
  dp_test::write_file("corrfact.dat", dp_test::bytes(text.begin(), text.end()));
}

void write_corrfact_all(const row10& diam, const row10& dev) { write_corrfact(diam, dev, dev, dev, dev); }

class Calibration : public testing::Test {
 protected:
  dp_test::temp_cwd tmp;
  void SetUp() override { dp::reset_calibration(); }
  void TearDown() override { dp::reset_calibration(); }
};

TEST_F(Calibration, NoDeviationGivesOneEverywhere) {
  write_corrfact_all(k_golden_diam, row10{});
  dp::tables();
  for (const float* t : {dp::calib.corr_ha, dp::calib.corr_hb, dp::calib.corr_wa, dp::calib.corr_wb})
    for (int k = 0; k < dp::k_corr_size; ++k) ASSERT_EQ(t[k], 1.0f) << k;
}

TEST_F(Calibration, TenPercentEverywhereGivesOneOverOnePointOne) {
  row10 dev;
  dev.fill(10.0);
  write_corrfact_all(k_golden_diam, dev);
  dp::tables();
  const float want = static_cast<float>(1.0 / 1.1);
  for (const float* t : {dp::calib.corr_ha, dp::calib.corr_hb, dp::calib.corr_wa, dp::calib.corr_wb})
    for (int k = 0; k < dp::k_corr_size; ++k) ASSERT_EQ(t[k], want) << k;
}

TEST_F(Calibration, InterpolatesOverMeasuredSizesAndHoldsTheLastFactor) {
  const row10 diam = {0.5, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  const row10 rising = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  write_corrfact(diam, rising, row10{}, row10{}, row10{});
  dp::tables();
  const float* const ha = dp::calib.corr_ha;
  // Anchors 0.5 and 1.01 mm: 1.0 mm lies at 0.5 / 0.51 of the first segment, 0 below the first
  // anchor extends it.
  EXPECT_NEAR(ha[10], 1.0 / (1.0 + 0.01 * 0.5 / 0.51), 1e-6);
  EXPECT_NEAR(ha[0], 1.0 / (1.0 - 0.01 * 0.5 / 0.51), 1e-6);
  // 9.8 mm is the last size below the last anchor (9.81 mm); from there on all entries repeat it.
  EXPECT_NE(ha[98], ha[97]);
  for (int k = 98; k < dp::k_corr_size; ++k) ASSERT_EQ(ha[k], ha[98]) << k;
  EXPECT_EQ(dp::calib.corr_hb[300], 1.0f);
}

TEST_F(Calibration, ReadsTheValueColumnsOfTheFile) {
  write_corrfact(k_golden_diam, row10{5, 4, 3, 2.5, 2, 1.5, 1, 0.5, 0, 0}, row10{}, row10{},
                 row10{7, 5.5, 4, 3, 2, 1.5, 1, 0, -0.5, -1});
  dp::tables();
  EXPECT_EQ(dp::calib.diam[0], 0.3f);
  EXPECT_EQ(dp::calib.diam[9], 7.0f);
  EXPECT_EQ(dp::calib.dev_ha[3], 2.5f);
  EXPECT_EQ(dp::calib.dev_wb[8], -0.5f);
  EXPECT_EQ(dp::calib.dev_wb[9], -1.0f);
}

TEST_F(Calibration, FieldsReadLikeScanfWithWidthSix) {
  struct row {
    const char* line;
    int col;
    float value;
  };
  for (const row r : {row{"label:    1.25   2.50\n", 10, 1.25f}, row{"label:    1.25   2.50\n", 17, 2.5f},
                      row{"label:    1.25   2.50\n", 24, 0.0f},       // beyond the line
                      row{"label:    1.25       \n", 17, 0.0f},       // blanks up to the line end
                      row{"label:                 3.5\n", 10, 3.5f},  // blanks run into the next field
                      row{"label:    1234567\n", 10, 123456.0f},      // six characters at most
                      row{"label:      abc\n", 10, 0.0f}, row{"", 10, 0.0f}}) {
    EXPECT_EQ(dp::calib_field(r.line, r.col), r.value) << r.line << "@" << r.col;
  }
}

TEST_F(Calibration, MissingLinesAreReportedAndGiveZeros) {
  const std::string text = "head\nno. 1\n" + value_line("diameter: ", k_golden_diam) + "text\n" +
                           value_line("height A: ", row10{1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
  dp_test::write_file("corrfact.dat", dp_test::bytes(text.begin(), text.end()));
  testing::internal::CaptureStderr();
  dp::tables();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "tables06: unexpected end of file\ntables07: unexpected end of file\ntables08: unexpected end of file\n");
  EXPECT_EQ(dp::calib.dev_ha[0], 1.0f);
  EXPECT_EQ(dp::calib.dev_wb[0], 0.0f);
  EXPECT_EQ(dp::calib.corr_wb[100], 1.0f);
}

TEST_F(Calibration, MissingFileEndsTheRun) {
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        dp::tables();
      },
      testing::ExitedWithCode(1),
      dp_test::exact_re("tables: could not open corrfact.dat \ncould not open corrfact.dat \n"
                        "tables01: No such file or directory\n"));
}

TEST_F(Calibration, AnchorsThatCannotFormATableEndTheRun) {
  const std::string announce = "error occurred!\nan error description was written to DROPPAIR.ERR";
  // An empty file: every value 0, so the last anchor is 0.
  dp_test::write_file("corrfact.dat", {});
  std::string eight_reports;
  for (int n = 1; n <= 8; ++n) eight_reports += "tables0" + std::to_string(n) + ": unexpected end of file\n";
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        dp::tables();
      },
      testing::ExitedWithCode(1),
      dp_test::exact_re(eight_reports + announce +
                        "tables: corrfact.dat refused for height A: the measured size of the last diameter is "
                        "0.000000, not above 0\n"));

  // -100 % at the last diameter of width B only.
  row10 wb{};
  wb[9] = -100;
  write_corrfact(k_golden_diam, row10{}, row10{}, row10{}, wb);
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        dp::tables();
      },
      testing::ExitedWithCode(1),
      dp_test::exact_re(announce +
                        "tables: corrfact.dat refused for width B: the measured size of the last diameter is "
                        "0.000000, not above 0\n"));

  // Equal neighbouring anchors would divide by zero.
  const row10 diam = {0.3, 0.5, 0.75, 1.0, 1.0, 2.0, 3.0, 4.0, 5.5, 7.0};
  write_corrfact_all(diam, row10{});
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        dp::tables();
      },
      testing::ExitedWithCode(1),
      dp_test::exact_re(announce +
                        "tables: corrfact.dat refused for height A: diameters 4 and 5 give the same measured size "
                        "1.000000\n"));
}

}  // namespace
