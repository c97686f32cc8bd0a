// The command line: options sorted out of the arguments, help and version answered before
// anything else happens, refused options, --quiet, and the added line that explains the name
// rebuilt from the argument's digits when that file cannot be opened.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "control/startup.h"
#include "support/rain_fixture.h"
#include "support/raw_fixture.h"
#include "support/scratch_run.h"

namespace {

using dp_test::run_droppair;
using dp_test::scratch_dir;

TEST(CommandLine, OptionsAreSortedOutOfTheArguments) {
  const struct {
    std::vector<const char*> argv;
    std::vector<std::string> args;  // after the program name
    bool help, version, quiet;
    int32_t follow;
    const char* error;
  } cases[] = {
      {{"V05123_1.ab"}, {"V05123_1.ab"}, false, false, false, 0, ""},
      {{"--quiet", "V05123_1.ab", "--follow"}, {"V05123_1.ab"}, false, false, true, 60, ""},
      {{"--follow=1", "x.ab"}, {"x.ab"}, false, false, false, 1, ""},
      {{"--follow=86400", "x.ab"}, {"x.ab"}, false, false, false, 86400, ""},
      {{"-h"}, {}, true, false, false, 0, ""},
      {{"a.ab", "--help", "--version"}, {"a.ab"}, true, true, false, 0, ""},
      // A single '-' is a file name as it always was; after "--" everything is.
      {{"-x.ab", "-"}, {"-x.ab", "-"}, false, false, false, 0, ""},
      {{"--", "--quiet", "-h"}, {"--quiet", "-h"}, false, false, false, 0, ""},
      {{"--follow=", "x.ab"}, {"x.ab"}, false, false, false, 0,
       "--follow=: SECONDS must be a whole number from 1 to 86400"},
      {{"--follow=0"}, {}, false, false, false, 0, "--follow=0: SECONDS must be a whole number from 1 to 86400"},
      {{"--follow=86401"}, {}, false, false, false, 0,
       "--follow=86401: SECONDS must be a whole number from 1 to 86400"},
      {{"--follow=-5"}, {}, false, false, false, 0, "--follow=-5: SECONDS must be a whole number from 1 to 86400"},
      {{"--follow=2s"}, {}, false, false, false, 0, "--follow=2s: SECONDS must be a whole number from 1 to 86400"},
      {{"--Quiet", "--bogus"}, {}, false, false, false, 0, "unknown option --Quiet"},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv = {"droppair"};
    argv.insert(argv.end(), c.argv.begin(), c.argv.end());
    const dp::command_line cl = dp::parse_command_line(static_cast<int>(argv.size()), argv.data());
    const std::string what = c.argv.empty() ? "" : c.argv[0];
    ASSERT_GE(cl.args.size(), 1u) << what;
    EXPECT_EQ(std::string(cl.args[0]), "droppair");
    EXPECT_EQ(std::vector<std::string>(cl.args.begin() + 1, cl.args.end()), c.args) << what;
    EXPECT_EQ(cl.help, c.help) << what;
    EXPECT_EQ(cl.version, c.version) << what;
    EXPECT_EQ(cl.quiet, c.quiet) << what;
    EXPECT_EQ(cl.follow_seconds, c.follow) << what;
    EXPECT_EQ(cl.error, c.error) << what;
  }
}

TEST(CommandLine, HelpAndVersionAnswerBeforeAnythingElse) {
  scratch_dir dir;  // no settings: a run that went on would fail on them
  dp_test::write_text(dir.file("DROPPAIR.ERR"), "old log\n");
  for (const char* opt : {"--help", "-h"}) {
    const auto r = run_droppair(dir, {opt, "V05123_1.ab"});
    EXPECT_EQ(r.status, 0) << opt;
    EXPECT_EQ(r.console, dp::help_text()) << opt;
    EXPECT_EQ(r.stderr_text, "") << opt;
  }
  std::istringstream help(dp::help_text());
  std::string line;
  while (std::getline(help, line)) EXPECT_LE(line.size(), 80u) << line;
  for (const char* opt : {"--follow[=SECONDS]", "--quiet", "-h, --help", "--version", "128 + the signal"})
    EXPECT_NE(std::string(dp::help_text()).find(opt), std::string::npos) << opt;

  const auto v = run_droppair(dir, {"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_TRUE(std::regex_match(v.console, std::regex("droppair [0-9.]+ \\(commit ([0-9a-f]{12}(-dirty)?|unknown)\\)\n")))
      << v.console;
  EXPECT_EQ(v.log, "old log\n");
}

TEST(CommandLine, RefusedOptionsSayWhyOnStandardErrorAndTouchNothing) {
  scratch_dir dir;
  dp_test::write_text(dir.file("DROPPAIR.ERR"), "old log\n");
  const std::string usage =
      "usage: droppair [--follow[=SECONDS]] [--quiet] path/V<yy><ddd>_<n>.ab\n"
      "       droppair --help | --version\n";
  auto r = run_droppair(dir, {"--bogus", "V05123_1.ab"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.console, "");
  EXPECT_EQ(r.stderr_text, "droppair: unknown option --bogus\n" + usage);
  EXPECT_EQ(r.log, "old log\n");
  r = run_droppair(dir, {"--follow=soon", "V05123_1.ab"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.stderr_text, "droppair: --follow=soon: SECONDS must be a whole number from 1 to 86400\n" + usage);
  EXPECT_EQ(r.log, "old log\n");
}

// The console of a run without its progress display blocks.
std::string without_progress(const std::string& console) {
  std::istringstream in(console);
  std::string line, out;
  while (std::getline(in, line, '\n')) {
    const bool progress = line.rfind("V05123_1.sno:", 0) == 0 || line.rfind("V05123_1.ab:", 0) == 0 ||
                          line.rfind("A:", 0) == 0 || line.rfind("B:", 0) == 0;
    if (!progress) out += line + (in.eof() ? "" : "\n");
  }
  return out;
}

TEST(CommandLine, QuietRunShowsNoProgressAndWritesTheSameFiles) {
  const dp_test::bytes raw = dp_test::make_rain(3000, 4).raw;
  scratch_dir plain, quiet;
  for (const scratch_dir* d : {&plain, &quiet}) {
    dp_test::write_text(d->file("DROPPAIR.SET"), dp_test::settings_text());
    dp_test::write_text(d->file("corrfact.dat"), dp_test::neutral_corrfact());
    dp_test::write_file(d->file("V05123_1.ab"), raw);
  }
  const auto p = run_droppair(plain, {"V05123_1.ab"});
  const auto q = run_droppair(quiet, {"V05123_1.ab", "--quiet"});
  ASSERT_EQ(p.status, 0);
  ASSERT_EQ(q.status, 0);
  ASSERT_GT(p.console.size(), without_progress(p.console).size() + 200) << "the plain run shows its progress";
  EXPECT_EQ(q.console, without_progress(p.console));
  EXPECT_EQ(q.log_tail(), p.log_tail());
  for (const char* name : {"V05123_1.sno", "V05123_1.shd", "V05123_1.abh"})
    EXPECT_TRUE(dp_test::read_file(quiet.file(name)) == dp_test::read_file(plain.file(name))) << name;
}

TEST(CommandLine, MissingRawFileExplainsARebuiltName) {
  scratch_dir dir;
  dp_test::write_text(dir.file("DROPPAIR.SET"), dp_test::settings_text());
  dp_test::write_text(dir.file("corrfact.dat"), dp_test::neutral_corrfact());
  const std::string why =
      "the name of the raw data file is rebuilt from the digits of nonexist.ab as V<yy><ddd>_<n>.ab "
      "(for instance V05123_1.ab)\n";
  auto r = run_droppair(dir, {"nonexist.ab"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.console.ends_with("could not open V00000_0.ab \n" + why)) << r.console;
  EXPECT_EQ(r.log_tail(),
            "rawfil01: could not open V00000_0.ab \nrawfil02: No such file or directory\nrawfil03: " + why);
  // The name asked for is the one looked for: nothing to explain.
  r = run_droppair(dir, {"V05124_1.ab"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.console.ends_with("could not open V05124_1.ab \n")) << r.console;
  EXPECT_EQ(r.log_tail(), "rawfil01: could not open V05124_1.ab \nrawfil02: No such file or directory\n");
}

}  // namespace
