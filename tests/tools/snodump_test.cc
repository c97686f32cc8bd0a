// snodump on what real runs of the pipeline leave: the summary's numbers, the CSV rows (times and
// flags included) against the drops put in, the plot with the curve and band of the chosen law,
// --check passing on a correct run (a main header after the last particle included) and naming the
// first inconsistency of a flipped byte in each of the three files and of records out of order or
// repeated, every reader surviving truncation and flipped bytes of a small particle file; the
// summary, the CSV and the products refusing files that fail the check (or reading what they can
// with --salvage), outputs that name inputs, FIFOs, and a full disk that leaves no partial file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include <sys/stat.h>

#include "base/byte_order.h"
#include "sno_check.h"
#include "sno_csv.h"
#include "sno_plot.h"
#include "sno_products.h"
#include "sno_reader.h"
#include "sno_summary.h"
#include "support/rain_fixture.h"
#include "support/raw_fixture.h"
#include "support/scratch_run.h"

namespace {

using dp_test::bytes;
using dp_test::scratch_dir;

constexpr double k_freq = 34000.0;

/// A pipeline run on a rain file; its three outputs and the raw file lie in dir.
struct run_output {
  std::unique_ptr<scratch_dir> dir = std::make_unique<scratch_dir>();
  dp_test::rain_file rain;
  std::string file(const char* ext) const { return dir->file(std::string("V05123_1") + ext); }
  dp::check_paths paths(bool with_raw = true) const {
    return {file(".sno"), file(".shd"), file(".abh"), with_raw ? file(".ab") : ""};
  }
};

std::unique_ptr<run_output> run_rain(dp_test::rain_file rain) {
  auto out = std::make_unique<run_output>();
  out->rain = std::move(rain);
  dp_test::write_text(out->dir->file("DROPPAIR.SET"), dp_test::settings_text());
  dp_test::write_text(out->dir->file("corrfact.dat"), dp_test::neutral_corrfact());
  dp_test::write_file(out->file(".ab"), out->rain.raw);
  const auto r = dp_test::run_droppair(*out->dir, {"V05123_1.ab"});
  EXPECT_EQ(r.status, 0) << r.log;
  return out;
}

struct tool_result {
  int status = -1;
  std::string out, err;
};

tool_result run_snodump(const scratch_dir& dir, const std::vector<std::string>& args) {
  std::string cmd = dp_test::shell_quote(SNODUMP_BIN);
  for (const auto& a : args) cmd += " " + dp_test::shell_quote(a);
  cmd += " >" + dp_test::shell_quote(dir.file("tool.out")) + " 2>" + dp_test::shell_quote(dir.file("tool.err")) +
         " </dev/null";
  const int rc = std::system(cmd.c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, dp_test::read_text(dir.file("tool.out")),
          dp_test::read_text(dir.file("tool.err"))};
}

std::string fmt(const char* f, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, f, v);
  return buf;
}

std::string hex2(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02x", v);
  return buf;
}

int last_minute(const dp_test::rain_file& rain) { return static_cast<int>(rain.drops.back().y / k_freq / 60.0); }

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::stringstream in(s);
  std::string part;
  while (std::getline(in, part, sep)) parts.push_back(part);
  if (!s.empty() && s.back() == sep) parts.emplace_back();
  return parts;
}

/// The records of a particle file, each as its bytes, split by their lengths.
std::vector<bytes> sno_records(const bytes& sno) {
  std::vector<bytes> recs;
  for (size_t at = 0; at + 4 <= sno.size();) {
    const int16_t indic = dp::load_les16(&sno[at]);
    const size_t len = indic == -74 ? 74 : static_cast<size_t>(indic);
    recs.emplace_back(sno.begin() + static_cast<std::ptrdiff_t>(at), sno.begin() + static_cast<std::ptrdiff_t>(at + len));
    at += len;
  }
  return recs;
}

/// The records back to back, each len_prev set to the length of the one before, as a writer would.
bytes rechained(std::vector<bytes> recs) {
  bytes out;
  int32_t before = 0;
  for (bytes& r : recs) {
    dp::store_le16(&r[2], static_cast<uint16_t>(before));
    before = static_cast<int32_t>(r.size());
    out.insert(out.end(), r.begin(), r.end());
  }
  return out;
}

/// The records back to back as they are.
bytes joined(const std::vector<bytes>& recs) {
  bytes out;
  for (const bytes& r : recs) out.insert(out.end(), r.begin(), r.end());
  return out;
}

/// The byte offset of record k.
size_t offset_of(const std::vector<bytes>& recs, size_t k) {
  size_t at = 0;
  for (size_t i = 0; i < k; ++i) at += recs[i].size();
  return at;
}

int half_max(const dp_test::drop& d) {
  int h = 0;
  for (const auto& l : dp_test::drop_lines(d.y, d.x, d.radius, d.height)) h = std::max(h, d.x - l.pieces[0].first);
  return h;
}

// One run of 150 drops (minutes 0 and 1) shared by the read-only tests.
class SnodumpRun : public testing::Test {
 protected:
  static void SetUpTestSuite() { run_ = run_rain(dp_test::make_rain(150, 11)).release(); }
  static void TearDownTestSuite() {
    delete run_;
    run_ = nullptr;
  }
  static run_output* run_;
};
run_output* SnodumpRun::run_ = nullptr;

TEST_F(SnodumpRun, CsvRowsCarryTheDropsPutIn) {
  const auto r = run_snodump(*run_->dir, {"--csv", "--out", run_->dir->file("p.csv"), run_->file(".sno")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  const auto rows = split(dp_test::read_text(run_->dir->file("p.csv")), '\n');
  ASSERT_EQ(rows.size(), 1 + run_->rain.drops.size() + 1);  // header, rows, empty after the last line end
  EXPECT_EQ(rows[0],
            "time,time_unix_s,seconds_of_day,y_start,eq_diam_mm,speed_m_s,scale_a_mm,scale_b_mm,scale_h_mm,x_min_a,"
            "x_min_b,lines_a,lines_b,width_a_px,width_b_px,height_a_lines,height_b_lines,diff_lins,fall_speed_flag,"
            "product_flag,detection_efficiency,efficiency_flag");
  int implausible = 0;
  for (size_t i = 0; i < run_->rain.drops.size(); ++i) {
    const auto& d = run_->rain.drops[i];
    const auto f = split(rows[i + 1], ',');
    ASSERT_EQ(f.size(), 22u) << rows[i + 1];
    const int h = half_max(d);
    // The header holds from 2005-05-03 00:00:00 UTC; the drops fall in its first two minutes.
    const long long ms = std::llround(d.y / k_freq * 1000.0);
    char iso[96];
    std::snprintf(iso, sizeof iso, "2005-05-03T00:%02lld:%02lld.%03lldZ", ms / 60000, ms / 1000 % 60, ms % 1000);
    EXPECT_EQ(f[0], iso);
    EXPECT_EQ(f[1], fmt("%.6f", 1115078400.0 + d.y / k_freq));
    EXPECT_EQ(f[2], fmt("%.6f", d.y / k_freq));
    EXPECT_EQ(f[3], fmt("%.1f", d.y));
    const double diam = std::stod(f[4]), speed = std::stod(f[5]);
    EXPECT_GT(diam, 0.0);
    // The planes are 6 mm apart and B sees the drop `delay` lines later: 6 mm / delay per line.
    EXPECT_NEAR(speed, 6.0 / d.delay * k_freq / 1000.0, 0.004) << rows[i + 1];
    EXPECT_NEAR(std::stod(f[8]), 6.0 / d.delay, 0.0001);
    EXPECT_EQ(f[5], fmt("%.6g", std::stod(f[8]) * k_freq / 1000.0));
    const std::vector<std::string> ints(f.begin() + 9, f.begin() + 18);
    const std::vector<std::string> want = {
        std::to_string(d.x - h),      std::to_string(d.x - h + 2), std::to_string(d.height), std::to_string(d.height),
        std::to_string(2 * h),        std::to_string(2 * h),       std::to_string(d.height), std::to_string(d.height),
        std::to_string(2 * d.delay)};
    EXPECT_EQ(ints, want) << rows[i + 1];
    // The flags of the default check, Atlas +-50 %; every drop lies well inside the 640 columns.
    const double ref = 9.65 - 10.3 * std::exp(-0.6 * diam);
    const char* verdict = speed < 0.5 * ref ? "1" : speed > 1.5 * ref ? "2" : "0";
    EXPECT_EQ(f[18], verdict) << rows[i + 1];
    EXPECT_EQ(f[19], f[18] == "0" ? "0" : "1") << rows[i + 1];
    implausible += f[18] != "0";
  }
  EXPECT_LT(implausible, 150);  // the fixture's drops are not all of one verdict
}

TEST(SnodumpCsv, IsoTimeIsRoundedToTheMillisecondAndEmptyOutsideItsRange) {
  const struct {
    double t;
    const char* want;
  } cases[] = {{1115130601.2344, "2005-05-03T14:30:01.234Z"}, {1115130601.2346, "2005-05-03T14:30:01.235Z"},
               {1115135999.9996, "2005-05-03T16:00:00.000Z"},  // rounds into the next hour
               {951825599.5, "2000-02-29T11:59:59.500Z"},      {0.0, "1970-01-01T00:00:00.000Z"},
               {4294967295.0, "2106-02-07T06:28:15.000Z"},     {4294967295.9999, ""},
               {-0.001, ""},                                    {NAN, ""}};
  for (const auto& c : cases) EXPECT_EQ(dp::iso_time_ms(c.t), c.want) << fmt("%.4f", c.t);
}

TEST_F(SnodumpRun, SummaryShowsTheHeaderTheMinutesAndTheStatistics) {
  const auto r = run_snodump(*run_->dir, {run_->file(".sno")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<int, int> per_minute;
  for (const auto& d : run_->rain.drops) ++per_minute[static_cast<int>(d.y / k_freq / 60.0)];
  std::string minutes;
  for (const auto& [m, n] : per_minute) {
    char line[80];
    std::snprintf(line, sizeof line, "  %6d  %02d:%02d       %9d\n", m, m / 60, m % 60, n);
    minutes += line;
  }
  for (const std::string& want :
       {std::string(": " + std::to_string(dp_test::read_file(run_->file(".sno")).size()) +
                    " bytes, 151 records (1 main header, 150 particles)\n"),
        std::string("\nmain header 1 at byte offset 0 of the particle file\n"
                    "  valid since     2005-05-03 00:00:00 UTC (second 0 of the day, from line 0.0)\n"
                    "  line frequency  34000 Hz\n"
                    "  OEU             7\n"
                    "  light planes    HBL 6.000 mm, HBR 6.000 mm, HFR 6.000 mm apart\n"
                    "  camera A        XSCALE0_1 0.15000 mm/pixel, L0_1 300.0 mm\n"
                    "  camera B        XSCALE0_2 0.15000 mm/pixel, L0_2 300.0 mm\n"
                    "  x_center        320 (gates 11, 22; ratio 18 %)\n"
                    "  particle file   V05123_1.sno\n"),
        "particles per minute\n  minute  from (UTC)  particles\n" + minutes,
        std::string("\ndiameter (mm)            150 "), std::string("\nfall speed (m/s)         150 ")})
    EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n--- in ---\n" << r.out;
}

TEST(SnodumpStats, MedianAndPercentilesInterpolate) {
  const dp::sample_stats s = dp::describe({4, 1, NAN, 3, 2, 5});
  EXPECT_EQ(s.count, 5);
  EXPECT_DOUBLE_EQ(s.mean, 3.0);
  EXPECT_DOUBLE_EQ(s.median, 3.0);
  EXPECT_DOUBLE_EQ(s.p25, 2.0);
  EXPECT_DOUBLE_EQ(s.p5, 1.2);
  EXPECT_DOUBLE_EQ(s.p95, 4.8);
  EXPECT_EQ(s.min, 1.0);
  EXPECT_EQ(s.max, 5.0);
}

TEST_F(SnodumpRun, PlotDrawsEveryParticleAndTheReferenceCurve) {
  const auto r = run_snodump(*run_->dir, {"--plot", run_->dir->file("p.svg"), "--out", run_->dir->file("s.txt"),
                                          run_->file(".sno")});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string svg = dp_test::read_text(run_->dir->file("p.svg"));
  ASSERT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
  size_t circles = 0;
  for (size_t at = svg.find("<circle"); at != std::string::npos; at = svg.find("<circle", at + 1)) ++circles;
  EXPECT_EQ(circles, 150u + 1u);  // the particles and the legend's marker
  EXPECT_NE(svg.find("particles (150 drawn)"), std::string::npos);
  EXPECT_NE(svg.find("Atlas et al. (1973): v = 9.65"), std::string::npos);
  EXPECT_NE(dp_test::read_text(run_->dir->file("s.txt")).find("particles per minute"), std::string::npos);
}

/// The numbers of the points="..." attribute of the element with the given id, as (x, y) pairs.
std::vector<std::pair<double, double>> svg_points(const std::string& svg, const std::string& id) {
  std::vector<std::pair<double, double>> pts;
  const size_t at = svg.find(" id=\"" + id + "\" ");
  if (at == std::string::npos) return pts;
  const size_t from = svg.find("points=\"", at) + 8, to = svg.find('"', from);
  std::stringstream in(svg.substr(from, to - from));
  double x = 0, y = 0;
  char comma = 0;
  while (in >> x >> comma >> y) pts.emplace_back(x, y);
  return pts;
}

// The curve is the chosen law and the band its tolerance, read back from the drawing. Particles
// up to 5 mm and 9 m/s fix the scatter's axes at 0..6 mm (x 90 to 670) and 0..10 m/s (y 456 up to 96).
TEST(SnodumpPlot, CurveAndBandFollowTheChosenLawAndTolerance) {
  std::vector<double> diam, speed;
  for (int i = 1; i <= 10; ++i) {
    diam.push_back(0.5 * i);
    speed.push_back(std::min(9.0, 2.0 * diam.back()));
  }
  dp::speed_check beard;
  beard.law = dp::speed_law::beard;
  beard.relative = false;
  beard.tolerance = 0.5;
  const struct {
    dp::speed_check check;
    const char* law;
    const char* band;
    const char* other_law;
  } cases[] = {{{}, "Atlas et al. (1973): v = 9.65 \xE2\x88\x92 10.3 exp(\xE2\x88\x92" "0.6 D)",
                "tolerance \xC2\xB1" "50 % of the reference", "Beard"},
               {beard, "Beard (1976) at 1013 hPa, 20 \xC2\xB0" "C", "tolerance \xC2\xB1" "0.5 m/s", "Atlas"}};
  for (const auto& c : cases) {
    const std::string svg = dp::svg_plot(diam, speed, "t", c.check);
    EXPECT_NE(svg.find(">" + std::string(c.law) + "</text>"), std::string::npos) << c.law;
    EXPECT_NE(svg.find(">" + std::string(c.band) + "</text>"), std::string::npos) << c.band;
    EXPECT_EQ(svg.find(c.other_law), std::string::npos) << c.law;
    const auto curve = svg_points(svg, "reference-curve"), band = svg_points(svg, "tolerance-band");
    ASSERT_GE(curve.size(), 200u) << c.law;  // Beard has no value at 0 mm
    ASSERT_EQ(band.size(), 2 * curve.size()) << c.law;
    for (size_t k = 0; k < curve.size(); ++k) {
      const double d = (curve[k].first - 90.0) / 580.0 * 6.0;
      const auto speed_at = [](double y) { return (456.0 - y) / 360.0 * 10.0; };
      const double v = dp::reference_fall_speed(c.check.law, d);
      const double tol = c.check.relative ? c.check.tolerance * std::fabs(v) : c.check.tolerance;
      EXPECT_NEAR(speed_at(curve[k].second), v, 0.02) << c.law << " at " << d << " mm";
      EXPECT_EQ(band[k].first, curve[k].first);
      EXPECT_NEAR(speed_at(band[k].second), std::max(0.0, v + tol), 0.02) << c.law << " at " << d << " mm";
      EXPECT_NEAR(speed_at(band[band.size() - 1 - k].second), std::max(0.0, v - tol), 0.02) << c.law << " at " << d;
    }
  }
}

TEST_F(SnodumpRun, CheckPassesOnTheRunsOutput) {
  const auto r = run_snodump(*run_->dir, {"--check", "--raw", run_->file(".ab"), run_->file(".sno")});
  EXPECT_EQ(r.status, 0) << r.err;
  const double last_y = run_->rain.drops.back().y;
  const int minutes = last_minute(run_->rain) + 1;
  ASSERT_EQ(minutes, 2);
  EXPECT_EQ(r.out, "OK V05123_1.sno: 151 records (1 main header, 150 particles, 300 images decoded); V05123_1.shd: " +
                       std::to_string(minutes) + " minutes indexed; V05123_1.abh: lastpix_y " + fmt("%.1f", last_y) +
                       ", " + std::to_string(2 * minutes) + " raw-file positions (all record starts of V05123_1.ab)\n");
  EXPECT_EQ(r.err, "");
}

TEST(SnodumpCheck, AcceptsAMainHeaderAfterTheLastParticle) {
  // The last pair is matched once both cameras have moved on (to lone shadows of widths that do not
  // match); the new header then reaches the .sno after the forced flush of that pair, and the
  // tables keep the state of that flush.
  auto rain = dp_test::make_rain(5, 3);
  const double y = rain.drops.back().y + 3000;
  dp_test::header_values h;
  h.valid_since = 1115078400u + 120u;
  dp_test::byte_builder b;
  b.raw(rain.raw);
  b.record(1, dp_test::line_payload(3, dp_test::drop_lines(y, 100, 2, 4)));
  b.record(2, dp_test::line_payload(3, dp_test::drop_lines(y + 20, 400, 30, 20)));
  b.record(1, dp_test::line_payload(3, dp_test::drop_lines(y + 3000, 100, 2, 4)));
  b.record(3, dp_test::header_payload(3, h));
  rain.raw = b.out;
  const auto run = run_rain(rain);
  const bytes sno = dp_test::read_file(run->file(".sno"));
  ASSERT_EQ(dp::load_les16(&sno[sno.size() - 74]), -74);
  // On disk oldlen stays the last particle record's length, which the header carries as len_prev.
  const bytes shd = dp_test::read_file(run->file(".shd"));
  EXPECT_EQ(dp::load_les16(&shd[5768]), dp::load_les16(&sno[sno.size() - 72]));
  dp::check_report report;
  dp::sno_fault fault;
  EXPECT_TRUE(dp::check_files(run->paths(), &report, &fault, nullptr)) << dp::fault_text(fault);
  EXPECT_EQ(report.headers, 2);
  EXPECT_EQ(report.particles, 5);
}

// Flips of one byte in each file, each caught with the file, the offset and what was expected.
TEST(SnodumpCheck, NamesTheFirstInconsistencyOfAFlippedByte) {
  const auto run = run_rain(dp_test::make_rain(150, 7));
  const bytes sno = dp_test::read_file(run->file(".sno"));
  const bytes shd = dp_test::read_file(run->file(".shd"));
  const bytes abh = dp_test::read_file(run->file(".abh"));
  const bytes raw = dp_test::read_file(run->file(".ab"));
  // Offsets of the first two particle records and of the last.
  const int32_t p1 = 74, len1 = dp::load_les16(&sno[p1]);
  const int32_t p2 = p1 + len1;
  int32_t last = p1;
  while (last + dp::load_les16(&sno[last]) < static_cast<int32_t>(sno.size())) last += dp::load_les16(&sno[last]);
  const int32_t len_a1 = dp::load_les16(&sno[p1 + 30]);
  const int32_t len_b1 = dp::load_les16(&sno[p1 + 32 + len_a1]);
  const double last_y = dp::load_f64(&sno[last + 4]);
  const int32_t pix1 = dp::load_les32(&shd[4]);
  ASSERT_EQ(last_minute(run->rain), 1);
  ASSERT_GT(pix1, 74);
  const int32_t posa = dp::load_les32(&abh[4]);  // minute 1 of camera A
  ASSERT_GT(posa, 0);
  int32_t posa_in = 0;  // the raw record that holds byte posa ^ 1
  for (int32_t at = 0; at + 4 <= static_cast<int32_t>(raw.size()) && at <= (posa ^ 1); at += 4 + dp::load_les16(&raw[at + 2]))
    posa_in = at;
  char y_after[64];
  uint8_t y_bytes[8];
  std::memcpy(y_bytes, &abh[11536], 8);
  y_bytes[0] ^= 1;
  std::snprintf(y_after, sizeof y_after, "%.17g", dp::load_f64(y_bytes));

  struct flip {
    const char* ext;
    size_t at;
    uint8_t mask;
    std::string text;
  };
  const std::string s = run->file(".sno"), h = run->file(".shd"), a = run->file(".abh");
  const flip flips[] = {
      {".sno", static_cast<size_t>(p1), 0x01,
       s + ": byte offset " + std::to_string(p1 + 32 + len_a1) + ": img_len_B: expected " +
           std::to_string((len1 ^ 1) - 34 - len_a1) + " (indic " + std::to_string(len1 ^ 1) + " - 34 - img_len_A " +
           std::to_string(len_a1) + "), found " + std::to_string(len_b1)},
      {".sno", static_cast<size_t>(p2 + 2), 0x02,
       s + ": byte offset " + std::to_string(p2 + 2) + ": len_prev: expected " + std::to_string(len1) +
           " (length of the record before), found " + std::to_string(len1 ^ 2)},
      {".sno", 29, 0x01,
       s + ": byte offset 29: main header 1 (line_fr, byte 29 of the record): expected " + hex2(sno[29]) +
           " as in V05123_1.shd and V05123_1.abh, found " + hex2(sno[29] ^ 1)},
      {".shd", 5770 + 18, 0x01,
       h + ": byte offset 5788: main header 1 (main_time, byte 18 of the record): expected " +
           hex2(sno[18]) + " as in V05123_1.sno and V05123_1.abh, found " + hex2(sno[18] ^ 1)},
      {".shd", 4, 0x04,
       h + ": byte offset 4: pix_bf[1]: expected the byte offset of a particle record of minute 1 or later, found " +
           std::to_string(pix1 ^ 4) + " (no record starts there)"},
      {".shd", 5768, 0x01,
       h + ": byte offset 5768: oldlen: expected " + std::to_string(dp::load_les16(&sno[last])) +
           " (length of the last particle record, at V05123_1.sno byte offset " + std::to_string(last) + "), found " +
           std::to_string(dp::load_les16(&sno[last]) ^ 1)},
      {".abh", 11536, 0x01,
       a + ": byte offset 11536: lastpix_y: expected " + fmt("%.1f", last_y) +
           " (y_start of the last particle record, at V05123_1.sno byte offset " + std::to_string(last) + "), found " +
           y_after},
      {".abh", 4, 0x01,
       a + ": byte offset 4: posa_bf[1]: expected the byte offset of a record of V05123_1.ab, found " +
           std::to_string(posa ^ 1) + " (inside the record at " + std::to_string(posa_in) + ")"},
  };
  for (const flip& f : flips) {
    const std::map<std::string, const bytes*> originals = {{".sno", &sno}, {".shd", &shd}, {".abh", &abh}};
    bytes changed = *originals.at(f.ext);
    changed[f.at] ^= f.mask;
    dp_test::write_file(run->file(f.ext), changed);
    dp::check_report report;
    dp::sno_fault fault;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(dp::check_files(run->paths(), &report, &fault, nullptr));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(dp::fault_text(fault), f.text);
    dp_test::write_file(run->file(f.ext), *originals.at(f.ext));
  }

  // The command line reports the same text and exits 1.
  bytes changed = shd;
  changed[5768] ^= 1;
  dp_test::write_file(run->file(".shd"), changed);
  const auto r = run_snodump(*run->dir, {"--check", run->file(".sno")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("snodump: " + h + ": byte offset 5768: oldlen: expected ", 0), 0u) << r.err;
}

// Records in the wrong order or repeated, chained as a writer would chain them (as a careless
// concatenation or repair leaves them): y_start going back, and a particle written twice.
TEST(SnodumpCheck, FindsRecordsOutOfOrderAndRepeated) {
  const auto run = run_rain(dp_test::make_rain(20, 9));
  const bytes sno = dp_test::read_file(run->file(".sno"));
  const std::vector<bytes> recs = sno_records(sno);
  ASSERT_EQ(recs.size(), 21u);
  const std::string s = run->file(".sno");
  const auto y_of = [&](size_t k) { return fmt("%.1f", dp::load_f64(&recs[k][4])); };
  std::vector<bytes> swapped = recs;
  std::swap(swapped[5], swapped[6]);
  std::vector<bytes> twice = recs;
  twice.insert(twice.begin() + 8, recs[7]);
  std::vector<bytes> back = recs;  // an earlier particle again further on
  back.insert(back.begin() + 12, recs[3]);
  const struct {
    bytes file;
    std::string text;
  } cases[] = {
      {rechained(swapped), s + ": byte offset " + std::to_string(offset_of(swapped, 6) + 4) + ": y_start: expected at least " +
                               y_of(6) + " (y_start of the particle record before, at byte offset " +
                               std::to_string(offset_of(swapped, 5)) + "), found " + y_of(5) + " (records out of order)"},
      {rechained(twice), s + ": byte offset " + std::to_string(offset_of(twice, 8)) +
                             ": particle record: expected another particle than the record before (at byte offset " +
                             std::to_string(offset_of(twice, 7)) + "), found the same " +
                             std::to_string(recs[7].size() - 4) + " bytes from y_start on (a duplicated record)"},
      {rechained(back), s + ": byte offset " + std::to_string(offset_of(back, 12) + 4) + ": y_start: expected at least " +
                            y_of(11) + " (y_start of the particle record before, at byte offset " +
                            std::to_string(offset_of(back, 11)) + "), found " + y_of(3) + " (records out of order)"},
  };
  for (const auto& c : cases) {
    dp_test::write_file(run->file(".sno"), c.file);
    dp::check_report report;
    dp::sno_fault fault;
    EXPECT_FALSE(dp::check_files(run->paths(false), &report, &fault, nullptr));
    EXPECT_EQ(dp::fault_text(fault), c.text);
    // The .sno alone (no .shd, .abh) is judged the same way.
    EXPECT_FALSE(dp::check_files({s, "", "", ""}, &report, &fault, nullptr));
    EXPECT_EQ(dp::fault_text(fault), c.text);
  }
  // Rechained as they were, the records give the file back, which passes.
  EXPECT_EQ(rechained(recs), sno);
  dp_test::write_file(run->file(".sno"), sno);
  dp::check_report report;
  dp::sno_fault fault;
  EXPECT_TRUE(dp::check_files({s, "", "", ""}, &report, &fault, nullptr)) << dp::fault_text(fault);
  EXPECT_EQ(report.scan.particles, 20);
  EXPECT_EQ(report.scan.headers.size(), 1u);
  EXPECT_EQ(report.scan.size, static_cast<int64_t>(sno.size()));
}

// A small particle file cut at every length and with every byte flipped: every reader ends with a
// fault or a result, never a crash (the sanitizer build makes reads out of bounds fail).
TEST(SnodumpCheck, SurvivesTruncationAndFlippedBytesOfASmallFile) {
  const auto run = run_rain(dp_test::make_rain(3, 5));
  const bytes sno = dp_test::read_file(run->file(".sno"));
  ASSERT_GT(sno.size(), 74u * 2);
  const auto read_all = [&](bool* check_ok) {
    dp::check_report report;
    dp::sno_fault fault;
    *check_ok = dp::check_files(run->paths(), &report, &fault, nullptr);
    dp::sno_scan scan;
    if (dp::scan_sno(run->file(".sno"), &scan, &fault, nullptr)) {
      std::string rows;
      const auto each = [&](const dp::particle_values& v) {
        rows += dp::csv_row(v, dp::derive_products(v, scan.headers, {}, false));
      };
      dp::for_each_particle(run->file(".sno"), scan, each, &fault, nullptr);
    }
  };
  testing::internal::CaptureStderr();
  for (size_t len = 0; len < sno.size(); ++len) {
    dp_test::write_file(run->file(".sno"), bytes(sno.begin(), sno.begin() + static_cast<std::ptrdiff_t>(len)));
    bool ok = true;
    read_all(&ok);
    EXPECT_FALSE(ok) << "cut at " << len;
  }
  for (size_t at = 0; at < sno.size(); ++at) {
    bytes changed = sno;
    changed[at] ^= 0xff;
    dp_test::write_file(run->file(".sno"), changed);
    bool ok = true;
    read_all(&ok);
  }
  testing::internal::GetCapturedStderr();
  dp_test::write_file(run->file(".sno"), sno);
  bool ok = false;
  read_all(&ok);
  EXPECT_TRUE(ok);
}

TEST(SnodumpReader, HeaderHoldsUpToAndIncludingTheNextOnesStartLine) {
  const auto header_at = [](uint32_t second, double freq) {
    dp::main_hd h;
    h.main_time = 1115078400u + second;
    h.line_fr = freq;
    uint8_t b[dp::k_main_hd_size];
    dp::encode_main_hd(h, b);
    return dp::make_header_rec(b, 0);
  };
  // Start lines 1000 and 2000 (seconds 10 and 20 at 100 lines per second).
  const std::vector<dp::sno_header_rec> two = {header_at(10, 100.0), header_at(20, 100.0)};
  ASSERT_EQ(two[1].start_line, 2000.0);
  const struct {
    double t;
    int want;
  } cases[] = {{999, -1}, {1000, 0}, {2000, 0}, {2000.5, 1}, {1e12, 1}, {NAN, -1}};
  for (const auto& c : cases) EXPECT_EQ(dp::holding_header(two, c.t), c.want) << c.t;
  EXPECT_EQ(dp::holding_header({}, 5.0), -1);
  EXPECT_EQ(dp::utc_text(1115078400u + 3723u), "2005-05-03 01:02:03");
  EXPECT_EQ(dp::utc_text(951782400u), "2000-02-29 00:00:00");
}

TEST(SnodumpCli, HelpUsageErrorsAndBadFiles) {
  scratch_dir dir;
  auto r = run_snodump(dir, {"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: snodump [options] FILE.sno\n", 0), 0u);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--bogus", "x.sno"}, {"a.sno", "b.sno"}, {"--out"}, {"--check", "--csv", "x.sno"},
        {"--raw", "x.ab", "x.sno"}}) {
    r = run_snodump(dir, args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("Try 'snodump --help'."), std::string::npos);
  }
  r = run_snodump(dir, {dir.file("none.sno")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "snodump: " + dir.file("none.sno") + ": cannot open: No such file or directory\n");
  dp_test::write_text(dir.file("notes.sno"), "just some text\n");
  r = run_snodump(dir, {"--csv", dir.file("notes.sno")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "snodump: " + dir.file("notes.sno") +
                       ": byte offset 0: indic: expected -74 (main header) or a particle record length of 34 to "
                       "16381, found 30058 (is this a particle file?)\n");
  r = run_snodump(dir, {"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("snodump ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find(" (commit "), std::string::npos) << r.out;
  r = run_snodump(dir, {"--check", "--salvage", "x.sno"});
  EXPECT_EQ(r.status, 2);
}

// The command line is read from left to right, options before or after the particle file: only
// whole option names, a value after "=" or as the next argument (anything but empty, "-x" too),
// "--" no end of the options; the first fault on the line is the one told.
TEST(SnodumpCli, OptionsAreReadWholeAndInTheirOrder) {
  scratch_dir dir;
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--chec", "x.sno"}, "unknown option --chec"},
      {{"x.sno", "--speed=beard"}, "unknown option --speed=beard"},
      {{"--csv=1", "x.sno"}, "unknown option --csv=1"},
      {{"-hx"}, "unknown option -hx"},
      {{"x.sno", "--"}, "unknown option --"},
      {{"a.sno", "-", "--bogus"}, "more than one particle file given (a.sno, -)"},
      {{"x.sno", "--out="}, "option --out needs a file name"},
      {{"x.sno", "--speed-law", ""}, "option --speed-law needs a value"},
      {{"--speed-law", "-x", "x.sno"}, "--speed-law takes atlas or beard, not -x"},
      {{"x.sno", "--raw", "--check"}, "--raw is used only by --check"},
  };
  for (const auto& c : cases) {
    const auto r = run_snodump(dir, c.args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_EQ(r.err, "snodump: " + c.message + "\nTry 'snodump --help'.\n");
  }
  for (const char* help : {"-h", "--help=x"})
    EXPECT_EQ(run_snodump(dir, {"x.sno", help}).out.rfind("usage: snodump", 0), 0u) << help;
}

const std::string k_refused =
    "snodump: refused: the files fail the consistency check (snodump --check tells the first fault); --salvage "
    "reads what can be read\n";

// Damage that --check finds and the framing alone does not (or finds only at the damage): the
// summary, the CSV and the per-minute CSV refuse the files with the check's first fault, write
// no output and leave an earlier one as it was; --salvage reads what can be read, exit status 1.
TEST_F(SnodumpRun, SummaryCsvAndProductsRefuseWhatTheCheckRejects) {
  const bytes sno = dp_test::read_file(run_->file(".sno"));
  const std::vector<bytes> recs = sno_records(sno);
  bytes len_prev = sno;
  len_prev[offset_of(recs, 40) + 2] ^= 1;
  std::vector<bytes> without = recs;
  without.erase(without.begin() + 40);
  std::vector<bytes> twice = recs;
  twice.insert(twice.begin() + 40, recs[40]);
  const struct {
    const char* name;
    bytes file;
    size_t particles;  // what --salvage reads
  } cases[] = {
      {"cut after a record", bytes(sno.begin(), sno.begin() + static_cast<std::ptrdiff_t>(offset_of(recs, 100))), 99},
      {"cut inside a record", bytes(sno.begin(), sno.begin() + static_cast<std::ptrdiff_t>(offset_of(recs, 100) + 9)), 99},
      {"len_prev flipped", len_prev, 150},
      {"record deleted", rechained(without), 149},
      {"record repeated", joined(twice), 151},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    scratch_dir dir;
    const std::string s = dir.file("V05123_1.sno");
    dp_test::write_file(s, c.file);
    for (const char* ext : {".shd", ".abh"})
      std::filesystem::copy_file(run_->file(ext), dir.file(std::string("V05123_1") + ext));
    dp::check_report report;
    dp::sno_fault fault;
    testing::internal::CaptureStderr();
    ASSERT_FALSE(dp::check_files({s, dir.file("V05123_1.shd"), dir.file("V05123_1.abh"), ""}, &report, &fault, nullptr));
    testing::internal::GetCapturedStderr();
    const std::string first = "snodump: " + dp::fault_text(fault) + "\n";
    dp_test::write_text(dir.file("earlier.csv"), "kept\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{s}, {"--csv", "--out", dir.file("earlier.csv"), s},
          {"--minute-csv", dir.file("m.csv"), "--out", dir.file("sum.txt"), s}}) {
      const auto r = run_snodump(dir, args);
      EXPECT_EQ(r.status, 1) << args[0];
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, first + k_refused);
    }
    EXPECT_EQ(dp_test::read_text(dir.file("earlier.csv")), "kept\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("m.csv")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("sum.txt")));

    const auto r = run_snodump(dir, {"--salvage", "--csv", "--out", dir.file("earlier.csv"), s});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind(first + "snodump: --salvage: reading what can be read\n", 0), 0u) << r.err;
    const auto rows = split(dp_test::read_text(dir.file("earlier.csv")), '\n');
    EXPECT_EQ(rows.size(), 1 + c.particles + 1);
  }
}

// An output that names an input (or the same file as another output) is refused before anything
// is written; a FIFO or another non-regular input is refused without waiting for a writer.
TEST_F(SnodumpRun, RefusesOutputsOnItsInputsAndInputsThatAreNoRegularFiles) {
  scratch_dir dir;
  for (const char* ext : {".sno", ".shd", ".abh"})
    std::filesystem::copy_file(run_->file(ext), dir.file(std::string("V05123_1") + ext));
  const std::string s = dir.file("V05123_1.sno"), h = dir.file("V05123_1.shd"), a = dir.file("V05123_1.abh");
  const bytes before = dp_test::read_file(s);
  std::filesystem::create_hard_link(s, dir.file("link.sno"));
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--out", s, s}, "--out " + s + " is the input file " + s + ": it would be overwritten"},
      {{"--csv", "--out", h, s}, "--out " + h + " is the input file " + h + ": it would be overwritten"},
      {{"--plot", dir.file("link.sno"), s}, "--plot " + dir.file("link.sno") + " is the input file " + s + ": it would be overwritten"},
      {{"--minute-csv", a, s}, "--minute-csv " + a + " is the input file " + a + ": it would be overwritten"},
      {{"--out", dir.file("x.txt"), "--minute-csv", dir.file("sub/../x.txt"), s},
       "--out and --minute-csv name the same file " + dir.file("sub/../x.txt")},
  };
  std::filesystem::create_directory(dir.path / "sub");
  for (const auto& c : cases) {
    const auto r = run_snodump(dir, c.args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_EQ(r.err, "snodump: " + c.message + "\nTry 'snodump --help'.\n");
  }
  EXPECT_EQ(dp_test::read_file(s), before);
  EXPECT_FALSE(std::filesystem::exists(dir.file("x.txt")));

  ASSERT_EQ(mkfifo(dir.file("fifo.sno").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo.shd").c_str(), 0600), 0);
  // No writer ever opens the FIFOs: a reader that waited for one would hang the test (timeout 20).
  const auto timed = [&](const std::vector<std::string>& args) {
    std::vector<std::string> all = {"20", SNODUMP_BIN};
    all.insert(all.end(), args.begin(), args.end());
    std::string cmd = "timeout";
    for (const auto& x : all) cmd += " " + dp_test::shell_quote(x);
    cmd += " >/dev/null 2>" + dp_test::shell_quote(dir.file("err.txt")) + " </dev/null";
    const int rc = std::system(cmd.c_str());
    return std::make_pair(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, dp_test::read_text(dir.file("err.txt")));
  };
  const std::string fifo_text = ": cannot open: is a FIFO, not a regular file\n";
  auto [status, err] = timed({dir.file("fifo.sno")});
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err, "snodump: " + dir.file("fifo.sno") + fifo_text);
  std::tie(status, err) = timed({"--check", "--shd", dir.file("fifo.shd"), s});
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err, "snodump: " + dir.file("fifo.shd") + fifo_text);
  std::tie(status, err) = timed({"--csv", "/dev/zero"});
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err, "snodump: /dev/zero: cannot open: is a device, not a regular file\n");
}

// Writes past the file-size limit fail as on a full disk (SIGXFSZ ignored: EFBIG): a clean message,
// exit status 1, no partial file beside the output, and the earlier file as it was.
TEST_F(SnodumpRun, FullDiskLeavesNoPartialFileAndKeepsTheEarlierOne) {
  scratch_dir dir;
  for (const char* ext : {".sno", ".shd", ".abh"})
    std::filesystem::copy_file(run_->file(ext), dir.file(std::string("V05123_1") + ext));
  std::vector<std::vector<std::string>> outputs = {{"--csv", "--out", "earlier.out"}, {"--minute-csv", "earlier.out"}};
#ifdef SNODUMP_NETCDF
  outputs.push_back({"--netcdf", "earlier.out"});
#endif
  for (const auto& opts : outputs) {
    SCOPED_TRACE(opts[0]);
    dp_test::write_text(dir.file("earlier.out"), "kept\n");
    // Two blocks (of 512 or 1024 bytes): the minute CSV (one minute of 80 bins) and the netCDF
    // header exceed them.
    std::string cmd = "cd " + dp_test::shell_quote(dir.path.string()) + " && ulimit -f 2 && trap '' XFSZ && " +
                      dp_test::shell_quote(SNODUMP_BIN);
    for (const auto& o : opts) cmd += " " + o;
    cmd += " --settings " + dp_test::shell_quote(run_->dir->file("DROPPAIR.SET")) + " --calibration " +
           dp_test::shell_quote(run_->dir->file("corrfact.dat"));
    cmd += " V05123_1.sno >/dev/null 2>err.txt </dev/null";
    const int rc = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(rc)) << "ended by a signal";
    EXPECT_EQ(WEXITSTATUS(rc), 1);
    const std::string err = dp_test::read_text(dir.file("err.txt"));
    EXPECT_EQ(err.rfind("snodump: cannot write earlier.out: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(dp_test::read_text(dir.file("earlier.out")), "kept\n");
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(dir.path)) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"V05123_1.abh", "V05123_1.shd", "V05123_1.sno", "earlier.out", "err.txt"}));
  }
}

}  // namespace
