// snodump's products: the reference fall-speed laws against measured speeds of water drops, the
// tolerance option, one particle's derived values under a header of known geometry (sampling
// area, plane distance, delay-only speed, flags), the minute moments of a known distribution, and
// on abgen rain the per-minute N(D), rain rate, concentration, Dm, Nw, Z and liquid water content
// against the ground truth, with the netCDF file's structure and values, the minute CSV, and the
// particle CSV's times and flags agreeing with both.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sno_csv.h"
#include "sno_products.h"
#include "sno_reader.h"
#include "support/abgen_run.h"
#include "support/rain_truth.h"

#ifdef SNODUMP_NETCDF
#include <netcdf.h>
#endif

namespace {

using dp_test::scratch_dir;

TEST(SnodumpSpeedLaw, ReferenceLawsMeetTheMeasuredSpeedsOfWaterDrops) {
  // Gunn and Kinzer (1949), still air at 1013 hPa and 20 C: diameter (mm), fall speed (m/s).
  const double measured[][2] = {{0.5, 2.06}, {1.0, 4.03}, {2.0, 6.49}, {3.0, 8.06}, {4.0, 8.83}, {5.0, 9.09}};
  for (const auto& m : measured) {
    EXPECT_NEAR(dp::beard_speed(m[0]), m[1], 0.025 * m[1]) << m[0];
    EXPECT_NEAR(dp::atlas_speed(m[0]), m[1], 0.03 * m[1]) << m[0];
  }
  EXPECT_DOUBLE_EQ(dp::atlas_speed(2.0), 9.65 - 10.3 * std::exp(-1.2));
  // The two drag regimes meet at 1.07 mm; above 7 mm the speed is held.
  EXPECT_NEAR(dp::beard_speed(1.0699), dp::beard_speed(1.0701), 0.01);
  EXPECT_EQ(dp::beard_speed(9.0), dp::beard_speed(7.0));
  EXPECT_TRUE(std::isnan(dp::beard_speed(0.0)));
  EXPECT_EQ(dp::speed_check_text({}), "Atlas et al. (1973), +-50 %");
}

TEST(SnodumpSpeedLaw, ToleranceIsAShareOrASpeed) {
  const struct {
    const char* text;
    bool ok, relative;
    double tolerance;
  } cases[] = {{"50%", true, true, 0.5},      {"12.5%", true, true, 0.125}, {"0.5m/s", true, false, 0.5},
               {"50", false, false, 0},       {"", false, false, 0},        {"%", false, false, 0},
               {"0%", false, false, 0},       {"-5%", false, false, 0},     {"5 %", false, false, 0},
               {"0.5 m/s", false, false, 0},  {"nan%", false, false, 0},    {"1e9m/s", false, false, 0}};
  for (const auto& c : cases) {
    dp::speed_check check;
    EXPECT_EQ(dp::parse_speed_tolerance(c.text, &check), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(check.relative, c.relative) << c.text;
    EXPECT_DOUBLE_EQ(check.tolerance, c.tolerance) << c.text;
  }
  dp::speed_law law = dp::speed_law::atlas;
  EXPECT_TRUE(dp::parse_speed_law("beard", &law));
  EXPECT_EQ(law, dp::speed_law::beard);
  EXPECT_FALSE(dp::parse_speed_law("Beard", &law));
}

// A header of a tilted plane pair and unequal cameras, 10000 lines per second, valid from 01:00.
std::vector<dp::sno_header_rec> tilted_header() {
  dp::main_hd h;
  h.main_time = 1115078400u + 3600u;
  h.line_fr = 10000.0;
  h.x_center = 320;
  h.HBL = 6.0f;
  h.HBR = 6.4f;
  h.HFR = 6.2f;
  h.XSCALE0_1 = 0.15f;
  h.XSCALE0_2 = 0.16f;
  h.L0_1 = 300.0f;
  h.L0_2 = 400.0f;
  uint8_t b[dp::k_main_hd_size];
  dp::encode_main_hd(h, b);
  return {dp::make_header_rec(b, 0)};
}

// A 2 mm drop at 6.5 m/s two seconds after the header's start, on columns 300..313 of A and
// 350..362 of B.
dp::particle_values drop_values() {
  dp::particle_values v;
  v.header = 0;
  v.y_start = 3602.0 * 10000.0;
  v.time_s = 3602.0;
  v.eq_diam_mm = 2.0;
  v.scale_a_mm = 0.14;
  v.scale_b_mm = 0.15;
  v.scale_h_mm = 0.65;
  v.speed_m_s = 6.5;
  v.x_min_a = 300;
  v.x_min_b = 350;
  v.width_a_px = 14;
  v.width_b_px = 13;
  v.height_a_lines = v.height_b_lines = 3;
  v.diff_lins = 37;
  return v;
}

TEST(SnodumpProducts, DerivesAreaTimeAndDelayOnlySpeedFromTheHeaderGeometry) {
  const auto headers = tilted_header();
  const dp::particle_products p = dp::derive_products(drop_values(), headers, {}, false);
  EXPECT_DOUBLE_EQ(p.time, 1115078400.0 + 3602.0);
  EXPECT_DOUBLE_EQ(p.centre_a, 307.0);
  EXPECT_DOUBLE_EQ(p.centre_b, 356.5);
  // Offsets trunc(307) - 320 = -13 and trunc(356.5) - 320 = 36 set each camera's pixel size.
  const double pixel_a = (300.0 - 0.16f * 36.0) * 0.15f / 300.0, pixel_b = (0.15f * -13.0 + 400.0) * 0.16f / 400.0;
  EXPECT_NEAR(p.pixel_a_mm, pixel_a, 1e-12);
  EXPECT_NEAR(p.pixel_b_mm, pixel_b, 1e-12);
  EXPECT_NEAR(p.line_a_mm, 640 * pixel_a, 1e-9);
  EXPECT_NEAR(p.area_m2, (640 - 14) * pixel_a * (640 - 13) * pixel_b * 1e-6, 1e-15);
  // HFL = 5.8; front and back at column 307 of A, then across to column 356.5 of B.
  const double back = 6.0 + 0.4 * 307.0 / 639.0, front = 5.8 + 0.4 * 307.0 / 639.0;
  const double plane = back + (front - back) * 356.5 / 639.0;
  EXPECT_NEAR(p.plane_dist_mm, plane, 1e-6);
  EXPECT_NEAR(p.speed_delay_m_s, plane * 2.0 / 37.0 * 10.0, 1e-6);
  EXPECT_NEAR(p.width_a_mm, 14 * 0.14, 1e-12);
  EXPECT_NEAR(p.axis_ratio, (2 * 3 * 0.65) / (14 * 0.14 + 13 * 0.15), 1e-12);
  EXPECT_EQ(p.verdict, dp::speed_verdict::plausible);
  EXPECT_EQ(p.use, dp::product_use::used);
}

TEST(SnodumpProducts, FlagsSpeedsEdgesSizesAndIncompleteRecords) {
  const auto headers = tilted_header();
  dp::speed_check absolute;
  absolute.relative = false;
  absolute.tolerance = 0.5;
  // Atlas at 2 mm: 6.548 m/s, so +-50 % is 3.274 to 9.822 m/s and +-0.5 m/s 6.048 to 7.048.
  const struct {
    const char* what;
    void (*change)(dp::particle_values&);
    const dp::speed_check* check;
    bool keep;
    dp::speed_verdict verdict;
    dp::product_use use;
  } cases[] = {
      {"slow", [](dp::particle_values& v) { v.speed_m_s = 3.2; }, nullptr, false, dp::speed_verdict::too_slow,
       dp::product_use::implausible_speed},
      {"fast, kept", [](dp::particle_values& v) { v.speed_m_s = 9.9; }, nullptr, true, dp::speed_verdict::too_fast,
       dp::product_use::used},
      {"slow by 0.55 m/s", [](dp::particle_values& v) { v.speed_m_s = 6.0; }, &absolute, false,
       dp::speed_verdict::too_slow, dp::product_use::implausible_speed},
      {"at the first pixel of A", [](dp::particle_values& v) { v.x_min_a = 0; }, nullptr, false,
       dp::speed_verdict::plausible, dp::product_use::cut},
      {"at the last pixel of B", [](dp::particle_values& v) { v.x_min_b = 640 - 13; }, nullptr, false,
       dp::speed_verdict::plausible, dp::product_use::cut},
      {"10 mm", [](dp::particle_values& v) { v.eq_diam_mm = 10.0, v.speed_m_s = 9.6; }, nullptr, false,
       dp::speed_verdict::plausible, dp::product_use::out_of_bins},
      {"no header", [](dp::particle_values& v) { v.header = -1; }, nullptr, false, dp::speed_verdict::plausible,
       dp::product_use::incomplete},
      {"img_B undecodable", [](dp::particle_values& v) { v.width_b_px = v.height_b_lines = -1; }, nullptr, false,
       dp::speed_verdict::plausible, dp::product_use::incomplete},
      {"no speed", [](dp::particle_values& v) { v.speed_m_s = NAN; }, nullptr, true, dp::speed_verdict::unchecked,
       dp::product_use::incomplete},
  };
  for (const auto& c : cases) {
    dp::particle_values v = drop_values();
    c.change(v);
    const dp::particle_products p = dp::derive_products(v, headers, c.check ? *c.check : dp::speed_check{}, c.keep);
    EXPECT_EQ(p.verdict, c.verdict) << c.what;
    EXPECT_EQ(p.use, c.use) << c.what;
  }
}

TEST(SnodumpMinutes, MomentsOfAnExponentialDistributionGiveItsParameters) {
  // Particles every 0.001 mm whose weights 1 / (A v) make N(D) = N0 exp(-L D) over one minute.
  const double n0 = 8000.0, lambda = 2.0, step = 0.001, area = 0.01;
  dp::minute_table t;
  for (double d = step / 2; d < 10.0; d += step) {
    dp::particle_values v;
    v.eq_diam_mm = d;
    v.speed_m_s = 1.0 / (area * n0 * std::exp(-lambda * d) * step * 60.0);
    dp::particle_products p;
    p.time = 1115130600.0 + 30.0;
    p.area_m2 = area;
    p.use = dp::product_use::used;
    dp::minute_add(t, v, p);
  }
  ASSERT_EQ(t.minutes.size(), 1u);
  const dp::minute_values m = dp::minute_finish(t.minutes.begin()->second);
  for (const int k : {0, 8, 40}) {
    const double lo = dp::bin_lower(k), hi = dp::bin_lower(k + 1);
    EXPECT_NEAR(m.nd[k], n0 * (std::exp(-lambda * lo) - std::exp(-lambda * hi)) / lambda / 0.125, 1e-3 * m.nd[k]);
  }
  EXPECT_NEAR(m.concentration, n0 / lambda, 1e-4 * n0);
  EXPECT_NEAR(m.dm, 4.0 / lambda, 1e-4);
  EXPECT_NEAR(m.nw, n0, 1e-3 * n0);  // the normalized intercept of an exponential is its N0
  EXPECT_NEAR(m.z, n0 * 720.0 / std::pow(lambda, 7), 1e-3 * m.z);
  EXPECT_NEAR(m.lwc, M_PI / 6.0 * 1e-3 * n0 * 6.0 / std::pow(lambda, 4), 1e-3 * m.lwc);

  // One 2 mm drop over 0.01 m^2 in a minute: 4.18879 mm^3 in 0.01 m^2 is 0.02513 mm/h.
  dp::minute_sums one;
  one.d3_a = 8.0 / 0.01;
  EXPECT_NEAR(dp::minute_finish(one).rain_rate, 4.18879e-9 / 0.01 * 60.0 * 1000.0, 1e-7);
  EXPECT_TRUE(std::isnan(dp::minute_finish(dp::minute_sums{}).dm));

  // Each particle finds the rain rate of its own minute; a time of no minute finds none.
  const std::map<int64_t, double> rates = dp::minute_rain_rates(t);
  ASSERT_EQ(rates.size(), 1u);
  EXPECT_EQ(dp::rain_rate_at(rates, 1115130600.0), m.rain_rate);
  EXPECT_EQ(dp::rain_rate_at(rates, 1115130659.9), m.rain_rate);
  EXPECT_EQ(dp::rain_rate_at(rates, 1115130660.0), 0.0);
  EXPECT_EQ(dp::rain_rate_at(rates, NAN), 0.0);
}

TEST(SnodumpMinutes, CorrectedSizeDistributionSpreadsEachRecordedStepOverItsBins) {
  // Bins reached by the recorded step [d, d + 0.01) and their shares, as "k:share" texts.
  const auto spread = [](const std::vector<double>& edges, double d) {
    std::string r;
    dp::spread_recorded_diameter(edges, d, [&](int k, double share) {
      char part[32];
      std::snprintf(part, sizeof part, "%d:%.9g ", k, share);
      r += part;
    });
    return r;
  };
  const std::vector<double>& edges = dp::minute_bin_edges();
  EXPECT_EQ(spread(edges, 0.37), "2:0.5 3:0.5 ");  // [0.37, 0.38) across the edge 0.375
  EXPECT_EQ(spread(edges, 0.49), "3:1 ");          // ends on the edge 0.5
  EXPECT_EQ(spread(edges, 0.50), "4:1 ");
  EXPECT_EQ(spread(edges, 9.99), "79:1 ");
  EXPECT_EQ(spread({0.3, 0.305}, 0.30), "0:0.5 ");  // the part beyond the edges is left out

  // One drop at each recorded step from 0.50 to 0.99 mm: bins of 13 and 12 steps uncorrected,
  // 12.5 each corrected.
  dp::minute_table t;
  for (int n = 50; n < 100; ++n) {
    dp::particle_values v;
    v.eq_diam_mm = n / 100.0;
    v.speed_m_s = 1.0;
    dp::particle_products p;
    p.time = 1115130600.0;
    p.area_m2 = 1.0;
    p.use = dp::product_use::used;
    p.weight = 1.0;
    p.efficiency_flag = dp::efficiency_use::corrected;
    dp::minute_add(t, v, p);
  }
  const dp::minute_values m = dp::minute_finish(t.minutes.begin()->second);
  for (int k = 4; k < 8; ++k) {
    EXPECT_NEAR(m.nd[k] * 60.0 * 0.125, k % 2 == 0 ? 13.0 : 12.0, 1e-9) << k;
    EXPECT_NEAR(m.nd_c[k] * 60.0 * 0.125, 12.5, 1e-9) << k;
  }
}

TEST(SnodumpMinutes, AxisRunsFromTheRecordingStartToTheLastParticle) {
  dp::minute_table t;
  const double start = 1115130600.0 + 20.0;  // 14:30:20
  for (const double at : {95.0, 250.0}) {
    dp::particle_values v;
    dp::particle_products p;
    p.time = start + at;
    p.use = dp::product_use::cut;
    dp::minute_add(t, v, p);
  }
  const int64_t m0 = 1115130600 / 60;
  EXPECT_EQ(dp::minute_axis(t, start), (std::vector<int64_t>{m0, m0 + 1, m0 + 2, m0 + 3, m0 + 4}));
  // The minute of the start is partial, so is the one of the last particle (14:34:30).
  const std::vector<bool> full = {false, true, true, true, false};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(dp::minute_complete(t, start, m0 + i), full[i]) << i;
  EXPECT_EQ(dp::minute_axis(t, start - 2 * 86400.0).front(), m0 + 1);  // a start days before is not used
  EXPECT_EQ(dp::minute_axis(t, start).size(), 5u);
  EXPECT_EQ(t.minutes.at(m0 + 1).particles, 1);
  EXPECT_EQ(t.minutes.at(m0 + 1).used, 0);
  EXPECT_EQ(dp::iso_time(start), "2005-05-03T14:30:20Z");
}

#if defined(ABGEN_BIN) && defined(SNODUMP_BIN)

double num(const std::map<std::string, std::string>& row, const std::string& key) {
  const auto it = row.find(key);
  return it == row.end() || it->second.empty() ? NAN : std::stod(it->second);
}

// Three full minutes of 10 mm/h Marshall-Palmer rain (abgen's typical calibration, so the size
// and height corrections are at work), evaluated, dumped once for all tests of the suite.
class SnodumpProductsRun : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new scratch_dir;
    const auto gen = dp_test::run_tool(
        ABGEN_BIN, {"--dir", ".", "--rain", "10", "--duration", "182", "--seed", "7", "--quiet"}, *dir_);
    ASSERT_EQ(gen.status, 0) << gen.err;
    ASSERT_EQ(dp_test::run_droppair(*dir_, {"V05123_1.ab"}).status, 0);
    std::vector<std::string> args = {"--minute-csv", "minutes.csv", "--out", "summary.txt", "V05123_1.sno"};
#ifdef SNODUMP_NETCDF
    args.insert(args.begin(), {"--netcdf", "out.nc"});
#endif
    const auto dump = dp_test::run_tool(SNODUMP_BIN, args, *dir_);
    ASSERT_EQ(dump.status, 0) << dump.err;
    const auto rows = dp_test::run_tool(SNODUMP_BIN, {"--csv", "--out", "particles.csv", "V05123_1.sno"}, *dir_);
    ASSERT_EQ(rows.status, 0) << rows.err;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::vector<std::map<std::string, std::string>> csv(const char* name) {
    return dp_test::read_csv(dp_test::read_text(dir_->file(name)));
  }
  static scratch_dir* dir_;
};
scratch_dir* SnodumpProductsRun::dir_ = nullptr;

// The products against the truth of the same drops. The truth counts every drop whose centre
// crossed the area seen by both cameras (abgen's camera model, area integrated on a 0.1 mm grid);
// the products count the drops seen whole, each weighted by A / A_eff. So the two differ not by
// the sampling error of the rain but by (a) the drops within a shadow's width of the four line ends
// (about 5 % of them), which the products replace by the weight of the others, 1 to 2 %; (b) the
// measured diameters, biased by up to 1.5 % (see the accuracy test), so up to 4.5 % in D^3 and
// 9 % in D^6; (c) the few drops that pairing loses. Hence: concentration 5 %; rain rate and water
// content 6 %; Dm 3 %; Nw and Z 12 %. Per 0.125 mm bin, summed over the three minutes: 10 % plus
// three times the counting error 1 / sqrt(n), since a diameter measured a pixel's worth off moves
// drops between neighbouring bins.
TEST_F(SnodumpProductsRun, PerMinuteProductsMeetTheGroundTruth) {
  dp::sno_scan scan;
  dp::sno_fault fault;
  ASSERT_TRUE(dp::scan_sno(dir_->file("V05123_1.sno"), &scan, &fault, nullptr)) << dp::fault_text(fault);
  ASSERT_EQ(scan.headers.size(), 1u);
  const auto truth = dp_test::truth_per_minute(csv("V05123_1.csv"), scan.headers[0].hd);

  const auto minutes = csv("minutes.csv");
  ASSERT_EQ(minutes.size(), 4u);  // 14:30 to 14:33, the last one partial
  double nd[dp::k_diam_bins] = {}, nd_truth[dp::k_diam_bins] = {};
  int counts_truth[dp::k_diam_bins] = {};
  int full = 0;
  for (const auto& m : minutes) {
    if (m.at("full_minute") != "1") continue;
    ++full;
    const dp_test::truth_minute& t = truth.at(std::stoll(m.at("time_unix_s")) / 60);
    ASSERT_GT(t.drops, 2000);
    const std::string at = m.at("time");
    EXPECT_NEAR(num(m, "concentration_per_m3"), t.m0, 0.05 * t.m0) << at;
    EXPECT_NEAR(num(m, "rain_rate_mm_per_h"), M_PI / 6 * 3.6e-3 * t.d3_a, 0.06 * M_PI / 6 * 3.6e-3 * t.d3_a) << at;
    EXPECT_NEAR(num(m, "lwc_g_per_m3"), M_PI / 6 * 1e-3 * t.m3, 0.06 * M_PI / 6 * 1e-3 * t.m3) << at;
    EXPECT_NEAR(num(m, "dm_mm"), t.m4 / t.m3, 0.03 * t.m4 / t.m3) << at;
    const double nw = 256.0 / 6.0 * std::pow(t.m3, 5) / std::pow(t.m4, 4);
    EXPECT_NEAR(num(m, "nw_per_m3_mm"), nw, 0.12 * nw) << at;
    EXPECT_NEAR(num(m, "z_mm6_per_m3"), t.m6, 0.12 * t.m6) << at;
    for (int k = 0; k < dp::k_diam_bins; ++k) {
      char key[32];
      std::snprintf(key, sizeof key, "nd_per_m3_mm_%.3f_%.3f", dp::bin_lower(k), dp::bin_lower(k + 1));
      nd[k] += num(m, key);
      nd_truth[k] += t.nd[k];
      counts_truth[k] += t.counts[k];
    }
  }
  EXPECT_EQ(full, 3);
  int compared = 0;
  for (int k = 0; k < dp::k_diam_bins; ++k) {
    if (counts_truth[k] < 30) continue;
    ++compared;
    EXPECT_NEAR(nd[k], nd_truth[k], (0.10 + 3.0 / std::sqrt(counts_truth[k])) * nd_truth[k]) << dp::bin_lower(k);
  }
  EXPECT_GE(compared, 15);  // 0.25 to about 2.2 mm
}

TEST_F(SnodumpProductsRun, MinuteCsvAndSummaryAccountForEveryParticle) {
  const auto particles = csv("particles.csv");
  const auto minutes = csv("minutes.csv");
  const std::string text = dp_test::read_text(dir_->file("minutes.csv"));
  EXPECT_EQ(text.substr(0, text.find('\n')), dp::minute_csv_columns());
  EXPECT_EQ(text.rfind("time,time_unix_s,full_minute,particles,used,implausible,rain_rate_mm_per_h,"
                       "concentration_per_m3,dm_mm,nw_per_m3_mm,z_mm6_per_m3,reflectivity_dbz,lwc_g_per_m3,"
                       "count_0.000_0.125,count_0.125_0.250,",
                       0),
            0u);
  EXPECT_NE(text.find(",count_9.875_10.000,nd_per_m3_mm_0.000_0.125,"), std::string::npos);
  const std::string header = text.substr(0, text.find('\n'));
  EXPECT_NE(header.find(",nd_per_m3_mm_9.875_10.000,uncorrected_particles,rain_rate_corrected_mm_per_h,"),
            std::string::npos);
  EXPECT_EQ(header.substr(header.rfind(',')), ",efficiency_9.875_10.000");
  EXPECT_EQ(minutes.front().size(), 21u + 4u * dp::k_diam_bins);
  EXPECT_EQ(minutes.front().at("time"), "2005-05-03T14:30:00Z");
  EXPECT_EQ(minutes.front().at("time_unix_s"), "1115130600");
  // The particle table's times and flags agree with the minutes': the same clock, the same counts.
  std::map<long long, long long> per_minute;
  long long flagged_implausible = 0, flagged_used = 0, left_out_implausible = 0;
  for (const auto& p : particles) {
    ++per_minute[static_cast<long long>(std::floor(num(p, "time_unix_s") / 60.0)) * 60];
    int hh = 0, mm = 0;
    double ss = 0;
    ASSERT_EQ(std::sscanf(p.at("time").c_str(), "2005-05-03T%2d:%2d:%6lfZ", &hh, &mm, &ss), 3) << p.at("time");
    EXPECT_NEAR(hh * 3600 + mm * 60 + ss, num(p, "seconds_of_day"), 0.00051) << p.at("time");  // half a ms
    EXPECT_NEAR(num(p, "time_unix_s") - num(p, "seconds_of_day"), 1115078400.0, 1e-6);
    flagged_implausible += p.at("fall_speed_flag") == "1" || p.at("fall_speed_flag") == "2";
    flagged_used += p.at("product_flag") == "0";
    left_out_implausible += p.at("product_flag") == "1";  // one also cut counts as cut
  }
  long long in_minutes = 0, used = 0, implausible = 0;
  for (const auto& m : minutes) {
    in_minutes += std::stoll(m.at("particles"));
    used += std::stoll(m.at("used"));
    implausible += std::stoll(m.at("implausible"));
    EXPECT_EQ(per_minute[std::stoll(m.at("time_unix_s"))], std::stoll(m.at("particles"))) << m.at("time");
    const double z = num(m, "z_mm6_per_m3");
    if (z > 0) EXPECT_NEAR(num(m, "reflectivity_dbz"), 10.0 * std::log10(z), 1e-4) << m.at("time");
    else EXPECT_EQ(m.at("reflectivity_dbz"), "") << m.at("time");
    long long binned = 0;
    for (int k = 0; k < dp::k_diam_bins; ++k) {
      char key[32];
      std::snprintf(key, sizeof key, "count_%.3f_%.3f", dp::bin_lower(k), dp::bin_lower(k + 1));
      binned += std::stoll(m.at(key));
    }
    EXPECT_EQ(binned, std::stoll(m.at("used")));
  }
  EXPECT_EQ(in_minutes, static_cast<long long>(particles.size()));
  EXPECT_EQ(flagged_implausible, implausible);
  EXPECT_EQ(flagged_used, used);
  EXPECT_GT(used, in_minutes * 95 / 100);
  // The summary counts the verdicts and the particles left out.
  const std::string summary = dp_test::read_text(dir_->file("summary.txt"));
  long long plausible = 0, slow = 0, fast = 0, unchecked = 0;
  const size_t at = summary.find("\nfall speed check  against Atlas et al. (1973), +-50 %: ");
  ASSERT_NE(at, std::string::npos) << summary;
  ASSERT_EQ(std::sscanf(summary.c_str() + summary.find(": ", at) + 2,
                        "%lld plausible, %lld too slow, %lld too fast, %lld not checked", &plausible, &slow, &fast,
                        &unchecked),
            4);
  EXPECT_EQ(plausible + slow + fast + unchecked, in_minutes);
  EXPECT_EQ(slow + fast, implausible);
  EXPECT_NE(summary.find("per-minute products  " + std::to_string(used) + " particles used; left out: " +
                         std::to_string(left_out_implausible) + " with an implausible fall speed, "),
            std::string::npos)
      << summary;
}

TEST_F(SnodumpProductsRun, OtherLawToleranceAndKeptParticlesChangeOnlyTheFlagsAndTheirUse) {
  const std::vector<std::string> check = {"--speed-law", "beard", "--speed-tolerance=0.5m/s", "--keep-implausible"};
  std::vector<std::string> args = check;
  args.insert(args.end(), {"--minute-csv", "kept.csv", "V05123_1.sno"});
  const auto r = dp_test::run_tool(SNODUMP_BIN, args, *dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  args = check;
  args.insert(args.end(), {"--csv", "--out", "kept_particles.csv", "V05123_1.sno"});
  ASSERT_EQ(dp_test::run_tool(SNODUMP_BIN, args, *dir_).status, 0);
  EXPECT_NE(r.out.find("fall speed check  against Beard (1976), 1013 hPa, 20 C, +-0.5 m/s: "), std::string::npos);
  // Kept, no particle is left out for its speed; per minute at least as many are used.
  EXPECT_NE(r.out.find(" particles used; left out: 0 with an implausible fall speed, "), std::string::npos) << r.out;
  const auto kept = csv("kept.csv"), plain = csv("minutes.csv");
  ASSERT_EQ(kept.size(), plain.size());
  long long implausible = 0, plain_implausible = 0;
  for (size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(kept[i].at("particles"), plain[i].at("particles"));
    EXPECT_GE(std::stoll(kept[i].at("used")), std::stoll(plain[i].at("used")));
    implausible += std::stoll(kept[i].at("implausible"));
    plain_implausible += std::stoll(plain[i].at("implausible"));
  }
  EXPECT_GT(implausible, plain_implausible);  // +-0.5 m/s is stricter than +-50 % for most drops
  // The particle table's flags follow the same check: as many implausible, none left out for it.
  long long flagged = 0, left_out = 0;
  for (const auto& p : csv("kept_particles.csv")) {
    flagged += p.at("fall_speed_flag") == "1" || p.at("fall_speed_flag") == "2";
    left_out += p.at("product_flag") == "1";
  }
  EXPECT_EQ(flagged, implausible);
  EXPECT_EQ(left_out, 0);
}

TEST(SnodumpProductsCli, ProductOptionsAreCheckedBeforeAnyFileIsRead) {
  scratch_dir dir;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--speed-law", "fast", "x.sno"}, {"--speed-tolerance", "50", "x.sno"},
        {"--speed-tolerance"}, {"--check", "--netcdf", "o.nc", "x.sno"}, {"--check", "--keep-implausible", "x.sno"},
        {"--netcdf"}, {"--minute-csv", "", "x.sno"}}) {
    const auto r = dp_test::run_tool(SNODUMP_BIN, args, dir);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("Try 'snodump --help'."), std::string::npos) << r.err;
  }
  const auto help = dp_test::run_tool(SNODUMP_BIN, {"--help"}, dir);
  for (const char* option : {"--netcdf FILE", "--minute-csv FILE", "--speed-law atlas|beard", "--speed-tolerance T",
                             "--keep-implausible"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

#ifdef SNODUMP_NETCDF

std::string text_att(int id, int var, const char* name) {
  size_t len = 0;
  if (nc_inq_attlen(id, var, name, &len) != NC_NOERR) return "<none>";
  std::string s(len, '\0');
  nc_get_att_text(id, var, name, s.data());
  return s;
}

size_t dim_len(int id, const char* name) {
  int dim = -1;
  size_t len = 0;
  if (nc_inq_dimid(id, name, &dim) != NC_NOERR || nc_inq_dimlen(id, dim, &len) != NC_NOERR) return SIZE_MAX;
  return len;
}

template <typename T, typename Get>
std::vector<T> var_values(int id, const char* name, size_t n, Get get) {
  int var = -1;
  std::vector<T> v(n);
  EXPECT_EQ(nc_inq_varid(id, name, &var), NC_NOERR) << name;
  if (var >= 0 && n > 0) {
    EXPECT_EQ(get(id, var, v.data()), NC_NOERR) << name;
  }
  return v;
}

TEST_F(SnodumpProductsRun, NetcdfFileHasTheTablesUnitsAndValues) {
  const auto particles = csv("particles.csv");
  const auto minutes = csv("minutes.csv");
  int id = -1;
  ASSERT_EQ(nc_open(dir_->file("out.nc").c_str(), NC_NOWRITE, &id), NC_NOERR);
  EXPECT_EQ(dim_len(id, "particle"), particles.size());
  EXPECT_EQ(dim_len(id, "time"), minutes.size());
  EXPECT_EQ(dim_len(id, "diameter_bin"), 80u);
  EXPECT_EQ(dim_len(id, "nv"), 2u);
  EXPECT_EQ(text_att(id, NC_GLOBAL, "Conventions"), "CF-1.8, ACDD-1.3");
  EXPECT_EQ(text_att(id, NC_GLOBAL, "featureType"), "point");
  EXPECT_EQ(text_att(id, NC_GLOBAL, "time_coverage_start"), "2005-05-03T14:30:00Z");
  EXPECT_EQ(text_att(id, NC_GLOBAL, "time_coverage_resolution"), "PT1M");
  EXPECT_EQ(text_att(id, NC_GLOBAL, "fall_speed_reference"), "Atlas et al. (1973), +-50 %");
  for (const char* a : {"title", "summary", "keywords", "history", "date_created", "source", "comment"})
    EXPECT_NE(text_att(id, NC_GLOBAL, a), "<none>") << a;

  const struct {
    const char* var;
    const char* units;
    const char* standard_name;
  } units[] = {{"particle_time", "seconds since 1970-01-01 00:00:00", "time"},
               {"time", "seconds since 1970-01-01 00:00:00", "time"},
               {"equivalent_diameter", "mm", "<none>"},
               {"fall_speed", "m s-1", "<none>"},
               {"fall_speed_delay_only", "m s-1", "<none>"},
               {"sampling_area", "m2", "<none>"},
               {"drop_size_distribution", "m-3 mm-1", "<none>"},
               {"rain_rate", "mm h-1", "rainfall_rate"},
               {"reflectivity_factor", "mm6 m-3", "<none>"},
               {"liquid_water_content", "g m-3", "<none>"},
               {"diameter_bin", "mm", "<none>"}};
  for (const auto& u : units) {
    int var = -1;
    ASSERT_EQ(nc_inq_varid(id, u.var, &var), NC_NOERR) << u.var;
    EXPECT_EQ(text_att(id, var, "units"), u.units) << u.var;
    EXPECT_EQ(text_att(id, var, "standard_name"), u.standard_name) << u.var;
  }
  int nd_var = -1, dims[2] = {-1, -1}, ndims = 0;
  ASSERT_EQ(nc_inq_varid(id, "drop_size_distribution", &nd_var), NC_NOERR);
  ASSERT_EQ(nc_inq_varndims(id, nd_var, &ndims), NC_NOERR);
  ASSERT_EQ(ndims, 2);
  nc_inq_vardimid(id, nd_var, dims);
  char d0[NC_MAX_NAME + 1] = {}, d1[NC_MAX_NAME + 1] = {};
  nc_inq_dimname(id, dims[0], d0);
  nc_inq_dimname(id, dims[1], d1);
  EXPECT_EQ(std::string(d0) + " x " + d1, "time x diameter_bin");

  // Per particle: the CSV's values, the time in UTC.
  const size_t np = particles.size();
  const auto ptime = var_values<double>(id, "particle_time", np, nc_get_var_double);
  const auto diam = var_values<float>(id, "equivalent_diameter", np, nc_get_var_float);
  const auto speed = var_values<float>(id, "fall_speed", np, nc_get_var_float);
  const auto delay = var_values<float>(id, "fall_speed_delay_only", np, nc_get_var_float);
  const auto widths = var_values<short>(id, "width_b_px", np, nc_get_var_short);
  const auto flags = var_values<signed char>(id, "fall_speed_flag", np, nc_get_var_schar);
  const auto use = var_values<signed char>(id, "product_flag", np, nc_get_var_schar);
  int implausible = 0, used = 0, slower = 0;
  for (size_t i = 0; i < np; ++i) {
    const auto& p = particles[i];
    ASSERT_DOUBLE_EQ(ptime[i], 1115078400.0 + num(p, "y_start") / 34000.0) << i;
    ASSERT_NEAR(ptime[i], num(p, "time_unix_s"), 1e-6) << i;
    ASSERT_EQ(flags[i], std::stoi(p.at("fall_speed_flag"))) << i;
    ASSERT_EQ(use[i], std::stoi(p.at("product_flag"))) << i;
    ASSERT_EQ(diam[i], static_cast<float>(num(p, "eq_diam_mm"))) << i;
    ASSERT_NEAR(speed[i], num(p, "speed_m_s"), 1e-5 * speed[i]) << i;
    ASSERT_EQ(widths[i], std::stoi(p.at("width_b_px"))) << i;
    implausible += flags[i] == 1 || flags[i] == 2 ? 1 : 0;
    used += use[i] == 0 ? 1 : 0;
    slower += delay[i] < speed[i] ? 1 : 0;
  }
  // The calibration's height deviations make the plain delay look short: the delay-only speed is
  // the higher one for nearly every drop.
  EXPECT_LT(slower, static_cast<int>(np) / 20);

  // Per minute: the CSV's values; the minute's counts add up to the particles used.
  const size_t nm = minutes.size();
  const auto time = var_values<double>(id, "time", nm, nc_get_var_double);
  const auto bounds = var_values<double>(id, "time_bnds", 2 * nm, nc_get_var_double);
  const auto rate = var_values<float>(id, "rain_rate", nm, nc_get_var_float);
  const auto counts = var_values<int>(id, "counts", nm * 80, nc_get_var_int);
  const auto full = var_values<signed char>(id, "full_minute", nm, nc_get_var_schar);
  const auto bins = var_values<float>(id, "diameter_bin_bnds", 160, nc_get_var_float);
  int csv_implausible = 0, csv_used = 0;
  for (size_t i = 0; i < nm; ++i) {
    EXPECT_EQ(time[i], num(minutes[i], "time_unix_s"));
    EXPECT_EQ(bounds[2 * i + 1] - bounds[2 * i], 60.0);
    EXPECT_NEAR(rate[i], num(minutes[i], "rain_rate_mm_per_h"), 1e-5 * rate[i]);
    EXPECT_EQ(full[i], std::stoi(minutes[i].at("full_minute")));
    int sum = 0;
    for (int k = 0; k < 80; ++k) sum += counts[i * 80 + k];
    EXPECT_EQ(sum, std::stoi(minutes[i].at("used")));
    csv_implausible += std::stoi(minutes[i].at("implausible"));
    csv_used += sum;
  }
  EXPECT_EQ(implausible, csv_implausible);
  EXPECT_EQ(used, csv_used);
  EXPECT_EQ(bins[0], 0.0f);
  EXPECT_EQ(bins[1], 0.125f);
  EXPECT_EQ(bins[159], 10.0f);
  EXPECT_EQ(nc_close(id), NC_NOERR);
}

TEST_F(SnodumpProductsRun, NetcdfOpensInPythonWhereXarrayIsInstalled) {
  std::string python;
  for (const char* p : {"python3", "/usr/bin/python3"})
    if (python.empty() && std::system((std::string(p) + " -c 'import xarray, netCDF4' >/dev/null 2>&1").c_str()) == 0)
      python = p;
  if (python.empty()) GTEST_SKIP() << "no python3 with xarray and netCDF4";
  const std::string script =
      "import xarray as xr\n"
      "ds = xr.open_dataset('out.nc')\n"
      "print(ds.sizes['particle'], ds.sizes['time'], str(ds.time.values[0])[:19], ds.rain_rate.attrs['units'],\n"
      "      int(ds.counts.sum()) == int((ds.product_flag == 0).sum()))\n";
  dp_test::write_text(dir_->file("open.py"), script);
  const auto r = dp_test::run_tool(python, {"open.py"}, *dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::to_string(csv("particles.csv").size()) + " 4 2005-05-03T14:30:00 mm h-1 True\n");
}

TEST(SnodumpProductsCli, UnwritableNetcdfFileIsADataError) {
  scratch_dir dir;
  dp_test::write_text(dir.file("empty.sno"), "");
  const auto r = dp_test::run_tool(SNODUMP_BIN, {"--netcdf", dir.file("no/such/dir/o.nc"), "empty.sno"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("snodump: cannot write " + dir.file("no/such/dir/o.nc") + ": cannot create: "), std::string::npos)
      << r.err;
}

#endif  // SNODUMP_NETCDF
#endif  // ABGEN_BIN && SNODUMP_BIN

}  // namespace
