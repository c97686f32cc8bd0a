// droppair-batch over a small generated archive: the summary's rows, outputs byte-identical to
// single runs of droppair, a damaged file that fails alone, a missing calibration that fails every
// run, --resume doing no work the second time, and the command line GNU parallel receives.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "platform/byte_order.h"
#include "support/raw_fixture.h"
#include "support/scratch_run.h"

namespace {

namespace fs = std::filesystem;
using dp_test::bytes;
using dp_test::read_file;
using dp_test::read_text;
using dp_test::scratch_dir;
using dp_test::shell_quote;
using dp_test::write_text;

const std::string k_script = std::string(DROPPAIR_SOURCE_DIR) + "/scripts/droppair-batch";

// The batch runs its jobs through GNU parallel; .ci/packages installs it.
bool have_parallel() { return std::system("command -v parallel >/dev/null 2>&1") == 0; }
#define NEED_PARALLEL() \
  if (!have_parallel()) GTEST_SKIP() << "GNU parallel (Debian package parallel) is not installed"

// A raw file of the format with n drops, each seen by camera B a few lines after camera A.
bytes rain(int format, int n, unsigned seed) {
  dp_test::byte_builder b;
  dp_test::header_values h;
  h.data_format = static_cast<int16_t>(format);
  b.record(3, dp_test::header_payload(format, h));
  std::mt19937 rng(seed);
  double y = 200000.0;
  for (int i = 0; i < n; ++i) {
    const int x = 60 + static_cast<int>(rng() % 500), radius = 3 + static_cast<int>(rng() % 10);
    const int height = 4 + static_cast<int>(rng() % 8), delay = 12 + static_cast<int>(rng() % 15);
    for (int cam = 1; cam <= 2; ++cam) {
      std::vector<dp_test::fixture_line> ls;
      for (int k = 0; k < height; ++k) {
        const double t = (k + 0.5) / height * 2.0 - 1.0;
        const int half = std::max(1, static_cast<int>(radius * std::sqrt(1.0 - t * t) + 0.5));
        ls.push_back({y + k + (cam == 2 ? delay : 0), {{x - half, x + half}}});
      }
      b.record(cam, dp_test::line_payload(format, ls));
    }
    y += 200 + rng() % 300;
  }
  return b.out;
}

// Particle records of a .sno, walked by the record lengths.
int particles_in(const bytes& sno) {
  int n = 0;
  for (size_t at = 0; at + 4 <= sno.size();) {
    const int indic = dp::load_les16(&sno[at]);
    n += indic > 0;
    at += static_cast<size_t>(indic == -74 ? 74 : indic);
  }
  return n;
}

struct outcome {
  int status;
  std::string out, err;
};

outcome run_in(const scratch_dir& dir, const std::string& args, const std::string& env = "") {
  const std::string cmd = "cd " + shell_quote(dir.path.string()) + " && " + env + shell_quote(k_script) +
                          " --droppair " + shell_quote(DROPPAIR_BIN) + " " + args +
                          " >batch.out 2>batch.err </dev/null";
  const int rc = std::system(cmd.c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, read_text(dir.file("batch.out")), read_text(dir.file("batch.err"))};
}

// The summary's rows by file, each a map of column to value (no field holds a comma here).
std::map<std::string, std::map<std::string, std::string>> summary(const std::string& path) {
  std::stringstream s(read_text(path));
  std::string line;
  std::vector<std::string> head;
  std::map<std::string, std::map<std::string, std::string>> rows;
  while (std::getline(s, line)) {
    std::vector<std::string> cells;
    std::stringstream l(line);
    for (std::string c; std::getline(l, c, ',');) cells.push_back(c);
    if (line.back() == ',') cells.push_back("");
    if (head.empty()) {
      head = cells;
      continue;
    }
    EXPECT_EQ(cells.size(), head.size()) << line;
    for (size_t i = 0; i < cells.size() && i < head.size(); ++i) rows[cells[0]][head[i]] = cells[i];
  }
  return rows;
}

// The archive: three days in all three formats, one file cut off in its last record (a warning),
// one damaged from its first record on (a failure), and a file that is no raw data file.
struct archive {
  scratch_dir dir;
  std::vector<std::string> good = {"arch/05123/V05123_1.ab", "arch/05124/V05124_1.ab", "arch/05125/V05125_1.ab",
                                   "arch/05125/V05125_2.ab"};
  std::string damaged = "arch/05126/V05126_1.ab";
  archive() {
    for (const char* d : {"arch/05123", "arch/05124", "arch/05125", "arch/05126"}) fs::create_directories(dir.path / d);
    write_text(dir.file("DROPPAIR.SET"), dp_test::settings_text());
    write_text(dir.file("corrfact.dat"), dp_test::neutral_corrfact());
    dp_test::write_file(dir.file(good[0]), rain(3, 40, 1));
    dp_test::write_file(dir.file(good[1]), rain(2, 40, 2));
    dp_test::write_file(dir.file(good[2]), rain(1, 40, 3));
    bytes cut = rain(3, 30, 4);
    cut.resize(cut.size() - 5);
    dp_test::write_file(dir.file(good[3]), cut);
    bytes bad = rain(3, 5, 5);
    bad[0] = 9;
    dp_test::write_file(dir.file(damaged), bad);
    write_text(dir.file("arch/05126/notes.txt"), "not raw data\n");
  }
};

TEST(DroppairBatch, SummarisesEveryRunAndMatchesSingleRuns) {
  NEED_PARALLEL();
  archive a;
  const outcome r = run_in(a.dir, "-j 2 --out runs DROPPAIR.SET corrfact.dat arch");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("droppair-batch: 5 raw files: 5 run, 0 up to date; 4 succeeded, 1 failed;"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("FAILED " + a.damaged + ": exit status 1: rawfil: corrupted ab-file (log: "
                       "runs/V05126_1/DROPPAIR.ERR)"),
            std::string::npos)
      << r.out;

  auto rows = summary(a.dir.file("runs/droppair-batch.csv"));
  ASSERT_EQ(rows.size(), 5u);
  for (const std::string& raw : a.good) {
    const std::string stem = fs::path(raw).stem().string();
    SCOPED_TRACE(raw);
    // A single run of droppair on the same file.
    scratch_dir single;
    fs::copy_file(a.dir.file(raw), single.file(stem + ".ab"));
    fs::copy_file(a.dir.file("DROPPAIR.SET"), single.file("DROPPAIR.SET"));
    fs::copy_file(a.dir.file("corrfact.dat"), single.file("corrfact.dat"));
    const auto one = dp_test::run_droppair(single, {stem + ".ab"});
    ASSERT_EQ(one.status, 0);
    for (const char* ext : {".sno", ".shd", ".abh"})
      EXPECT_EQ(read_file(a.dir.file("runs/" + stem + "/" + stem + ext)), read_file(single.file(stem + ext))) << ext;
    const bytes sno = read_file(single.file(stem + ".sno"));
    EXPECT_GT(particles_in(sno), 10);

    auto& row = rows[raw];
    EXPECT_EQ(row["status"], "0");
    EXPECT_EQ(row["particles"], std::to_string(particles_in(sno)));
    const std::string tail = one.log_tail();
    const auto warnings = std::count(tail.begin(), tail.end(), '\n');
    EXPECT_EQ(row["warnings"], std::to_string(warnings));
    EXPECT_EQ(row["log"], "runs/" + stem + "/DROPPAIR.ERR");
    EXPECT_EQ(row["message"], "");
    EXPECT_FALSE(row["seconds"].empty());
  }
  EXPECT_EQ(rows[a.good[3]]["warnings"], "1");  // the record cut off at the end
  auto& bad = rows[a.damaged];
  EXPECT_EQ(bad["status"], "1");
  EXPECT_EQ(bad["particles"], "");
  EXPECT_EQ(bad["message"], "rawfil: corrupted ab-file");
  EXPECT_EQ(bad["log"], "runs/V05126_1/DROPPAIR.ERR");
}

TEST(DroppairBatch, ResumeRunsOnlyWhatIsNotComplete) {
  NEED_PARALLEL();
  archive a;
  ASSERT_EQ(run_in(a.dir, "DROPPAIR.SET corrfact.dat arch").status, 1);
  const std::string first_log = read_text(a.dir.file("V05123_1/DROPPAIR.ERR"));
  const std::string first_status = read_text(a.dir.file("V05123_1/droppair-batch.status"));

  // The finished runs are left alone (their logs keep the first start time); the failed one runs again.
  outcome r = run_in(a.dir, "--resume DROPPAIR.SET corrfact.dat arch");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("5 raw files: 1 run, 4 up to date; 4 succeeded, 1 failed;"), std::string::npos) << r.out;
  EXPECT_EQ(read_text(a.dir.file("V05123_1/DROPPAIR.ERR")), first_log);
  EXPECT_EQ(read_text(a.dir.file("V05123_1/droppair-batch.status")), first_status);
  auto rows = summary(a.dir.file("droppair-batch.csv"));
  EXPECT_EQ(rows[a.good[0]]["message"], "up to date: not run again");
  EXPECT_EQ(rows[a.good[0]]["status"], "0");
  EXPECT_NE(rows[a.good[0]]["particles"], "");

  // A raw file newer than its outputs runs again, and so does everything when the calibration changes.
  const auto later = fs::last_write_time(a.dir.file("V05124_1/V05124_1.sno")) + std::chrono::seconds(5);
  fs::last_write_time(a.dir.file(a.good[1]), later);
  r = run_in(a.dir, "--resume DROPPAIR.SET corrfact.dat arch");
  EXPECT_NE(r.out.find("5 raw files: 2 run, 3 up to date;"), std::string::npos) << r.out;
  write_text(a.dir.file("corrfact.dat"), dp_test::neutral_corrfact() + "\n");
  r = run_in(a.dir, "--resume DROPPAIR.SET corrfact.dat arch");
  EXPECT_NE(r.out.find("5 raw files: 5 run, 0 up to date;"), std::string::npos) << r.out;
}

TEST(DroppairBatch, MissingCalibrationFailsEveryRunWithTheTablesMessage) {
  NEED_PARALLEL();
  archive a;
  fs::remove(a.dir.file(a.damaged));
  const outcome r = run_in(a.dir, "DROPPAIR.SET absent/corrfact.dat arch");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("calibration file absent/corrfact.dat not found"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("4 raw files: 4 run, 0 up to date; 0 succeeded, 4 failed;"), std::string::npos) << r.out;
  const auto rows = summary(a.dir.file("droppair-batch.csv"));
  ASSERT_EQ(rows.size(), 4u);
  for (const auto& [file, row] : rows) {
    EXPECT_EQ(row.at("status"), "1") << file;
    EXPECT_EQ(row.at("message"), "tables: could not open corrfact.dat") << file;
  }
}

TEST(DroppairBatch, HostsAndJobsGoToGnuParallel) {
  archive a;
  // A stand-in for GNU parallel that records its arguments and its job list, and runs nothing.
  fs::create_directories(a.dir.path / "bin");
  write_text(a.dir.file("bin/parallel"),
             "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >\"$PWD/parallel.args\"\n"
             "while [ $# -gt 1 ]; do [ \"$1\" = -a ] && tr '\\0' '\\n' <\"$2\" >\"$PWD/parallel.jobs\"; shift; done\n");
  fs::permissions(a.dir.file("bin/parallel"), fs::perms::owner_all);
  const outcome r = run_in(a.dir, "-j 3 --sshlogin host1,host2 --out runs DROPPAIR.SET corrfact.dat arch",
                           "PATH=" + shell_quote(a.dir.file("bin")) + ":\"$PATH\" ");
  EXPECT_EQ(r.status, 1);  // nothing ran, so no file has a result

  std::vector<std::string> args;
  std::stringstream s(read_text(a.dir.file("parallel.args")));
  for (std::string l; std::getline(s, l);) args.push_back(l);
  const std::string root = fs::canonical(a.dir.path).string();
  const std::vector<std::string> want = {"--will-cite", "--joblog", root + "/runs/droppair-batch.joblog",
                                         "-j", "3", "--sshlogin", "host1,host2", "-q", "-0", "-a",
                                         root + "/runs/droppair-batch.jobs", k_script, "--run-one", root + "/runs",
                                         root + "/DROPPAIR.SET", root + "/corrfact.dat", DROPPAIR_BIN};
  EXPECT_EQ(args, want);
  std::string jobs;
  for (const auto& f : {a.good[0], a.good[1], a.good[2], a.good[3], a.damaged}) jobs += root + "/" + f + "\n";
  EXPECT_EQ(read_text(a.dir.file("parallel.jobs")), jobs);
  const auto rows = summary(a.dir.file("runs/droppair-batch.csv"));
  EXPECT_EQ(rows.at(a.good[0]).at("status"), "");
  EXPECT_EQ(rows.at(a.good[0]).at("message"), "no result: the run did not finish (see droppair-batch.joblog)");
}

TEST(DroppairBatch, RefusesBadInvocationsWithStatusTwo) {
  archive a;
  fs::create_directories(a.dir.path / "other");
  fs::copy_file(a.dir.file(a.good[0]), a.dir.file("other/V05123_1.ab"));
  const struct {
    std::string args, message;
  } cases[] = {
      {"missing.SET corrfact.dat arch", "droppair-batch: settings file missing.SET not found\n"},
      {"DROPPAIR.SET corrfact.dat nowhere", "droppair-batch: nowhere: no such file or directory\n"},
      {"DROPPAIR.SET corrfact.dat arch/05126/notes.txt",
       "droppair-batch: arch/05126/notes.txt is not a raw data file (V*.ab)\n"},
      {"DROPPAIR.SET corrfact.dat arch other",
       "droppair-batch: arch/05123/V05123_1.ab and other/V05123_1.ab would share the working directory "
       "./V05123_1: process them in separate batches\n"},
  };
  for (const auto& c : cases) {
    const outcome r = run_in(a.dir, c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_EQ(r.err, c.message);
  }
  const outcome help = run_in(a.dir, "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--sshlogin"), std::string::npos);
}

}  // namespace
