// End-to-end runs on settings and calibration files that the run cannot take as written: exit
// status 1, the announcement on the console, one message naming where in the error log (and, for
// the settings, which are read before the log opens, on standard error too), and the results of
// an earlier run left as they were. Doubtful but usable settings give a warning and the same
// outputs as clean ones.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <set>

#include "support/rain_fixture.h"
#include "support/raw_fixture.h"
#include "support/scratch_run.h"

namespace {

using dp_test::read_text;
using dp_test::scratch_dir;
using dp_test::settings_text;
using dp_test::write_text;

constexpr const char* k_announce = "error occurred!\nan error description was written to DROPPAIR.ERR";
const char* const k_outputs[] = {"V05123_1.sno", "V05123_1.shd", "V05123_1.abh"};

std::set<std::string> entries(const scratch_dir& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path)) names.insert(e.path().filename().string());
  return names;
}

// A directory with usable input, the outputs of an earlier run and its error log.
struct earlier_run_dir : scratch_dir {
  earlier_run_dir() {
    write_text(file("DROPPAIR.SET"), settings_text());
    write_text(file("corrfact.dat"), dp_test::neutral_corrfact());
    dp_test::write_file(file("V05123_1.ab"), dp_test::make_rain(20, 7).raw);
    for (const char* name : k_outputs) write_text(file(name), std::string("earlier ") + name);
    write_text(file("DROPPAIR.ERR"), "earlier log\n");
  }
};

TEST(BadInput, SettingsAndCalibrationTheRunCannotUseEndItBeforeAnyOutput) {
  const std::string corr = dp_test::neutral_corrfact();
  struct {
    const char* file;
    std::string text;
    std::string message;
  } cases[] = {
      {"DROPPAIR.SET", settings_text({{"DELTA_HGT", ""}}),
       "rd_set: DROPPAIR.SET line 5: DELTA_HGT needs a number from column 61 on, found \"\"\n"},
      {"DROPPAIR.SET", settings_text({{"WA_WB", "1e99"}}),
       "rd_set: DROPPAIR.SET line 14: WA_WB \"1e99\" is not a number above 0 and at most 1\n"},
      {"DROPPAIR.SET", settings_text({{"HYD_PATH", std::string(40, 'h')}}),
       "rd_set: DROPPAIR.SET line 4: HYD_PATH \"" + std::string(40, 'h') +
           "\" runs past column 79, where it would be cut\n"},
      // A missing key: the announcement now holds, the log has the text.
      {"DROPPAIR.SET", settings_text({{"RANK_PB", "<drop>"}}), " could not find RANK_PB \n"},
      {"corrfact.dat", corr.substr(0, corr.find("height B")),
       "tables: corrfact.dat line 6, column 1: the file ends before this line (height B)\n"},
      {"corrfact.dat", std::string(corr).replace(corr.find("0.00", corr.find("width A")), 4, " nan"),
       "tables: corrfact.dat line 7, column 11: width A value 1 is not a finite number: \"nan\"\n"},
      {"corrfact.dat", std::string(corr).replace(corr.find("4.00"), 4, "3.00"),
       "tables: corrfact.dat line 3, column 60: diameter value 8 is 3 mm, not above value 7 (3 mm); the diameters "
       "must increase\n"},
  };
  for (const auto& c : cases) {
    earlier_run_dir dir;
    write_text(dir.file(c.file), c.text);
    const std::set<std::string> before = entries(dir);
    const auto r = dp_test::run_droppair(dir, {"V05123_1.ab"});
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_TRUE(r.console.size() >= std::strlen(k_announce) &&
                r.console.compare(r.console.size() - std::strlen(k_announce), std::string::npos, k_announce) == 0)
        << r.console;
    EXPECT_EQ(r.log_tail(), c.message);
    EXPECT_EQ(r.stderr_text, std::string(c.file) == "DROPPAIR.SET" ? c.message : "");
    for (const char* name : k_outputs) EXPECT_EQ(read_text(dir.file(name)), std::string("earlier ") + name);
    std::set<std::string> after = entries(dir);
    after.erase("console.out");
    after.erase("stderr.out");
    EXPECT_EQ(after, before) << c.message;
  }
}

TEST(BadInput, DoubtfulSettingsWarnAndGiveTheOutputsOfCleanOnes) {
  scratch_dir clean, doubtful;
  const dp_test::bytes raw = dp_test::make_rain(60, 11).raw;
  // Once, text from column 80 on was read as a line of its own: this HYD_PATH redirected the output.
  const std::string past_79 = std::string(79, '-') + dp_test::settings_line("HYD_PATH", "elsewhere");
  for (const scratch_dir* d : {&clean, &doubtful}) {
    write_text(d->file("corrfact.dat"), dp_test::neutral_corrfact());
    dp_test::write_file(d->file("V05123_1.ab"), raw);
  }
  write_text(clean.file("DROPPAIR.SET"), settings_text());
  write_text(doubtful.file("DROPPAIR.SET"), past_79 + settings_text({{"DELTA_HGT", "10 # lines"}}));
  const auto want = dp_test::run_droppair(clean, {"V05123_1.ab"});
  const auto got = dp_test::run_droppair(doubtful, {"V05123_1.ab"});
  ASSERT_EQ(want.status, 0);
  EXPECT_EQ(got.status, 0);
  const std::string warnings =
      "rd_set: DROPPAIR.SET line 1: warning: longer than 79 characters; \"HYD_PATH  text" + std::string(46, ' ') +
      "...\" from column 80 on is ignored\n"
      "rd_set: DROPPAIR.SET line 6: warning: DELTA_HGT \"10 # lines\": only \"10\" is read, the rest is ignored\n";
  EXPECT_EQ(got.stderr_text, warnings);
  EXPECT_EQ(got.log_tail(), warnings + want.log_tail());
  EXPECT_EQ(got.console, want.console);
  for (const char* name : k_outputs) EXPECT_EQ(read_text(doubtful.file(name)), read_text(clean.file(name))) << name;
  EXPECT_FALSE(std::filesystem::exists(doubtful.file("elsewhere")));
}

}  // namespace
