#include "control/settings.h"

#include <gtest/gtest.h>

#include "support/cwd_guard.h"
#include "support/scratch_run.h"

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
}

TEST(Settings, ValueBeforeColumn61IsNotSeen) {
  scratch_dir dir;
  cwd_guard cwd(dir);
  std::string text = settings_text({{"WA_WB", "<drop>"}});
  text = settings_line("WA_WB", "0.8", 50) + text;
  write_text("DROPPAIR.SET", text);
  dp::reset_settings();
  dp::get_settings();
  EXPECT_EQ(dp::set_par.WA_WB, 0.0f);
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

TEST(Settings, LongValueIsCutAt79Characters) {
  scratch_dir dir;
  cwd_guard cwd(dir);
  // Columns 61..79 hold 19 characters; the rest of the line is read as a line of its own.
  std::string text = settings_text({{"HYD_PATH", "/a/very/long/path/that/goes/on"}});
  write_text("DROPPAIR.SET", text);
  dp::reset_settings();
  dp::get_settings();
  EXPECT_EQ(dp::set_par.HYD_PATH, "/a/very/long/path/t/");
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

TEST(SettingsDeathTest, MissingFileIsReported) {
  scratch_dir dir;
  cwd_guard cwd(dir);
  EXPECT_EXIT(dp::get_settings(), testing::ExitedWithCode(1),
              "^rd_set: could not open DROPPAIR.SET\nrd_set: could not open DROPPAIR.SET: No such file or directory\n$");
}

}  // namespace
