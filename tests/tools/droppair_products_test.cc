// droppair-products over a small archive of abgen rain: a file across midnight feeding two days,
// a file overlapping it counted only after its end, an empty day between files, a repeated and a
// damaged file named and not counted, a file of another instrument refused; the 60 s products,
// plain and corrected for the detection efficiency, equal to snodump's per-minute ones; a file
// without settings and files of two settings in one day; the time step, the bins and the station
// file checked; the corrected sums of the day grid on hand-made particles.
#include <gtest/gtest.h>

// The products command is built only where netCDF-C, yaml-cpp and OpenSSL are found.
#ifdef DROPPAIR_PRODUCTS_BIN

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "day_grid.h"
#include "input_set.h"
#include "sno_efficiency.h"
#include "sno_products.h"
#include "sno_reader.h"
#include "station_file.h"
#include "support/abgen_run.h"

#include <netcdf.h>

namespace {

namespace fs = std::filesystem;
using dp_test::scratch_dir;

TEST(ProductsOptions, StepsDivideTheDayAndEdgesIncrease) {
  const struct {
    const char* text;
    int32_t step;  // 0: refused
  } steps[] = {{"60", 60}, {"10s", 10}, {"5min", 300}, {"1h", 3600}, {"1d", 86400}, {"9", 0},
               {"7", 0},   {"2d", 0},   {"1.5", 0},    {"", 0},      {"60 s", 0},   {"1w", 0}};
  for (const auto& c : steps) {
    int32_t step = -1;
    std::string why;
    EXPECT_EQ(dp::parse_step(c.text, &step, &why), c.step != 0) << c.text;
    if (c.step != 0) {
      EXPECT_EQ(step, c.step) << c.text;
    }
  }
  std::vector<double> e, bad_edges;
  std::string why;
  EXPECT_TRUE(dp::parse_edges("0,0.5,1,2.5", &e, &why));
  EXPECT_EQ(e, (std::vector<double>{0, 0.5, 1, 2.5}));
  for (const char* bad : {"1", "0,1,1", "0,2,1", "0,,1", "0,1,", "-1,1", "0,x"})
    EXPECT_FALSE(dp::parse_edges(bad, &bad_edges, &why)) << bad;
  EXPECT_EQ(dp::bin_of(e, 0.0), 0);
  EXPECT_EQ(dp::bin_of(e, 2.4999), 2);
  EXPECT_EQ(dp::bin_of(e, 2.5), -1);
  EXPECT_EQ(dp::bin_of(e, NAN), -1);
}

// The command line is read from left to right, options and inputs mixed: only whole option names,
// a value after "=" or as the next argument ("-" and "-5" are values too, or inputs), "--" no end
// of the options; the first fault on the line is the one told.
TEST(ProductsOptions, CommandLineIsReadWholeAndInItsOrder) {
  scratch_dir dir;
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--qu", "--out", "o", "a"}, "unknown option --qu"},
      {{"a", "--quiet=1", "--out", "o"}, "unknown option --quiet=1"},
      {{"-hx"}, "unknown option -hx"},
      {{"a", "--", "b"}, "unknown option --"},
      {{"--bogus", "--out"}, "unknown option --bogus"},
      {{"a", "--out"}, "option --out needs a value"},
      {{"--out=", "a"}, "option --out needs a value"},
      {{"-", "--out", "o", "--step=-5"}, "--step takes 10 s to 1 day that divide the day (60, 300s, 5min, 1h, 1d), not -5"},
      {{"--out", "-", "--speed-law", "-"}, "no particle file or directory given"},
  };
  for (const auto& c : cases) {
    const dp_test::tool_result r = dp_test::run_tool(DROPPAIR_PRODUCTS_BIN, c.args, dir);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_EQ(r.err, "droppair-products: " + c.message + "\nTry 'droppair-products --help'.\n");
  }
  for (const char* help : {"-h", "--help=x"})
    EXPECT_EQ(dp_test::run_tool(DROPPAIR_PRODUCTS_BIN, {"a", help}, dir).out.rfind("usage: droppair-products", 0), 0u);
}

TEST(ProductsStation, RequiredKeysAndPositionsAreChecked) {
  scratch_dir dir;
  const auto read = [&](const std::string& text, dp::station_info* s, std::string* why) {
    dp_test::write_text(dir.file("s.yml"), text);
    return dp::read_station(dir.file("s.yml"), s, why);
  };
  dp::station_info s;
  std::string why;
  ASSERT_TRUE(read("station_name: Garden 2/B\nlatitude: 47.5\nlongitude: 355\naltitude: 977\n"
                   "sensor_serial_number: '0042'\ncampaign_name: X\nauthors: [A, B]\n",
                   &s, &why))
      << why;
  EXPECT_EQ(s.station_id, "Garden_2_B");
  EXPECT_DOUBLE_EQ(s.longitude, -5.0);
  EXPECT_EQ(s.sensor_serial_number, "0042");
  ASSERT_EQ(s.extra.size(), 2u);
  EXPECT_EQ(s.extra[1].second, "A, B");
  EXPECT_FALSE(read("station_name: G\nlatitude: 95\nlongitude: 0\naltitude: 0\n", &s, &why));
  EXPECT_NE(why.find("latitude"), std::string::npos) << why;
  EXPECT_FALSE(read("station_name: G\nlatitude: 1\nlongitude: 0\n", &s, &why));
  EXPECT_NE(why.find("altitude: required key missing"), std::string::npos) << why;
  EXPECT_FALSE(read("station_name: [unclosed\n", &s, &why));
  EXPECT_FALSE(read("- a\n- b\n", &s, &why));
}

TEST(ProductsGrid, CorrectedSumsWeighParticlesAndEfficiencyIsTheSecondsWeightedMean) {
  dp::grid_layout layout;
  layout.edges = {0, 1, 2};
  dp::day_grid g;
  dp::grid_init(g, 10, layout);
  const double day0 = 10.0 * dp::k_day_s;
  // Efficiency 0.3 D of one file over the first minute, 0.15 of another over the next two, and a
  // file without a model after them.
  dp::efficiency_table rising, flat;
  rising.d_first = flat.d_first = 0;
  rising.d_step = flat.d_step = 2;
  rising.eff = {0.0, 0.6};
  flat.eff = {0.15, 0.15};
  dp::grid_cover(g, day0, day0 + 60, &rising);
  dp::grid_cover(g, day0 + 60, day0 + 180, &flat);
  dp::grid_cover(g, day0 + 180, day0 + 240, nullptr);

  const auto add = [&](double t, double d, dp::efficiency_use flag, double weight) {
    dp::particle_values v;
    v.eq_diam_mm = d;
    v.speed_m_s = 4;
    dp::particle_products p;
    p.time = day0 + t;
    p.area_m2 = 0.002;
    p.verdict = dp::speed_verdict::plausible;
    p.use = dp::product_use::used;
    p.efficiency_flag = flag;
    p.weight = weight;
    dp::grid_add(g, layout, v, p, dp::grid_use(p, d, layout));
  };
  add(10, 0.5, dp::efficiency_use::corrected, 2.0);      // minute 0: counted twice
  add(20, 1.5, dp::efficiency_use::below_floor, 1.0);    //           counted once
  add(70, 1.5, dp::efficiency_use::corrected, 4.0);      // minute 1
  add(190, 1.5, dp::efficiency_use::no_model, NAN);      // minute 3: no corrected values
  const dp::day_products r = dp::grid_finish(g, layout);

  const double w = 1 / (0.002 * 4.0);
  EXPECT_EQ(r.nt[0], 2 * w / 60);
  EXPECT_EQ(r.nt_c[0], 3 * w / 60);
  EXPECT_EQ(r.nd_c[0], 2 * w / 60);
  EXPECT_EQ(r.nd_c[1], w / 60);
  EXPECT_EQ(g.below_floor[0], 1);
  EXPECT_EQ(r.nt_c[1], 4 * w / 60);
  EXPECT_EQ(r.amount_c[1], 4 * r.amount[1]);
  EXPECT_EQ(r.nt_c[2], 0.0);
  EXPECT_EQ(r.nt[3], w / 60);
  for (const double x : {r.nt_c[3], r.rain_rate_c[3], r.dm_c[3], r.z_c[3], r.nd_c[7], r.accumulation_c[3],
                         r.accumulation_c[1439], r.rain_total_c})
    EXPECT_TRUE(std::isnan(x));
  EXPECT_EQ(r.accumulation_c[2], r.amount_c[0] + r.amount_c[1]);
  EXPECT_EQ(r.accumulation[1439], r.amount[0] + r.amount[1] + r.amount[3]);

  // Bin means 0.15 and 0.45 of the first file, 0.15 of the second: weighted 1 : 2.
  EXPECT_TRUE(r.efficiency_mixed);
  EXPECT_EQ(r.files_without_model, 1);
  ASSERT_EQ(r.efficiency.size(), 2u);
  EXPECT_NEAR(r.efficiency[0], 0.15, 1e-12);
  EXPECT_NEAR(r.efficiency[1], 0.25, 1e-12);
  EXPECT_EQ(r.efficiency_flag, (std::vector<int8_t>{1, 0}));

  // One model alone is taken as it is; none gives NaN and flag 2.
  dp::grid_init(g, 10, layout);
  dp::grid_cover(g, day0, day0 + 60, &rising);
  dp::grid_cover(g, day0 + 60, day0 + 60, &flat);  // no second of the day: left out
  const dp::day_products one = dp::grid_finish(g, layout);
  EXPECT_FALSE(one.efficiency_mixed);
  EXPECT_EQ(one.efficiency[1], dp::efficiency_mean(rising, 1, 2));
  dp::grid_init(g, 10, layout);
  dp::grid_cover(g, day0, day0 + 60, nullptr);
  const dp::day_products none = dp::grid_finish(g, layout);
  EXPECT_TRUE(std::isnan(none.efficiency[0]));
  EXPECT_EQ(none.efficiency_flag, (std::vector<int8_t>{2, 2}));
}

#ifdef ABGEN_BIN

/// Runs abgen, then droppair, in dir/sub; true when both ended well.
bool recorded(const scratch_dir& dir, const std::string& sub, const std::vector<std::string>& abgen_args) {
  fs::create_directories(dir.path / sub);
  std::string cmd = "cd " + dp_test::shell_quote((dir.path / sub).string()) + " && " +
                    dp_test::shell_quote(ABGEN_BIN) + " --dir . --quiet --no-truth";
  for (const auto& a : abgen_args) cmd += " " + dp_test::shell_quote(a);
  cmd += " >/dev/null && for f in V*.ab; do " + dp_test::shell_quote(DROPPAIR_BIN) + " $f >/dev/null </dev/null || exit 1; done";
  return std::system(cmd.c_str()) == 0;
}

/// The particle times of a .sno, s since 1970.
std::vector<double> times_of(const std::string& sno) {
  dp::sno_scan scan;
  dp::sno_fault fault;
  std::vector<double> t;
  EXPECT_TRUE(dp::scan_sno(sno, &scan, &fault, nullptr));
  dp::for_each_particle(sno, scan, [&](const dp::particle_values& v) {
    t.push_back(dp::derive_products(v, scan.headers, {}, false).time);
  }, &fault, nullptr);
  return t;
}

struct nc_file {
  int id = -1;
  explicit nc_file(const std::string& path) { EXPECT_EQ(nc_open(path.c_str(), NC_NOWRITE, &id), NC_NOERR) << path; }
  ~nc_file() {
    if (id >= 0) nc_close(id);
  }
  size_t dim(const char* name) const {
    int d = -1;
    size_t n = 0;
    nc_inq_dimid(id, name, &d);
    nc_inq_dimlen(id, d, &n);
    return n;
  }
  std::vector<double> var(const char* name) const {
    int v = -1, nd = 0, dims[4];
    EXPECT_EQ(nc_inq_varid(id, name, &v), NC_NOERR) << name;
    nc_inq_varndims(id, v, &nd);
    nc_inq_vardimid(id, v, dims);
    size_t n = 1;
    for (int i = 0; i < nd; ++i) {
      size_t len = 0;
      nc_inq_dimlen(id, dims[i], &len);
      n *= len;
    }
    std::vector<double> x(n);
    if (n > 0) nc_get_var_double(id, v, x.data());
    return x;
  }
  std::string att(const char* name) const {
    size_t len = 0;
    if (nc_inq_attlen(id, NC_GLOBAL, name, &len) != NC_NOERR) return "";
    std::string s(len, '\0');
    nc_get_att_text(id, NC_GLOBAL, name, s.data());
    return s;
  }
};

double sum(const std::vector<double>& x) {
  double s = 0;
  for (const double v : x) s += v;
  return s;
}

/// An archive of four days: a (2005-05-03 23:58:50, 90 s, across midnight), c (2005-05-04
/// 00:00:10, 40 s, starting before a ends), nothing on 05-05, b (2005-05-06 00:00:05, 15 s).
class ProductsArchive : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<scratch_dir>();
    ok_ = recorded(*dir_, "a", {"--start", "2005-05-03T23:58:50", "--duration", "90", "--rain", "20", "--seed", "11"}) &&
          recorded(*dir_, "c", {"--start", "2005-05-04T00:00:10", "--duration", "40", "--rain", "20", "--seed", "12"}) &&
          recorded(*dir_, "b", {"--start", "2005-05-06T00:00:05", "--duration", "15", "--rain", "20", "--seed", "13"});
  }
  static void TearDownTestSuite() { dir_.reset(); }
  static std::string path(const std::string& p) { return dir_->file(p); }
  static dp_test::tool_result products(const std::vector<std::string>& args) {
    return dp_test::run_tool(DROPPAIR_PRODUCTS_BIN, args, *dir_);
  }
  static std::unique_ptr<scratch_dir> dir_;
  static bool ok_;
};
std::unique_ptr<scratch_dir> ProductsArchive::dir_;
bool ProductsArchive::ok_ = false;

TEST_F(ProductsArchive, EveryMomentIsCountedOnceOnItsUtcDay) {
  ASSERT_TRUE(ok_);
  const auto r = products({"--out", "p1", "--summary", "p1/days.csv", "a", "b", "c"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("c/V05124_1.sno: starts before a/V05123_1.sno ends; only its particles after"),
            std::string::npos) << r.err;

  // Expected per day: all of a, of c only what comes after a's last particle, all of b.
  const std::vector<double> ta = times_of(path("a/V05123_1.sno")), tc = times_of(path("c/V05124_1.sno")),
                            tb = times_of(path("b/V05126_1.sno"));
  ASSERT_FALSE(ta.empty());
  ASSERT_FALSE(tc.empty());
  double a_end = 0;
  for (const double t : ta) a_end = std::max(a_end, t);
  ASSERT_LT(tc.front(), a_end) << "c must start before a ends";
  const double midnight = 1115164800.0;  // 2005-05-04 00:00 UTC
  double expected[4] = {0, 0, 0, static_cast<double>(tb.size())};
  for (const double t : ta) ++expected[t < midnight ? 0 : 1];
  for (const double t : tc) expected[1] += t > a_end ? 1 : 0;

  const char* days[4] = {"20050503", "20050504", "20050505", "20050506"};
  for (int d = 0; d < 4; ++d) {
    const nc_file grid(path(std::string("p1/oeu7_") + days[d] + "_dsd_60s.nc"));
    const nc_file table(path(std::string("p1/oeu7_") + days[d] + "_particles.nc"));
    EXPECT_EQ(grid.dim("time"), 1440u);
    EXPECT_EQ(grid.dim("diameter_bin"), 80u);
    EXPECT_EQ(sum(grid.var("particles")), expected[d]) << days[d];
    EXPECT_EQ(static_cast<double>(table.dim("particle")), expected[d]) << days[d];
    const std::vector<double> time = grid.var("time"), flag = grid.var("data_flag");
    EXPECT_EQ(time.front(), (midnight - 86400.0) + 86400.0 * d);
    EXPECT_EQ(time[1] - time[0], 60.0);
    // Not recorded: everything but the minutes of the files; the empty day wholly.
    size_t recorded_minutes = 0;
    for (const double f : flag) recorded_minutes += f != 2 ? 1 : 0;
    EXPECT_EQ(recorded_minutes, d == 2 ? 0u : d == 0 ? 2u : 1u) << days[d];
    const std::vector<double> acc = grid.var("rain_accumulation"), amount = grid.var("rain_amount");
    double total = 0;
    for (const double x : amount) total += std::isfinite(x) ? x : 0;
    EXPECT_NEAR(acc.back(), total, 1e-6);
    EXPECT_EQ(grid.att("featureType"), "timeSeries");
    EXPECT_EQ(table.att("featureType"), "point");
    EXPECT_EQ(grid.att("source_fingerprint"), table.att("source_fingerprint"));
  }
  const nc_file second(path("p1/oeu7_20050504_dsd_60s.nc"));
  const std::string inputs = second.att("input_files");
  EXPECT_EQ(inputs.substr(0, 10), "V05123_1.s");
  EXPECT_NE(inputs.find("\nV05124_1.sno "), std::string::npos) << inputs;
  EXPECT_NE(second.att("settings").find("DELTA_HGT"), std::string::npos);
  EXPECT_NE(second.att("calibration").find("# V05123_1.sno"), std::string::npos);
  const std::string csv = dp_test::read_text(path("p1/days.csv"));
  EXPECT_EQ(csv.substr(0, csv.find('\n')),
            "day,status,files,particles,particles_used,rain_mm,recorded_fraction,grid_file,particle_file");
  EXPECT_NE(csv.find("\n2005-05-05,written,0,0,0,0.000,0.0000,"), std::string::npos) << csv;

  // Nothing changed: every day left alone, totals still reported.
  const auto again = products({"--out", "p1", "--only-changed", "--summary", "p1/again.csv", "a", "b", "c"});
  ASSERT_EQ(again.status, 0) << again.err;
  const std::string csv2 = dp_test::read_text(path("p1/again.csv"));
  EXPECT_EQ(csv2.find(",written,"), std::string::npos) << csv2;
  std::string unchanged = csv;
  for (size_t at = 0; (at = unchanged.find(",written,", at)) != std::string::npos;) unchanged.replace(at, 9, ",unchanged,");
  EXPECT_EQ(csv2, unchanged);
}

TEST_F(ProductsArchive, MinuteProductsEqualSnodumpsAndStepsAddUp) {
  ASSERT_TRUE(ok_);
  ASSERT_EQ(products({"--out", "p2", "--no-particles", "a"}).status, 0);
  ASSERT_EQ(products({"--out", "p2", "--no-particles", "--step", "1h", "--bins", "0,1,2,10", "a"}).status, 0);
  EXPECT_FALSE(fs::exists(path("p2/oeu7_20050503_particles.nc")));

  // snodump's minute sums of file a for 23:59 of 2005-05-03, the one full minute of the day, with
  // the detection efficiency of the settings and calibration beside it.
  dp::sno_scan scan;
  dp::sno_fault fault;
  ASSERT_TRUE(dp::scan_sno(path("a/V05123_1.sno"), &scan, &fault, nullptr));
  dp::efficiency_set efficiency;
  std::string why;
  ASSERT_TRUE(dp::load_efficiency_set(path("a/DROPPAIR.SET"), path("a/corrfact.dat"), dp::speed_check{},
                                      &efficiency, &why)) << why;
  dp::minute_table minutes;
  dp::file_corrections first = dp::first_walk(path("a/V05123_1.sno"), scan, {}, false);
  dp::for_each_particle(path("a/V05123_1.sno"), scan, [&](const dp::particle_values& v) {
    dp::particle_products p = dp::derive_products(v, scan.headers, {}, false);
    dp::correct_particle(p, v.eq_diam_mm, dp::efficiency_for(efficiency, scan.headers, v.header), first);
    dp::minute_add(minutes, v, p);
  }, &fault, nullptr);
  const dp::efficiency_table& table = *dp::efficiency_for(efficiency, scan.headers, 0);
  const int64_t m = (1115164800 - 60) / 60;
  ASSERT_EQ(minutes.minutes.count(m), 1u);
  const dp::minute_values mv = dp::minute_finish(minutes.minutes[m]);

  const nc_file minute(path("p2/oeu7_20050503_dsd_60s.nc"));
  const size_t i = 1439;
  EXPECT_EQ(minute.var("data_flag")[i], 0);
  EXPECT_EQ(minute.var("rain_rate")[i], static_cast<float>(mv.rain_rate));
  EXPECT_EQ(minute.var("total_concentration")[i], static_cast<float>(mv.concentration));
  EXPECT_EQ(minute.var("reflectivity_factor")[i], static_cast<float>(mv.z));
  EXPECT_EQ(minute.var("mass_weighted_mean_diameter")[i], static_cast<float>(mv.dm));
  EXPECT_EQ(minute.var("equivalent_reflectivity_factor")[i], static_cast<float>(10 * std::log10(mv.z)));
  const std::vector<double> nd = minute.var("drop_size_distribution");
  for (int k = 0; k < dp::k_diam_bins; ++k) EXPECT_EQ(nd[i * 80 + k], static_cast<float>(mv.nd[k])) << k;

  // The corrected values likewise, bit for bit (under this loose WA_WB the correction mostly
  // moves small drops between recorded diameters, so the count may go either way).
  EXPECT_NE(mv.concentration_c, mv.concentration);
  EXPECT_EQ(minute.var("particles_uncorrected")[i], static_cast<double>(minutes.minutes[m].below_floor));
  EXPECT_EQ(minute.var("rain_rate_corrected")[i], static_cast<float>(mv.rain_rate_c));
  EXPECT_EQ(minute.var("total_concentration_corrected")[i], static_cast<float>(mv.concentration_c));
  EXPECT_EQ(minute.var("reflectivity_factor_corrected")[i], static_cast<float>(mv.z_c));
  EXPECT_EQ(minute.var("mass_weighted_mean_diameter_corrected")[i], static_cast<float>(mv.dm_c));
  EXPECT_EQ(minute.var("normalized_intercept_corrected")[i], static_cast<float>(mv.nw_c));
  EXPECT_EQ(minute.var("liquid_water_content_corrected")[i], static_cast<float>(mv.lwc_c));
  EXPECT_EQ(minute.var("equivalent_reflectivity_factor_corrected")[i], static_cast<float>(10 * std::log10(mv.z_c)));
  const std::vector<double> nd_c = minute.var("drop_size_distribution_corrected");
  const std::vector<double> eff = minute.var("bin_detection_efficiency"), eff_flag = minute.var("bin_efficiency_flag");
  for (int k = 0; k < dp::k_diam_bins; ++k) {
    EXPECT_EQ(nd_c[i * 80 + k], static_cast<float>(mv.nd_c[k])) << k;
    EXPECT_EQ(eff[k], static_cast<float>(table.bin[k])) << k;
    EXPECT_EQ(eff_flag[k], table.bin[k] >= dp::k_efficiency_floor ? 0 : 1) << k;
  }

  // The hour holds the same drops and rain as its minutes; 3 bins hold the counts of 80.
  const nc_file hour(path("p2/oeu7_20050503_dsd_3600s.nc"));
  EXPECT_EQ(hour.dim("time"), 24u);
  EXPECT_EQ(hour.dim("diameter_bin"), 3u);
  EXPECT_EQ(hour.var("particles")[23], sum(minute.var("particles")));
  EXPECT_NEAR(hour.var("rain_amount")[23], minute.var("rain_accumulation")[1439], 1e-5);
  EXPECT_EQ(hour.var("data_flag")[23], 1);
  EXPECT_EQ(hour.var("diameter_bin_bnds"), (std::vector<double>{0, 1, 1, 2, 2, 10}));
  EXPECT_NEAR(hour.var("rain_amount_corrected")[23], minute.var("rain_accumulation_corrected")[1439], 1e-5);
  EXPECT_EQ(hour.var("bin_detection_efficiency"),
            (std::vector<double>{static_cast<float>(dp::efficiency_mean(table, 0, 1)),
                                 static_cast<float>(dp::efficiency_mean(table, 1, 2)),
                                 static_cast<float>(dp::efficiency_mean(table, 2, 10))}));
}

TEST_F(ProductsArchive, CorrectedProductsNeedSettingsAndMixedSettingsAreAveraged) {
  ASSERT_TRUE(ok_);
  // File b alone, with no DROPPAIR.SET beside it or above: plain products, no corrected ones.
  fs::create_directories(path("bare"));
  for (const char* ext : {".sno", ".shd", ".abh"})
    fs::copy_file(path(std::string("b/V05126_1") + ext), path(std::string("bare/V05126_1") + ext));
  const auto r = products({"--out", "p6", "bare"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("bare/V05126_1.sno: no detection efficiency, the corrected products are left empty "
                       "(no settings file)\n"),
            std::string::npos) << r.err;
  {
    const nc_file grid(path("p6/oeu7_20050506_dsd_60s.nc"));
    const std::vector<double> used = grid.var("particles_used"), rr = grid.var("rain_rate"),
                              rr_c = grid.var("rain_rate_corrected");
    ASSERT_GT(used[0], 0);
    EXPECT_GT(rr[0], 0);
    EXPECT_TRUE(std::isnan(rr_c[0]));
    EXPECT_TRUE(std::isnan(grid.var("rain_accumulation_corrected")[1439]));
    EXPECT_TRUE(std::isnan(grid.var("bin_detection_efficiency")[5]));
    for (const double f : grid.var("bin_efficiency_flag")) EXPECT_EQ(f, 2);
    const nc_file table(path("p6/oeu7_20050506_particles.nc"));
    for (const double f : table.var("efficiency_flag")) EXPECT_EQ(f, 2);
  }
  // The settings given: the day's inputs differ, so --only-changed makes it again, corrected.
  const auto again = products({"--out", "p6", "--only-changed", "--settings", path("b/DROPPAIR.SET"), "bare"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("written"), std::string::npos) << again.out;
  EXPECT_NE(again.err.find("bare/V05126_1.sno: no corrfact.dat found"), std::string::npos) << again.err;
  {
    const nc_file grid(path("p6/oeu7_20050506_dsd_60s.nc"));
    EXPECT_GT(grid.var("rain_rate_corrected")[0], 0);
    EXPECT_EQ(grid.var("bin_efficiency_flag")[5], 0);
  }

  // File c with a narrower width-ratio window beside file a on 2005-05-04: the day's efficiency is
  // the mean of the two weighted by the seconds each covers, and its comment says so.
  fs::create_directories(path("c2"));
  for (const char* f : {"V05124_1.sno", "V05124_1.shd", "V05124_1.abh", "corrfact.dat"})
    fs::copy_file(path(std::string("c/") + f), path(std::string("c2/") + f));
  std::string set = dp_test::read_text(path("c/DROPPAIR.SET"));
  const size_t at = set.find("WA_WB ");
  ASSERT_NE(at, std::string::npos);
  ASSERT_EQ(set.substr(at + 60, 4), "0.60");
  set.replace(at + 60, 4, "0.90");
  dp_test::write_text(path("c2/DROPPAIR.SET"), set);
  ASSERT_EQ(products({"--out", "p7", "--no-particles", "a", "c2"}).status, 0);
  ASSERT_EQ(products({"--out", "p8", "--no-particles", "a", "c"}).status, 0);
  const nc_file mixed(path("p7/oeu7_20050504_dsd_60s.nc")), same(path("p8/oeu7_20050504_dsd_60s.nc"));
  int eff_var = -1;
  ASSERT_EQ(nc_inq_varid(mixed.id, "bin_detection_efficiency", &eff_var), NC_NOERR);
  size_t len = 0;
  ASSERT_EQ(nc_inq_attlen(mixed.id, eff_var, "comment", &len), NC_NOERR);
  std::string comment(len, '\0');
  nc_get_att_text(mixed.id, eff_var, "comment", comment.data());
  EXPECT_NE(comment.find("each weighted by the seconds it covers in the day"), std::string::npos) << comment;
  const std::vector<double> e_mixed = mixed.var("bin_detection_efficiency"), e_same = same.var("bin_detection_efficiency");
  // A narrower window loses more drops of every size: most of the small ones.
  for (size_t k = 0; k < e_same.size(); ++k) EXPECT_LE(e_mixed[k], e_same[k]) << k;
  EXPECT_LT(e_mixed[4], e_same[4] - 0.05);
}

TEST_F(ProductsArchive, RepeatedDamagedAndForeignFilesAreNamed) {
  ASSERT_TRUE(ok_);
  fs::create_directories(path("copy"));
  fs::create_directories(path("cut"));
  for (const char* ext : {".sno", ".shd", ".abh"}) {
    fs::copy_file(path(std::string("a/V05123_1") + ext), path(std::string("copy/V05123_1") + ext));
    fs::copy_file(path(std::string("b/V05126_1") + ext), path(std::string("cut/V05126_1") + ext));
  }
  fs::resize_file(path("cut/V05126_1.sno"), fs::file_size(path("cut/V05126_1.sno")) - 7);
  const auto r = products({"--out", "p3", "--summary", "p3/days.csv", "a", "copy", "cut"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("copy/V05123_1.sno: left out, the same bytes as"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("cut/V05126_1.sno: left out, it fails the consistency check: "), std::string::npos) << r.err;
  const nc_file day(path("p3/oeu7_20050503_dsd_60s.nc"));
  const std::vector<double> ta = times_of(path("a/V05123_1.sno"));
  size_t before_midnight = 0;
  for (const double t : ta) before_midnight += t < 1115164800.0 ? 1 : 0;
  EXPECT_EQ(sum(day.var("particles")), static_cast<double>(before_midnight));
  EXPECT_FALSE(fs::exists(path("p3/oeu7_20050506_dsd_60s.nc")));

  // Another instrument (other plane distances) in the same call is refused.
  ASSERT_TRUE(recorded(*dir_, "other", {"--start", "2005-05-07T00:00:00", "--duration", "5", "--planes", "5,5,5"}));
  const auto mixed = products({"--out", "p4", "a", "other"});
  EXPECT_EQ(mixed.status, 1);
  EXPECT_NE(mixed.err.find("is not from the instrument of"), std::string::npos) << mixed.err;
  EXPECT_NE(mixed.err.find("geometry: HBL 5 against 6"), std::string::npos) << mixed.err;
  EXPECT_FALSE(fs::exists(path("p4")));
  EXPECT_EQ(products({"--out", "p4", "--step", "7", "a"}).status, 2);

  // Past a file-size limit: exit 1 naming the file, no file left half written.
  const std::string limited = "cd " + dp_test::shell_quote(dir_->path.string()) + " && ulimit -f 200 && " +
                              dp_test::shell_quote(DROPPAIR_PRODUCTS_BIN) + " --out p5 a >/dev/null 2>p5.err";
  const int rc = std::system(limited.c_str());
  EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, 1);
  EXPECT_NE(dp_test::read_text(path("p5.err")).find("cannot write p5/oeu7_2005050"), std::string::npos);
  for (const auto& entry : fs::directory_iterator(path("p5")))
    EXPECT_NE(entry.path().extension(), ".part") << entry.path();
  EXPECT_EQ(products({"--out", "p4", "nothing-here"}).status, 1);
}

#endif  // ABGEN_BIN

}  // namespace

#endif  // DROPPAIR_PRODUCTS_BIN
