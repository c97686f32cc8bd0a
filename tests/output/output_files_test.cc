#include "output/output_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include <sys/resource.h>

#include "control/settings.h"
#include "headers/timing_model.h"
#include "output/particle_writer.h"
#include "rawinput/raw_file.h"
#include "support/byte_builder.h"
#include "support/raw_fixture.h"
#include "support/temp_cwd.h"

namespace {

using dp_test::byte_builder;
using dp_test::bytes;
using dp_test::read_file;

void reset_all() {
  dp::reset_output_files();
  dp::reset_timing();
  dp::reset_particle_writer();
  dp::writer.oldlen = 0;
  dp::writer.lastpix_y = 0;
  dp::reset_settings();
  dp::reset_raw_file();
}

// The .shd right after creation: pix_bf with entry 0 = 0 and all others -1, then oldlen 0.
bytes fresh_shd() {
  byte_builder b;
  b.le32(0);
  for (int k = 1; k < 1442; ++k) b.le32(0xFFFFFFFFu);
  b.le16(0);
  return b.out;
}

class OutputFiles : public testing::Test {
 protected:
  dp_test::temp_cwd tmp;
  void SetUp() override {
    reset_all();
    dp::raw_file.ab_path = tmp.path("data/V05123_1.ab");
  }
  void TearDown() override { reset_all(); }
};

TEST_F(OutputFiles, PixfilCreatesTheThreeFilesWithTheirStartContents) {
  std::filesystem::create_directory(tmp.path("raw"));
  dp::set_par.RAW_PATH = tmp.path("raw/");
  dp::set_par.HYD_PATH = tmp.path("hyd/day/");  // missing, both levels: pixfil creates them
  // The new .abh starts with empty position tables whatever the timing model holds.
  dp::timing.posa_bf[7] = 99;
  dp::timing.posb_bf[1441] = 5;

  dp::pixfil(dp::set_par.HYD_PATH, dp::set_par.RAW_PATH, dp::raw_file.ab_path);

  EXPECT_EQ(dp::out_files.abh_nam, tmp.path("raw/V05123_1.abh"));
  EXPECT_EQ(dp::out_files.pix_nam, tmp.path("hyd/day/V05123_1.sno"));
  EXPECT_EQ(dp::out_files.hd_nam, tmp.path("hyd/day/V05123_1.shd"));
  ASSERT_NE(dp::out_files.sno_fp, nullptr);
  ASSERT_NE(dp::out_files.shd_fp, nullptr);
  ASSERT_NE(dp::out_files.abh_fp, nullptr);
  EXPECT_EQ(std::ftell(dp::out_files.sno_fp), 0);
  EXPECT_EQ(std::ftell(dp::out_files.shd_fp), 5770);
  EXPECT_EQ(std::ftell(dp::out_files.abh_fp), 0);

  EXPECT_EQ(read_file(tmp.path("raw/V05123_1.abh")), bytes(11544, 0));
  EXPECT_EQ(read_file(tmp.path("hyd/day/V05123_1.shd")), fresh_shd());
  EXPECT_TRUE(std::filesystem::exists(tmp.path("hyd/day/V05123_1.sno")));
  EXPECT_EQ(std::filesystem::file_size(tmp.path("hyd/day/V05123_1.sno")), 0u);
}

TEST_F(OutputFiles, EmptyPathsPutTheFilesInTheWorkingDirectoryAndReplaceOldOnes) {
  dp_test::write_file(tmp.path("V05123_1.sno"), bytes(300, 7));
  dp_test::write_file(tmp.path("V05123_1.shd"), bytes(9000, 7));
  dp_test::write_file(tmp.path("V05123_1.abh"), bytes(20000, 7));

  dp::pixfil(dp::set_par.HYD_PATH, dp::set_par.RAW_PATH, dp::raw_file.ab_path);

  EXPECT_EQ(dp::out_files.pix_nam, "V05123_1.sno");
  EXPECT_EQ(dp::out_files.hd_nam, "V05123_1.shd");
  EXPECT_EQ(dp::out_files.abh_nam, "V05123_1.abh");
  dp::reset_output_files();  // closes the streams, so everything is on disk
  EXPECT_EQ(read_file(tmp.path("V05123_1.sno")), bytes());
  EXPECT_EQ(read_file(tmp.path("V05123_1.shd")), fresh_shd());
  EXPECT_EQ(read_file(tmp.path("V05123_1.abh")), bytes(11544, 0));
}

// In a death-test child: files may grow to n bytes; a write past that fails with EFBIG (SIGXFSZ
// ignored), as one on a full disk fails with ENOSPC.
void limit_file_size(rlim_t n) {
  const rlimit limit{n, n};
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, SIG_IGN);
}

// The texts of a failed pixfil step on both channels: its own, then the line naming path and reason.
std::string pixfil_texts(const std::string& log, const std::string& path, const std::string& reason) {
  const std::string label = log.substr(0, 8);
  const std::string added = label + ": " + path + ": " + reason + "\n";
  std::string console = "\n" + log;
  if (label == "pixfil10") console.replace(console.find("aabh"), 4, "abh");
  return log + added + console + added;
}

TEST_F(OutputFiles, ParticleDirectoryThatCannotBeMadeFailsAtTheSnoFileNamingTheLevel) {
  dp_test::write_file(tmp.path("blocker"), bytes(1, 0));  // a file where a directory should be
  dp::set_par.HYD_PATH = tmp.path("blocker/day/");
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        dp::pixfil(dp::set_par.HYD_PATH, dp::set_par.RAW_PATH, dp::raw_file.ab_path);
      },
      testing::ExitedWithCode(1),
      dp_test::exact_re(pixfil_texts("pixfil01: could not create sno-file\n", tmp.path("blocker/"),
                                     "Not a directory")));
  EXPECT_FALSE(std::filesystem::exists(tmp.path("V05123_1.abh")));
}

// An output that cannot be opened is found before any file is emptied: every file that existed
// keeps its bytes, and a file the check created is removed again.
TEST_F(OutputFiles, OutputThatCannotBeOpenedLeavesEveryEarlierFileAsItWas) {
  struct {
    const char* blocked;  // a directory stands at this file's name ("" : RAW_PATH is missing)
    const char* absent;   // this file does not exist before the run
    const char* log;
    const char* reason;
  } cases[] = {
      {"V05123_1.sno", "V05123_1.shd", "pixfil01: could not create sno-file\n", "Is a directory"},
      {"V05123_1.abh", "", "pixfil09: could not create abh-file\n", "Is a directory"},
      {"V05123_1.shd", "V05123_1.abh", "pixfil18: could not create shd-file\n", "Is a directory"},
      {"", "V05123_1.sno", "pixfil09: could not create abh-file\n", "No such file or directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    for (const char* name : {"V05123_1.sno", "V05123_1.shd", "V05123_1.abh"}) std::filesystem::remove_all(tmp.path(name));
    dp::set_par.RAW_PATH = c.blocked[0] == '\0' ? tmp.path("no-such-dir/") : tmp.path("");
    dp::set_par.HYD_PATH = tmp.path("");
    const bytes earlier(300, 7);
    for (const char* name : {"V05123_1.sno", "V05123_1.shd", "V05123_1.abh"}) {
      if (std::string(name) == c.blocked) std::filesystem::create_directory(tmp.path(name));
      else if (std::string(name) != c.absent) dp_test::write_file(tmp.path(name), earlier);
    }
    const std::string failed =
        c.blocked[0] == '\0' ? tmp.path("no-such-dir/V05123_1.abh") : tmp.path(c.blocked);
    EXPECT_EXIT(
        {
          dp_test::console_to_log();
          dp::pixfil(dp::set_par.HYD_PATH, dp::set_par.RAW_PATH, dp::raw_file.ab_path);
        },
        testing::ExitedWithCode(1), dp_test::exact_re(pixfil_texts(c.log, failed, c.reason)));
    for (const char* name : {"V05123_1.sno", "V05123_1.shd", "V05123_1.abh"}) {
      if (std::string(name) == c.blocked) continue;
      if (std::string(name) == c.absent) EXPECT_FALSE(std::filesystem::exists(tmp.path(name))) << name;
      else EXPECT_EQ(read_file(tmp.path(name)), earlier) << name;
    }
  }
}

// Past the file-size limit the table part of the .abh is written in part: the run ends naming the
// file and the reason, and the part is cut off (the file is empty, as before its table part).
TEST_F(OutputFiles, TablePartCutShortEndsTheRunAndIsCutOff) {
  EXPECT_EXIT(
      {
        dp_test::console_to_log();
        limit_file_size(11000);
        dp::pixfil(dp::set_par.HYD_PATH, dp::set_par.RAW_PATH, dp::raw_file.ab_path);
      },
      testing::ExitedWithCode(1),
      dp_test::exact_re(pixfil_texts("pixfil11: could not write to abh-file\n", "V05123_1.abh", "File too large")));
  EXPECT_EQ(std::filesystem::file_size(tmp.path("V05123_1.abh")), 0u);
}

TEST_F(OutputFiles, TableWritesAreLittleEndianBlocks) {
  int32_t table[dp::k_minutes] = {};
  table[0] = 0x01020304;
  table[1441] = -2;
  std::FILE* fp = std::fopen(tmp.path("t").c_str(), "w+b");
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(dp::write_shd_table(fp, table, -74), 5770u);
  EXPECT_EQ(dp::write_abh_table(fp, table, table, 1.5), 11544u);
  EXPECT_TRUE(dp::reopen_output(fp, tmp.path("t")));
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(std::ftell(fp), 0);
  std::fclose(fp);

  byte_builder b;
  b.le32(0x01020304).zeros(4 * 1440).le32(0xFFFFFFFEu).le16(-74);
  for (int k = 0; k < 2; ++k) b.le32(0x01020304).zeros(4 * 1440).le32(0xFFFFFFFEu);
  b.f64(1.5);
  EXPECT_EQ(read_file(tmp.path("t")), b.out);
}

TEST_F(OutputFiles, FailedReopenLeavesNoStream) {
  std::FILE* fp = std::fopen(tmp.path("gone").c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  std::filesystem::remove(tmp.path("gone"));
  EXPECT_FALSE(dp::reopen_output(fp, tmp.path("gone")));
  EXPECT_EQ(fp, nullptr);
  errno = 0;
  const uint8_t one = 1;
  EXPECT_FALSE(dp::write_block(nullptr, &one, 1));
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
