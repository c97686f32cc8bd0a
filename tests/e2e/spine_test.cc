// End-to-end runs of the built binary on small raw data files: the command line, the raw file
// checks, the record framing and the end of the run.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/raw_fixture.h"
#include "support/scratch_run.h"

namespace {

using dp_test::byte_builder;
using dp_test::bytes;
using dp_test::header_payload;
using dp_test::run_droppair;
using dp_test::scratch_dir;

constexpr const char* k_announce = "error occurred!\nan error description was written to DROPPAIR.ERR";
constexpr const char* k_end_line = "*********** end of ab-file ***********";

// A scratch directory with settings and calibration, ready for a run.
struct run_dir : scratch_dir {
  run_dir() {
    dp_test::write_text(file("DROPPAIR.SET"), dp_test::settings_text());
    dp_test::write_text(file("corrfact.dat"), dp_test::neutral_corrfact());
  }
  void raw(const bytes& b, const std::string& name = "V05123_1.ab") const { dp_test::write_file(file(name), b); }
};

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(Spine, WrongArgumentCountShowsUsage) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"a.ab", "b.ab"}}) {
    run_dir dir;
    const auto r = run_droppair(dir, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ends_with(r.console, "\nInvocation:\n\nDROPPAIR filespec\n"
                                     "\nfilespec:  path and name of distrometer raw data file (V*.AB)\n"));
    EXPECT_EQ(r.log_tail(), "EvaluateArg: wrong number of arguments! \n");
    EXPECT_EQ(r.log.rfind("\nPAIRUP starts at ", 0), 0u);
  }
}

TEST(Spine, StartLineIsUtcAsctimeText) {
  run_dir dir;
  const auto r = run_droppair(dir, {});
  // "\nPAIRUP starts at Tue Dec  8 15:07:03 2026\n"
  const std::string start = r.log.substr(0, r.log.find('\n', 1) + 1);
  EXPECT_EQ(start.size(), 1 + 17 + 25u) << start;
  EXPECT_EQ(start[18 + 3], ' ');
  EXPECT_EQ(start[18 + 13], ':');
}

TEST(Spine, UpperCaseExtensionIsRefused) {
  run_dir dir;
  dir.raw(byte_builder().record(3, header_payload(3)).out, "V05123_1.AB");
  const auto r = run_droppair(dir, {"V05123_1.AB"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(ends_with(r.console, "file is not an ab-file"));
  EXPECT_EQ(r.log_tail(), "EvaluateArg: file is not an ab-file \n");
}

TEST(Spine, SettingsFailureReplacesAnOldLogWithItsText) {
  run_dir dir;
  dp_test::write_text(dir.file("DROPPAIR.ERR"), "old log\n");
  dp_test::write_text(dir.file("DROPPAIR.SET"), dp_test::settings_text({{"WA_WB", "<drop>"}}));
  const auto r = run_droppair(dir, {"V05123_1.ab"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(ends_with(r.console, k_announce));
  EXPECT_EQ(r.stderr_text, " could not find WA_WB \n");
  EXPECT_EQ(r.log_tail(), " could not find WA_WB \n");  // the announcement holds
}

TEST(Spine, HeaderOnlyFileOfEachFormatRunsToTheEnd) {
  for (int format : {1, 2, 3}) {
    run_dir dir;
    dir.raw(byte_builder().record(3, header_payload(format)).out);
    const auto r = run_droppair(dir, {"V05123_1.ab"});
    EXPECT_EQ(r.status, 0) << format;
    EXPECT_TRUE(ends_with(r.console, k_end_line)) << r.console;
    EXPECT_EQ(r.log_tail(), "") << format;
  }
}

struct refused_case {
  const char* what;
  bytes file;
  const char* console_tail;
  const char* log_tail;
};

TEST(Spine, RawFileChecksRefuseBadFirstRecords) {
  const refused_case cases[] = {
      {"line data first", byte_builder().record(1, bytes(10, 0)).out, "corrupted ab-file",
       "rawfil: corrupted ab-file\n"},
      {"header of length 40", byte_builder().record(3, bytes(40, 0)).out, "wrong ab-format",
       "rawfil: wrong ab-format\n"},
      {"empty file", bytes{}, "corrupted ab-file",
       "rawfil: could not read from ab-file: unexpected end of file\n"
       "rawfil: could not read from ab-file: unexpected end of file\n"
       "rawfil: corrupted ab-file\n"},
      {"type 3 and no length", byte_builder().le16(3).u8(0).out, "wrong ab-format",
       "rawfil: could not read from ab-file: unexpected end of file\nrawfil: wrong ab-format\n"},
  };
  for (const auto& c : cases) {
    run_dir dir;
    dir.raw(c.file);
    const auto r = run_droppair(dir, {"V05123_1.ab"});
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_TRUE(ends_with(r.console, c.console_tail)) << c.what << ": " << r.console;
    EXPECT_EQ(r.log_tail(), c.log_tail) << c.what;
  }
}

TEST(Spine, FileNameIsRebuiltFromItsDigits) {
  run_dir dir;
  dir.raw(byte_builder().record(3, header_payload(3)).out, "V05123_1.ab");
  auto r = run_droppair(dir, {"V05123_1x.ab"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(ends_with(r.console, k_end_line));

  r = run_droppair(dir, {"Vab.ab"});
  EXPECT_EQ(r.status, 1);
  const std::string why =
      "the name of the raw data file is rebuilt from the digits of Vab.ab as V<yy><ddd>_<n>.ab (for instance "
      "V05123_1.ab)\n";
  EXPECT_TRUE(ends_with(r.console, "could not open V00000_0.ab \n" + why));
  EXPECT_EQ(r.log_tail(), "rawfil01: could not open V00000_0.ab \nrawfil02: No such file or directory\nrawfil03: " + why);
}

TEST(Spine, RawFileIsLookedForInTheArgumentsDirectory) {
  run_dir dir;
  std::filesystem::create_directory(dir.path / "in");
  dir.raw(byte_builder().record(3, header_payload(3)).out, "in/V05123_1.ab");
  const auto r = run_droppair(dir, {"in/V05123_1.ab"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.console.find("in/V05123_1.ab:"), std::string::npos);
}

TEST(Spine, UnknownTypesAndEmptyRecordsArePassedOver) {
  run_dir dir;
  dir.raw(byte_builder()
              .record(3, header_payload(3))
              .record(7, bytes(13, 0xAB))
              .record(1, {})
              .record(2, {})
              .record(9, {})
              .record(-5, bytes(3, 1))
              .out);
  const auto r = run_droppair(dir, {"V05123_1.ab"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(ends_with(r.console, k_end_line));
  // The empty line-data records are taken (one by each camera's scan) and rejected as too short.
  EXPECT_EQ(r.log_tail(),
            "decmpr01: unexpected end of file (record at offset 77)\n"
            "decmpr01: unexpected end of file (record at offset 81)\n");
}

TEST(Spine, UnreadableTailEndsTheRunWithOneLine) {
  const bytes good = byte_builder().record(3, header_payload(3)).record(7, bytes(6, 0)).out;  // 70 bytes
  struct {
    bytes tail;
    std::string line;
  } cases[] = {
      {bytes{7, 0, 5}, "mp80: record at offset 70 not read: incomplete record header\n"},
      {byte_builder().le16(7).le16(-2).zeros(10).out, "mp80: record at offset 70 not read: negative record length -2\n"},
      {byte_builder().le16(1).le16(100).zeros(20).out,
       "mp80: record at offset 70 not read: record of length 100 runs past the end of the file (94 bytes)\n"},
  };
  for (const auto& c : cases) {
    run_dir dir;
    bytes file = good;
    file.insert(file.end(), c.tail.begin(), c.tail.end());
    dir.raw(file);
    const auto r = run_droppair(dir, {"V05123_1.ab"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(ends_with(r.console, k_end_line));
    EXPECT_EQ(r.log_tail(), c.line);
  }
}

TEST(Spine, FileCutAnywhereEndsNormally) {
  const bytes full = byte_builder()
                         .record(3, header_payload(3))
                         .record(1, dp_test::line_payload(3, {{1000.0, {{10, 20}}}, {1001.0, {{11, 22}}}}))
                         .record(2, dp_test::line_payload(3, {{1004.0, {{10, 20}}}, {1005.0, {{11, 22}}}}))
                         .record(3, header_payload(3))
                         .out;
  // Offsets at which a record begins: a cut there leaves no partial record.
  std::vector<size_t> starts;
  for (size_t at = 0; at < full.size(); at += 4 + (full[at + 2] | (full[at + 3] << 8))) starts.push_back(at);
  for (size_t cut = 60; cut < full.size(); ++cut) {
    run_dir dir;
    dir.raw(bytes(full.begin(), full.begin() + static_cast<long>(cut)));
    const auto r = run_droppair(dir, {"V05123_1.ab"});
    EXPECT_EQ(r.status, 0) << cut;
    EXPECT_TRUE(ends_with(r.console, k_end_line)) << cut;
    if (std::find(starts.begin(), starts.end(), cut) != starts.end()) {
      EXPECT_EQ(r.log_tail(), "");
    } else {
      EXPECT_NE(r.log_tail().find("mp80: record at offset "), std::string::npos) << cut;
    }
  }
}

}  // namespace
