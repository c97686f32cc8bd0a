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

// The text of a calibration file with the golden diameters and no deviations.
std::string plain_text() {
  write_corrfact_all(k_golden_diam, row10{});
  const auto raw = dp_test::read_file("corrfact.dat");
  return std::string(raw.begin(), raw.end());
}

// Offset of line n (from 1) in text.
size_t line_at(const std::string& text, int n) {
  size_t at = 0;
  for (int k = 1; k < n; ++k) at = text.find('\n', at) + 1;
  return at;
}

// The plain file with the seven columns of value i (from 0) of line n (from 1) replaced.
std::string with_field(int n, int i, const std::string& field) {
  std::string text = plain_text();
  return text.replace(line_at(text, n) + 10 + 7 * static_cast<size_t>(i), 7, field);
}

TEST_F(Calibration, FilesItCannotTakeAsWrittenEndTheRunNamingLineAndColumn) {
  const std::string plain = plain_text();
  const std::string head = "tables: corrfact.dat line ";
  struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"", "1, column 1: the file ends before this line"},
      {plain.substr(0, line_at(plain, 6)), "6, column 1: the file ends before this line (height B)"},
      {with_field(5, 2, "    nan"), "5, column 25: height A value 3 is not a finite number: \"nan\""},
      {with_field(7, 0, "    abc"), "7, column 11: width A value 1 holds no number: \"abc\""},
      // A blank field: "%6f" alone would skip on into the next field and read its number.
      {with_field(6, 4, "       "), "6, column 39: height B value 5 holds no number: \"\""},
      {plain.substr(0, line_at(plain, 4) - 8) + "\n" + plain.substr(line_at(plain, 4)),
       "3, column 74: diameter value 10 is missing: the line ends before this column"},
      {with_field(3, 1, "   0.20"),
       "3, column 18: diameter value 2 is 0.2 mm, not above value 1 (0.3 mm); the diameters must increase"},
      {with_field(3, 4, "   1.00"),
       "3, column 39: diameter value 5 is 1 mm, not above value 4 (1 mm); the diameters must increase"},
      {with_field(3, 9, "   9e30"),
       "3, column 74: diameter value 10 is 9e+30 mm; the diameters lie above 0 and at most at 51.2 mm"},
      {with_field(3, 0, "   0.00"),
       "3, column 11: diameter value 1 is 0 mm; the diameters lie above 0 and at most at 51.2 mm"},
      {with_field(8, 9, " -100.0"),
       "8, column 74: width B value 10 is -100 percent; the deviations lie between -100 and 100"},
      {with_field(5, 0, "  100.0"),
       "5, column 11: height A value 1 is 100 percent; the deviations lie between -100 and 100"},
  };
  for (const auto& c : cases) {
    dp_test::write_file("corrfact.dat", dp_test::bytes(c.text.begin(), c.text.end()));
    EXPECT_EXIT(
        {
          dp_test::console_to_log();
          dp::tables();
        },
        testing::ExitedWithCode(1),
        dp_test::exact_re(std::string("error occurred!\nan error description was written to DROPPAIR.ERR") + head +
                          c.message + "\n"));
  }
}

TEST_F(Calibration, EqualAnchorsFromIncreasingDiametersEndTheRun) {
  // 1.00 mm seen 5 % too large and 1.05 mm seen right are both measured as 1.05 mm.
  const row10 diam = {0.3, 0.5, 0.75, 1.0, 1.05, 2.0, 3.0, 4.0, 5.5, 7.0};
  write_corrfact_all(diam, row10{0, 0, 0, 5, 0, 0, 0, 0, 0, 0});
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        dp::tables();
      },
      testing::ExitedWithCode(1),
      dp_test::exact_re("error occurred!\nan error description was written to DROPPAIR.ERR"
                        "tables: corrfact.dat refused for height A: diameters 4 and 5 give the same measured size "
                        "1.050000\n"));
}

}  // namespace
