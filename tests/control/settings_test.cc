#include "control/settings.h"

#include <gtest/gtest.h>

#include "base/messages.h"
#include "support/cwd_guard.h"
#include "support/scratch_run.h"
#include "support/temp_cwd.h"

namespace {

using dp_test::cwd_guard;
using dp_test::scratch_dir;
using dp_test::settings_line;
using dp_test::settings_text;
using dp_test::write_text;

TEST(Settings, ReadsEveryKeyFromColumn61) {
  scratch_dir dir;
  cwd_guard cwd(dir);
  write_text("DROPPAIR.SET", settings_text({{"RAW_PATH", "/data/raw"}, {"HYD_PATH", "/data/hyd/"},
                                            {"DELTA_HGT", "-12"}, {"WA_WB", "0.75"}, {"RANK_PB", "7"}}));
  dp::reset_settings();
  dp::get_settings();
  EXPECT_EQ(dp::set_par.RAW_PATH, "/data/raw/");
  EXPECT_EQ(dp::set_par.HYD_PATH, "/data/hyd/");
  EXPECT_EQ(dp::set_par.HARDC_P, "");
  EXPECT_EQ(dp::set_par.DELTA_HGT, -12);
  EXPECT_FLOAT_EQ(dp::set_par.WA_WB, 0.75f);
  EXPECT_FLOAT_EQ(dp::set_par.VEL_MAX, 12.0f);
  EXPECT_EQ(dp::set_par.RANK_ATLAS, 3);
  EXPECT_EQ(dp::set_par.RANK_PB, 7);
  EXPECT_EQ(dp::settings_read.notes, "");
}

TEST(Settings, FirstLineWinsAndKeysArePrefixes) {
  scratch_dir dir;
  cwd_guard cwd(dir);
  std::string text = settings_line("DELTA_HGT", "5") + settings_line("WA_WB_OLD", "0.6") + settings_text();
  write_text("DROPPAIR.SET", text);
  dp::reset_settings();
  dp::get_settings();
  EXPECT_EQ(dp::set_par.DELTA_HGT, 5);
  EXPECT_FLOAT_EQ(dp::set_par.WA_WB, 0.6f);
}

// The fields the cases below change, as text.
std::string field_text(const std::string& key) {
  const dp::set_par_rec& p = dp::set_par;
  if (key == "HARDC_P") return p.HARDC_P;
  if (key == "HYD_PATH") return p.HYD_PATH;
  if (key == "DELTA_HGT") return std::to_string(p.DELTA_HGT);
  if (key == "VEL_MIN") return std::to_string(p.VEL_MIN);
  if (key == "WA_WB") return std::to_string(p.WA_WB);
  return std::to_string(p.RANK_PB);
}

TEST(Settings, DoubtfulValuesAreReadAsAlwaysWithAtMostOneWarning) {
  // A HYD_PATH line from column 80 on, where the program once took it as a line of its own.
  const std::string past_79 = settings_line("HYD_PATH", "/elsewhere");
  struct {
    std::string text;
    const char* key;
    const char* value;
    std::string warning;
  } cases[] = {
      {settings_text({{"HYD_PATH", "out dir"}}), "HYD_PATH", "out/",
       "line 4: warning: HYD_PATH \"out dir\": only \"out\" is read, the rest is ignored"},
      {settings_text({{"DELTA_HGT", "12 lines"}}), "DELTA_HGT", "12",
       "line 5: warning: DELTA_HGT \"12 lines\": only \"12\" is read, the rest is ignored"},
      {settings_text({{"VEL_MIN", "fast"}}), "VEL_MIN", "0.000000",
       "line 6: warning: VEL_MIN needs a number from column 61 on, found \"fast\""},
      {settings_text({{"RANK_PB", "70000"}}), "RANK_PB", "4464",
       "line 16: warning: RANK_PB \"70000\" is outside the 16-bit range -32768 to 32767"},
      {settings_text({{"HARDC_P", "/a/path/longer/than/nineteen"}}), "HARDC_P", "/a/path/longer/than/",
       "line 2: warning: HARDC_P \"/a/path/longer/than/nineteen\" runs past column 79, where it would be cut"},
      {std::string(79, '-') + past_79 + settings_text({{"HYD_PATH", "hyd"}}), "HYD_PATH", "hyd/",
       "line 1: warning: longer than 79 characters; \"" + past_79.substr(0, 60) + "...\" from column 80 on is ignored"},
      {settings_line(std::string("HYD_PATH\0", 9), "hyd") + settings_text(), "HYD_PATH", "",
       "line 1: warning: HYD_PATH \"hyd\": only \"\" is read, the rest is ignored"},
      // Read as they always were, without a word.
      {settings_line("WA_WB", "0.7", 60) + settings_text(), "WA_WB", "0.700000", ""},
      {settings_text({{"DELTA_HGT", "-32768" + std::string(30, ' ')}}), "DELTA_HGT", "-32768", ""},
  };
  for (const auto& c : cases) {
    scratch_dir dir;
    cwd_guard cwd(dir);
    write_text("DROPPAIR.SET", c.text);
    dp::reset_settings();
    testing::internal::CaptureStderr();
    const bool read = dp::read_settings();
    const std::string written = testing::internal::GetCapturedStderr();
    const std::string want = c.warning.empty() ? "" : "rd_set: DROPPAIR.SET " + c.warning + "\n";
    EXPECT_TRUE(read) << want;
    EXPECT_EQ(written, want);
    EXPECT_EQ(dp::settings_read.notes, want);
    EXPECT_EQ(field_text(c.key), c.value) << want;
  }
}

TEST(Settings, ConversionsOfTheValueField) {
  struct {
    const char* text;
    int16_t i;
    float f;
    const char* word;
  } cases[] = {
      {"  42\n", 42, 42.0f, "42"},
      {"-7 rest", -7, -7.0f, "-7"},
      {"70000", 4464, 70000.0f, "70000"},  // low 16 bits of the integer
      {"1.5e2x", 1, 150.0f, "1.5e2x"},
      {"abc", 0, 0.0f, "abc"},
      {"   \n", 0, 0.0f, ""},
      {"+.25", 0, 0.25f, "+.25"},
      {"path with blank", 0, 0.0f, "path"},
  };
  for (const auto& c : cases) {
    int16_t i = 0;
    float f = 0;
    std::string w;
    dp::convert_value(c.text, &i, dp::set_conv::int16);
    dp::convert_value(c.text, &f, dp::set_conv::real);
    dp::convert_value(c.text, &w, dp::set_conv::word);
    EXPECT_EQ(i, c.i) << c.text;
    EXPECT_FLOAT_EQ(f, c.f) << c.text;
    EXPECT_EQ(w, c.word) << c.text;
  }
}

TEST(Settings, SeparatorIsAppendedOnlyWhereMissing) {
  std::string empty, bare = "/data", done = "/data/";
  EXPECT_EQ(dp::add_sep(empty), 0);
  EXPECT_EQ(dp::add_sep(bare), 1);
  EXPECT_EQ(dp::add_sep(done), 0);
  EXPECT_EQ(empty, "");
  EXPECT_EQ(bare, "/data/");
  EXPECT_EQ(done, "/data/");
}

TEST(SettingsDeathTest, MissingKeyIsNamed) {
  scratch_dir dir;
  cwd_guard cwd(dir);
  write_text("DROPPAIR.SET", settings_text({{"RANK_PB", "<drop>"}}));
  dp::reset_settings();
  EXPECT_EXIT(dp::get_settings(), testing::ExitedWithCode(1), "^ could not find RANK_PB \n$");
}

TEST(SettingsDeathTest, ValuesTheRunCannotUseEndIt) {
  const std::string long_path(4000, 'p');
  struct {
    std::string text;
    std::string message;
  } cases[] = {
      {settings_text({{"DELTA_HGT", ""}}), "line 5: DELTA_HGT needs a number from column 61 on, found \"\""},
      {settings_text({{"DELTA_HGT", std::string("\0" "5", 2)}}),
       "line 5: DELTA_HGT needs a number from column 61 on, found \"\\x005\""},
      {settings_text({{"DELTA_HGT", "99999"}}),
       "line 5: DELTA_HGT \"99999\" is outside the 16-bit range -32768 to 32767"},
      {settings_text({{"DELTA_HGT", "-32769"}}),
       "line 5: DELTA_HGT \"-32769\" is outside the 16-bit range -32768 to 32767"},
      {settings_line("DELTA_HGT", "10", 60) + settings_text(),
       "line 1: DELTA_HGT \"10\" begins before column 61, where values begin"},
      {settings_text({{"WA_WB", "abc"}}), "line 14: WA_WB needs a number from column 61 on, found \"abc\""},
      {settings_line("WA_WB", "0.8", 50) + settings_text(),
       "line 1: WA_WB needs a number from column 61 on, found \"\""},
      {settings_text({{"WA_WB", "0"}}), "line 14: WA_WB \"0\" is not a number above 0 and at most 1"},
      {settings_text({{"WA_WB", "-1"}}), "line 14: WA_WB \"-1\" is not a number above 0 and at most 1"},
      {settings_text({{"WA_WB", "1.01"}}), "line 14: WA_WB \"1.01\" is not a number above 0 and at most 1"},
      {settings_text({{"WA_WB", "1e99"}}), "line 14: WA_WB \"1e99\" is not a number above 0 and at most 1"},
      {settings_text({{"HYD_PATH", "/a/very/long/path/that/goes/on"}}),
       "line 4: HYD_PATH \"/a/very/long/path/that/goes/on\" runs past column 79, where it would be cut"},
      {settings_text({{"RAW_PATH", long_path}}),
       "line 3: RAW_PATH \"" + long_path.substr(0, 60) + "...\" runs past column 79, where it would be cut"},
      {settings_text({{"HYD_PATH", std::string(19, ' ') + "/from/column/80"}}),
       "line 4: HYD_PATH \"/from/column/80\" runs past column 79, where it would be cut"},
  };
  for (const auto& c : cases) {
    scratch_dir dir;
    cwd_guard cwd(dir);
    write_text("DROPPAIR.SET", c.text);
    dp::reset_settings();
    EXPECT_EXIT(
        {
          dp_test::console_to_log();
          dp::get_settings();
        },
        testing::ExitedWithCode(1),
        dp_test::exact_re("rd_set: DROPPAIR.SET " + c.message + "\n" + dp::k_announce));
  }
}

TEST(SettingsDeathTest, MissingFileIsReported) {
  scratch_dir dir;
  cwd_guard cwd(dir);
  EXPECT_EXIT(dp::get_settings(), testing::ExitedWithCode(1),
              "^rd_set: could not open DROPPAIR.SET\nrd_set: could not open DROPPAIR.SET: No such file or directory\n$");
}

}  // namespace
