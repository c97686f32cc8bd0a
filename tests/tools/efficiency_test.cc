// The detection-efficiency model: the rules read from settings and calibration texts, the match
// probability in closed form, the tables and the weights they give, and on an hour of abgen rain
// under a strict WA_WB the corrected concentration against the ground truth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "sno_efficiency.h"
#include "support/abgen_run.h"
#include "support/rain_truth.h"

namespace {

// A main header of abgen's instrument with pixel sizes xs1, xs2 and line frequency line_fr.
dp::main_hd header(float xs1, float xs2, double line_fr) {
  dp::main_hd hd;
  hd.x_center = 320;
  hd.XSCALE0_1 = xs1;
  hd.XSCALE0_2 = xs2;
  hd.L0_1 = 680;
  hd.L0_2 = 700;
  hd.line_fr = line_fr;
  hd.HBL = 6.0f;
  hd.HBR = 6.2f;
  hd.HFR = 6.1f;
  return hd;
}

std::string setting(const char* key, const char* value) {
  std::string line = key;
  line.resize(60, ' ');
  return line + value + "\n";
}

TEST(EfficiencyRules, ReadFromSettingsAndCalibrationTexts) {
  const std::string settings = "header\n" + setting("WA_WB_OLD", "0.5") + setting("WA_WB", "0.80") +
                               setting("DELTA_HGT", "7");
  const std::string calib =
      "title\nno.\ndiameter:   0.30   0.50   0.75   1.00   1.50   2.00   3.00   4.00   5.50   7.00\ntext\n"
      "height A: 0 0 0 0 0 0 0 0 0 0\nheight B: 0 0 0 0 0 0 0 0 0 0\n"
      "width A :   8.00   6.00   4.50   3.50   2.50   2.00   1.00   0.50   0.00  -1.00\n"
      "width B :   7.00   5.50   4.00   3.00   2.00   1.50   1.00   0.00  -0.50  -1.00\n";
  dp::pairing_rules r;
  std::string why;
  ASSERT_TRUE(dp::read_pairing_rules(settings, calib, &r, &why)) << why;
  EXPECT_EQ(r.wa_wb, 0.5f);  // the first line that begins with the key counts, as in the run
  EXPECT_EQ(r.delta_hgt, 7);
  EXPECT_EQ(r.diam[9], 7.0f);
  EXPECT_EQ(r.dev_wa[0], 8.0f);
  EXPECT_EQ(r.dev_wb[8], -0.5f);
  ASSERT_TRUE(dp::read_pairing_rules(settings, "", &r, &why));
  EXPECT_EQ(r.diam[0], 0.0f);

  EXPECT_FALSE(dp::read_pairing_rules(setting("DELTA_HGT", "7"), "", &r, &why));
  EXPECT_EQ(why, "no WA_WB in the settings");
  EXPECT_FALSE(dp::read_pairing_rules(setting("WA_WB", "0") + setting("DELTA_HGT", "7"), "", &r, &why));
  EXPECT_EQ(why, "WA_WB \"0\" is not a number above 0 and at most 1");
  EXPECT_FALSE(dp::read_pairing_rules(setting("WA_WB", "0.7"), "", &r, &why));
  EXPECT_EQ(why, "no DELTA_HGT in the settings");
  EXPECT_FALSE(dp::read_pairing_rules(settings, "a\nb\n", &r, &why));
  EXPECT_EQ(why, "the calibration has no line 3");
  std::string unordered = calib;
  unordered.replace(unordered.find("0.50"), 4, "0.20");
  EXPECT_FALSE(dp::read_pairing_rules(settings, unordered, &r, &why));
  EXPECT_EQ(why, "the calibration's reference diameters do not increase");
}

// A drop whose widest slice is 2.5 pixels in both cameras shows 2 or 3 pixels in each, each with
// probability one half: 2 against 3 fails WA_WB 0.7 (0.667) but passes 0.6; 3.5 pixels (3 or 4)
// pass 0.7 and lose 3 against 4 (0.75) under 0.8. Line counts 20 apart fail DELTA_HGT 10.
TEST(EfficiencyModel, MatchProbabilityInClosedForm) {
  const dp::pairing_rules r7{0.7f, 10, {}, {}, {}}, r6{0.6f, 10, {}, {}, {}}, r8{0.8f, 10, {}, {}, {}};
  EXPECT_NEAR(dp::pair_passes(2.5, 2.5, 1e4, r7), 0.5, 1e-12);
  EXPECT_NEAR(dp::pair_passes(2.5, 2.5, 1e4, r6), 1.0, 1e-12);
  EXPECT_NEAR(dp::pair_passes(3.5, 3.5, 1e4, r7), 1.0, 1e-12);
  EXPECT_NEAR(dp::pair_passes(3.5, 3.5, 1e4, r8), 0.5, 1e-12);
  EXPECT_NEAR(dp::pair_passes(0.5, 0.5, 1e4, r6), 0.25, 1e-12);  // seen by both cameras at all
  EXPECT_EQ(dp::pair_passes(1.0, 3.0, 1e4, r6), 0.0);
  EXPECT_NEAR(dp::pair_passes(40.0, 40.0, 20.0, r8), 1.0, 1e-12);
}

// The evaluation's volume of a finely sampled sphere is the sphere's; two cameras that see one
// line more than the other scale the slices to the mean line count.
TEST(EfficiencyModel, RecordedDiameterOfTheEvaluation) {
  std::vector<int> w;
  for (int j = 0; j < 900; ++j) {
    const double z = (j + 0.5) / 450.0 - 1;
    w.push_back(static_cast<int>(std::lround(900 * std::sqrt(1 - z * z))));
  }
  EXPECT_NEAR(dp::recorded_diameter(w.data(), 900, w.data(), 900, 0.001, 0.001, 0.001), 0.9, 0.9e-3);
  const int a[] = {2, 3, 2}, b[] = {2, 3, 3, 1};
  const double v = std::numbers::pi / 4 * (2 * 2 + 3 * 3 + 2 * 3) * 0.15 * 0.16 * 0.05 * 7 / 6;
  EXPECT_NEAR(dp::recorded_diameter(a, 3, b, 4, 0.15, 0.16, 0.05), std::cbrt(6 * v / std::numbers::pi), 1e-12);
}

// The tables: a WA_WB that any two widths pass keeps every drop both cameras see, and its
// response only moves drops between recorded diameters; a strict one loses small drops and keeps
// large ones. Weights and flags follow.
TEST(EfficiencyModel, TablesAndWeights) {
  const dp::main_hd hd = header(0.15f, 0.155f, 34000);
  const dp::efficiency_table loose = dp::efficiency_model(hd, {0.2f, 10, {}, {}, {}}, dp::speed_check{});
  const dp::efficiency_table strict = dp::efficiency_model(hd, {0.8f, 10, {}, {}, {}}, dp::speed_check{});
  for (const double d : {0.2, 0.3, 0.5, 1.0, 3.0, 5.0}) EXPECT_NEAR(dp::pass_probability(loose, d), 1.0, 1e-9) << d;
  // Drops of 0.3 mm and more all reach the file, recorded within about a pixel of their size.
  EXPECT_NEAR(dp::efficiency_mean(loose, 0.3, 2.5), 1.0, 0.02);
  EXPECT_NEAR(dp::efficiency_mean(loose, 0.75, 1.75), 1.0, 0.02);
  EXPECT_NEAR(dp::efficiency_mean(loose, 2.5, 5), 1.0, 1e-9);
  EXPECT_LT(dp::pass_probability(strict, 0.6), 0.9);  // 4 pixels against 5 pass, 3 against 4 do not
  EXPECT_LT(strict.bin[4], 0.9);
  EXPECT_GT(dp::efficiency_at(strict, 5.0), 0.99);
  EXPECT_NEAR(strict.bin[4], dp::efficiency_mean(strict, 0.5, 0.625), 1e-12);
  EXPECT_EQ(dp::efficiency_at(strict, 0.304), strict.prior.seen[30] / strict.prior.truth[30]);
  EXPECT_NEAR(dp::efficiency_mean(strict, 9.5, 10), 1.0, 1e-6);
  // Edges where the prior holds no drops (or none at all) give no efficiency.
  EXPECT_TRUE(std::isnan(dp::efficiency_mean(strict, 1e300, INFINITY)));
  EXPECT_TRUE(std::isnan(dp::efficiency_mean(strict, NAN, 1.0)));
  // A damaged header gives a table, not a hang: no line or no pixel size sees nothing.
  for (const double fr : {0.0, std::nan("")}) {
    dp::main_hd broken = hd;
    broken.line_fr = fr;
    broken.XSCALE0_1 = 0;
    const dp::efficiency_table t = dp::efficiency_model(broken, {0.8f, 10, {}, {}, {}}, dp::speed_check{});
    EXPECT_EQ(dp::efficiency_at(t, 0.5), 0.0);
  }

  dp::particle_products p;
  dp::apply_efficiency(p, 0.3, &strict, 0.0);
  EXPECT_EQ(p.efficiency, dp::efficiency_at(strict, 0.3));
  EXPECT_EQ(p.weight, 1.0 / p.efficiency);
  EXPECT_EQ(p.efficiency_flag, dp::efficiency_use::corrected);
  dp::efficiency_table low;
  low.d_step = 1;
  low.eff = {0.19, 0.19};
  dp::apply_efficiency(p, 0.5, &low, 0.0);
  EXPECT_EQ(p.efficiency, 0.19);
  EXPECT_EQ(p.weight, 1.0);
  EXPECT_EQ(p.efficiency_flag, dp::efficiency_use::below_floor);
  dp::apply_efficiency(p, 0.35, nullptr, 0.0);
  EXPECT_TRUE(std::isnan(p.efficiency) && std::isnan(p.weight));
  EXPECT_EQ(p.efficiency_flag, dp::efficiency_use::no_model);

  // The stream factor: in light rain the drops rarely meet. With a strict WA_WB a drop whose own
  // pair fails takes another drop's image in heavy rain: its bins lose more, while the smallest
  // bin, where such wrong pairs are mostly recorded, gains.
  for (int k = 3; k < dp::k_factor_bins; ++k) EXPECT_NEAR(strict.factor[0][k], 1.0, 0.03) << k;
  EXPECT_GT(dp::stream_factor(strict, 0.3, 300.0), dp::stream_factor(strict, 0.3, 1.0));
  EXPECT_LT(dp::stream_factor(strict, 0.7, 300.0), dp::stream_factor(strict, 0.7, 1.0));
  EXPECT_EQ(dp::stream_factor(strict, 0.7, 0.0), 1.0);
  EXPECT_EQ(dp::stream_factor(strict, 3.5, 300.0), 1.0);
  EXPECT_EQ(dp::stream_factor(strict, 0.7, 1e6), strict.factor[dp::k_factor_rates - 1][5]);
  EXPECT_NEAR(dp::stream_factor(strict, 0.7, std::sqrt(10.0 * 30.0)), (strict.factor[2][5] + strict.factor[3][5]) / 2, 1e-12);
  dp::apply_efficiency(p, 0.7, &strict, 300.0);
  EXPECT_EQ(p.efficiency, dp::efficiency_at(strict, 0.7) * dp::stream_factor(strict, 0.7, 300.0));

  // The response fitted to a minute's counts. Counts the prior itself would give leave it as it
  // is, no counts give the prior; rain without drops below 0.3 mm (as abgen's) spills fewer small
  // drops into 0.25-0.375 mm, and the fit takes that bin's efficiency from the prior's most of
  // the way to the one of the rain that made the counts.
  const size_t steps = dp::k_recorded_steps, cells = strict.response.size() / steps;
  double counts[dp::k_recorded_steps] = {};
  EXPECT_EQ(dp::fit_response(strict, counts).seen, strict.prior.seen);
  for (size_t s = 0; s < steps; ++s) counts[s] = 5000 * strict.prior.seen[s];
  EXPECT_NEAR(dp::efficiency_mean(strict, dp::fit_response(strict, counts), 0.25, 0.5),
              dp::efficiency_mean(strict, 0.25, 0.5), 1e-9);
  dp::step_weights cut{std::vector<double>(steps), std::vector<double>(steps)};
  for (size_t i = 0; i < cells; ++i) {
    const double d = 0.05 + (i + 0.5) * dp::k_cell_mm, mass = d < 0.3 ? 0 : std::exp(-2.5 * d);
    for (size_t s = 0; s < steps; ++s) cut.seen[s] += mass * strict.response[i * steps + s];
    if (d < 1) cut.truth[static_cast<size_t>(d * 100)] += mass;
  }
  for (size_t s = 0; s < steps; ++s) counts[s] = 5000 * cut.seen[s];
  const double prior_bin = dp::efficiency_mean(strict, 0.25, 0.375), cut_bin = dp::efficiency_mean(strict, cut, 0.25, 0.375);
  const double fitted_bin = dp::efficiency_mean(strict, dp::fit_response(strict, counts), 0.25, 0.375);
  EXPECT_LT(cut_bin, prior_bin - 0.03);
  EXPECT_LT(std::fabs(fitted_bin - cut_bin), 0.5 * (prior_bin - cut_bin));

  // A minute with few counts is fitted with its neighbours', until they hold enough drops.
  dp::file_corrections c;
  c.uncorrected.minutes[10].steps[40] = 100;
  c.uncorrected.minutes[11].steps[30] = 3000;
  c.uncorrected.minutes[13].steps[60] = 3000;
  double pooled[dp::k_recorded_steps] = {};
  pooled[40] = 100;
  pooled[30] = 3000;
  const dp::step_weights& w = dp::fitted_response(c, strict, 10);
  EXPECT_EQ(w.seen, dp::fit_response(strict, pooled).seen);
  for (int s = 0; s < dp::k_recorded_steps; ++s) EXPECT_FALSE(std::isinf(dp::efficiency_at(strict, w, s * 0.01))) << s;
  EXPECT_EQ(&w, &dp::fitted_response(c, strict, 10));
  p.time = 10 * 60 + 5;
  dp::correct_particle(p, 0.3, &strict, c);
  EXPECT_EQ(p.efficiency, dp::efficiency_at(strict, w, 0.3) * dp::stream_factor(strict, 0.3, 0));
}

// The stream itself: the same seed gives the same stream; drops that arrive one at a time under
// a WA_WB any widths pass all reach the products, each in or next to its own 0.01 mm step; in a
// dense stream under a strict WA_WB wrong partners cost drops of 0.5-1.5 mm.
TEST(EfficiencyModel, StreamOfDropsThroughThePairing) {
  const dp::main_hd hd = header(0.19f, 0.18f, 25000);
  const dp::speed_check check;
  const auto share = [](const dp::stream_response& s, int from, int to) {
    double seen = 0, truth = 0;
    for (int k = from; k < to; ++k) seen += s.seen[static_cast<size_t>(k)], truth += s.truth[static_cast<size_t>(k)];
    return seen / truth;
  };
  const dp::stream_response thin = dp::simulate_stream(hd, {0.2f, 100, {}, {}, {}}, check, 1e-6, 20000, 5, 2.5);
  EXPECT_EQ(thin.seen, dp::simulate_stream(hd, {0.2f, 100, {}, {}, {}}, check, 1e-6, 20000, 5, 2.5).seen);
  EXPECT_NEAR(share(thin, 50, 200), 1.0, 0.03);
  const dp::pairing_rules strict{0.75f, 10, {}, {}, {}};
  const double alone = share(dp::simulate_stream(hd, strict, check, 1e-6, 40000, 5, 1.35), 50, 150);
  const double dense = share(dp::simulate_stream(hd, strict, check, 8e-3, 40000, 5, 1.35), 50, 150);
  EXPECT_LT(dense, alone - 0.03) << alone << " " << dense;
}

#if defined(ABGEN_BIN) && defined(SNODUMP_BIN)

double field(const std::map<std::string, std::string>& row, const char* key) { return std::stod(row.at(key)); }

// An hour of 5 mm/h under WA_WB 0.75: the pairing loses a tenth of the drops and more, the
// corrected concentration is within 5 % of the truth, minute by minute (median) and over the hour.
TEST(EfficiencyRun, CorrectedConcentrationOfAnHourMeetsTheTruth) {
  dp_test::scratch_dir dir;
  const auto gen = dp_test::run_tool(
      ABGEN_BIN, {"--dir", ".", "--rain", "5", "--duration", "3630", "--wa-wb", "0.75", "--seed", "5", "--quiet"}, dir);
  ASSERT_EQ(gen.status, 0) << gen.err;
  ASSERT_EQ(dp_test::run_droppair(dir, {"V05123_1.ab"}).status, 0);
  const auto dump = dp_test::run_tool(SNODUMP_BIN, {"--minute-csv", "minutes.csv", "V05123_1.sno"}, dir);
  ASSERT_EQ(dump.status, 0) << dump.err;
  dp::sno_scan scan;
  dp::sno_fault fault;
  ASSERT_TRUE(dp::scan_sno(dir.file("V05123_1.sno"), &scan, &fault, nullptr)) << dp::fault_text(fault);
  const auto truth =
      dp_test::truth_per_minute(dp_test::read_csv(dp_test::read_text(dir.file("V05123_1.csv"))), scan.headers[0].hd);

  std::vector<double> plain, corrected;
  double sum_plain = 0, sum_corrected = 0, sum_truth = 0;
  for (const auto& m : dp_test::read_csv(dp_test::read_text(dir.file("minutes.csv")))) {
    if (m.at("full_minute") != "1") continue;
    const double t = truth.at(std::stoll(m.at("time_unix_s")) / 60).m0;
    plain.push_back(field(m, "concentration_per_m3") / t);
    corrected.push_back(field(m, "concentration_corrected_per_m3") / t);
    sum_plain += field(m, "concentration_per_m3");
    sum_corrected += field(m, "concentration_corrected_per_m3");
    sum_truth += t;
  }
  ASSERT_GE(corrected.size(), 59u);
  const auto median = [](std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
  };
  EXPECT_LT(median(plain), 0.92);  // the loss is real
  EXPECT_NEAR(median(corrected), 1.0, 0.05);
  EXPECT_NEAR(sum_corrected / sum_truth, 1.0, 0.05);
  EXPECT_LT(sum_plain, sum_corrected);
}

#endif  // ABGEN_BIN && SNODUMP_BIN

}  // namespace
