// Runs whose output files cannot be written: past the file-size limit (set for the child; droppair
// ignores SIGXFSZ, so that a write past it fails with EFBIG as one on a full disk fails with
// ENOSPC), on a full device, and with an output directory missing. Each ends with exit status 1
// and texts that name the file and the system's reason; what was written whole stays readable
// and consistent, and the results of an earlier run are kept when the run cannot write at all.
// droppair-batch counts such a run as failed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/output_check.h"
#include "support/scratch_run.h"
#include "support/storm_fixture.h"

namespace {

namespace fs = std::filesystem;
using dp_test::read_text;
using dp_test::scratch_dir;
using settings_changes = std::vector<std::pair<std::string, std::string>>;

// Runs argv in dir, standard output and error to console.out and stderr.out there, every file it
// writes limited to limit bytes; returns the exit status (-1 when it did not exit).
int run_limited(const scratch_dir& dir, const std::vector<std::string>& argv, rlim_t limit) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::string out = dir.file("console.out"), err = dir.file("stderr.out");
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(dir.path.c_str()) != 0 || in < 0 || o < 0 || e < 0) _exit(126);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    const rlimit l{limit, limit};
    setrlimit(RLIMIT_FSIZE, &l);  // SIGXFSZ keeps its default action: droppair must ignore it
    execv(args[0], args.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A scratch directory with settings, calibration and a raw file of synthetic rain with a new
// main header every 40 windows (each forces a block), run once without a limit.
struct rain_dir {
  scratch_dir dir;
  dp_test::storm_file storm;
  dp_test::run_outputs complete;
  explicit rain_dir(const settings_changes& settings = {}) {
    dp_test::storm_options o;
    o.windows = 400;
    o.seed = 11;
    o.gap_min = 10;
    o.gap_max = 120;
    o.radius_min = 6;
    o.radius_max = 30;
    o.new_header_every = 40;
    storm = dp_test::make_storm(o);
    dp_test::write_text(dir.file("DROPPAIR.SET"), dp_test::settings_text(settings));
    dp_test::write_text(dir.file("corrfact.dat"), dp_test::neutral_corrfact());
    dp_test::write_file(dir.file("V05123_1.ab"), storm.raw);
  }
  void run_complete(const std::string& base) {
    const dp_test::run_result r = dp_test::run_droppair(dir, {"V05123_1.ab"});
    ASSERT_EQ(r.status, 0) << r.console;
    complete = dp_test::read_outputs(base);
  }
  // The outputs after a run that ended early: whole records, a prefix of the complete run's.
  std::string check(const std::string& base) const {
    dp_test::output_expectations e;
    e.raw = &storm.raw;
    e.finished = false;
    e.complete = &complete;
    return dp_test::check_outputs(dp_test::read_outputs(base), e);
  }
  std::string log_tail() const {
    dp_test::run_result r;
    r.log = read_text(dir.file("DROPPAIR.ERR"));
    return r.log_tail();
  }
};

TEST(WriteFailure, FileSizeLimitInTheParticleFileEndsTheRunWithWholeRecords) {
  rain_dir d;
  d.run_complete(d.dir.file("V05123_1"));
  // The limit falls inside a particle record in the middle of the .sno: the block holding it is
  // the write that fails (header records are written alone).
  const dp_test::sno_walk w = dp_test::walk_sno(d.complete.sno, false);
  ASSERT_GT(w.particle_at.size(), 100u);
  ASSERT_GT(w.headers.size(), 5u);
  const size_t at = *w.particle_at.lower_bound(d.complete.sno.size() / 2);
  ASSERT_GT(at, 30000u);  // beyond the .abh and .shd, which stay far smaller
  const int status = run_limited(d.dir, {DROPPAIR_BIN, "V05123_1.ab"}, at + 10);

  EXPECT_EQ(status, 1);
  const std::string text = "net_wr: could not write to sno-file V05123_1.sno: File too large\n";
  const std::string console = read_text(d.dir.file("console.out"));
  EXPECT_TRUE(ends_with(console, "\n" + text)) << console;
  EXPECT_EQ(console.find("end of ab-file"), std::string::npos);
  EXPECT_TRUE(ends_with(d.log_tail(), " net_wr02 : File too large\n" + text)) << d.log_tail();
  EXPECT_EQ(d.check(d.dir.file("V05123_1")), "");
  const auto size = fs::file_size(d.dir.file("V05123_1.sno"));
  EXPECT_GT(size, 0u);
  EXPECT_LE(size, at);
}

TEST(WriteFailure, HeaderCutShortInTheIndexFileIsCutOffAndEndsTheRun) {
  rain_dir d;
  d.run_complete(d.dir.file("V05123_1"));
  // 30 bytes of the first header fit behind the table part of the .abh.
  const int status = run_limited(d.dir, {DROPPAIR_BIN, "V05123_1.ab"}, 11544 + 30);

  EXPECT_EQ(status, 1);
  const std::string text = "main_hr03: could not write to abh-file\nmain_hr03: V05123_1.abh: File too large\n";
  const std::string console = read_text(d.dir.file("console.out"));
  EXPECT_TRUE(ends_with(console, text)) << console;
  EXPECT_EQ(d.log_tail(), "\n" + text);
  EXPECT_EQ(fs::file_size(d.dir.file("V05123_1.abh")), 11544u);
  EXPECT_EQ(d.check(d.dir.file("V05123_1")), "");
}

TEST(WriteFailure, FullDeviceEndsTheRunNamingTheParticleFile) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  rain_dir d;
  fs::create_symlink("/dev/full", d.dir.file("V05123_1.sno"));
  const dp_test::run_result r = dp_test::run_droppair(d.dir, {"V05123_1.ab"});

  EXPECT_EQ(r.status, 1);
  const std::string text =
      "main_hr06: could not write to sno-file\nmain_hr06: V05123_1.sno: No space left on device\n";
  EXPECT_TRUE(ends_with(r.console, text)) << r.console;
  EXPECT_EQ(r.log_tail(), "\n" + text);
  // The header went to the .shd and the .abh before: each holds it whole.
  EXPECT_EQ(fs::file_size(d.dir.file("V05123_1.shd")), 5770u + 74u);
  EXPECT_EQ(fs::file_size(d.dir.file("V05123_1.abh")), 11544u + 74u);
}

// The .abh cannot be created (RAW_PATH names a missing directory): the results of the earlier
// run in HYD_PATH, whose two missing levels that run created, are left as they were.
TEST(WriteFailure, EarlierResultsAreKeptWhenAnOutputCannotBeCreated) {
  rain_dir d(settings_changes{{"HYD_PATH", "out/day"}});
  d.run_complete(d.dir.file("out/day/V05123_1"));
  ASSERT_FALSE(d.complete.sno.empty());
  dp_test::write_text(d.dir.file("DROPPAIR.SET"), dp_test::settings_text({{"HYD_PATH", "out/day"}, {"RAW_PATH", "gone"}}));
  const dp_test::run_result r = dp_test::run_droppair(d.dir, {"V05123_1.ab"});

  EXPECT_EQ(r.status, 1);
  const std::string added = "pixfil09: gone/V05123_1.abh: No such file or directory\n";
  EXPECT_TRUE(ends_with(r.console, "\npixfil09: could not create abh-file\n" + added)) << r.console;
  EXPECT_EQ(r.log_tail(), "pixfil09: could not create abh-file\n" + added);
  const dp_test::run_outputs now = dp_test::read_outputs(d.dir.file("out/day/V05123_1"));
  EXPECT_EQ(now.sno, d.complete.sno);
  EXPECT_EQ(now.shd, d.complete.shd);
}

// droppair-batch: a run that ends on a write failure is a failed run; so is one that exits 0 but
// logged a failed write (as droppair did before such failures ended the run).
TEST(WriteFailure, BatchCountsARunWithAWriteFailureAsFailed) {
  if (std::system("command -v parallel >/dev/null 2>&1") != 0) GTEST_SKIP() << "GNU parallel is not installed";
  const std::string script = std::string(DROPPAIR_SOURCE_DIR) + "/scripts/droppair-batch";
  rain_dir d;
  scratch_dir fake_dir;
  const std::string fake = fake_dir.file("droppair");
  dp_test::write_text(fake,
                      "#!/bin/sh\nprintf '\\nPAIRUP starts at now\\n net_wr02 : No space left on device\\n' >DROPPAIR.ERR\n"
                      "printf '*********** end of ab-file ***********'\nexit 0\n");
  fs::permissions(fake, fs::perms::owner_all);
  struct {
    std::string droppair;
    rlim_t limit;
    const char* failure;
  } cases[] = {
      {DROPPAIR_BIN, 40000, "FAILED V05123_1.ab: exit status 1: net_wr02 : File too large"},
      {fake, RLIM_INFINITY, "FAILED V05123_1.ab: exit status 0: net_wr02 : No space left on device"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.droppair);
    fs::remove_all(d.dir.file("runs"));
    const int status =
        run_limited(d.dir, {script, "--droppair", c.droppair, "--out", "runs", "DROPPAIR.SET", "corrfact.dat", "V05123_1.ab"},
                    c.limit);
    const std::string out = read_text(d.dir.file("console.out"));
    EXPECT_EQ(status, 1) << out << read_text(d.dir.file("stderr.out"));
    EXPECT_NE(out.find("0 succeeded, 1 failed"), std::string::npos) << out;
    EXPECT_NE(out.find(c.failure), std::string::npos) << out;
  }
}

}  // namespace
