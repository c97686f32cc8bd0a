// droppair-batch over a small generated archive: the summary's rows, outputs byte-identical to
// single runs of droppair, a damaged file that fails alone, a missing calibration that fails every
// run, --resume doing no work the second time (and redoing a run whose outputs fail snodump
// --check), a stop signal that ends the jobs and leaves the summary of what finished, and the
// command line GNU parallel receives. Then the daily products made after the runs (only from runs
// that ended normally, per-day rain totals, --resume redoing only the days whose inputs changed),
// and runs over two ssh logins of this machine, against a test sshd, that equal local runs byte
// for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include <signal.h>
#include <unistd.h>

#include "base/byte_order.h"
#include "support/abgen_run.h"
#include "support/raw_fixture.h"
#include "support/scratch_run.h"
#include "support/ssh_hosts.h"

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

// A .sno cut after a complete run (a record boundary, newer than its raw file, status as before)
// is not taken as done: snodump --check finds it, the report says so, and the run is made again.
TEST(DroppairBatch, ResumeRunsAgainWhatFailsTheCheck) {
  NEED_PARALLEL();
  archive a;
  ASSERT_EQ(run_in(a.dir, "DROPPAIR.SET corrfact.dat arch").status, 1);
  const std::string sno_path = a.dir.file("V05124_1/V05124_1.sno");
  const bytes sno = read_file(sno_path);
  size_t last = 0;
  for (size_t at = 0; at + 4 <= sno.size();) {
    last = at;
    const int indic = dp::load_les16(&sno[at]);
    at += static_cast<size_t>(indic == -74 ? 74 : indic);
  }
  dp_test::write_file(sno_path, bytes(sno.begin(), sno.begin() + static_cast<std::ptrdiff_t>(last)));
  const outcome r = run_in(a.dir, "--resume DROPPAIR.SET corrfact.dat arch");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("droppair-batch: " + a.good[1] + " runs again: its outputs fail the check: snodump: " +
                       fs::canonical(a.dir.path).string() + "/V05124_1/V05124_1.shd: byte offset 5768: oldlen: "),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("5 raw files: 2 run, 3 up to date; 4 succeeded, 1 failed;"), std::string::npos) << r.out;
  EXPECT_EQ(read_file(sno_path), sno);
  EXPECT_EQ(summary(a.dir.file("droppair-batch.csv"))[a.good[1]]["message"], "");
}

// SIGTERM or SIGINT to the batch while two jobs run: GNU parallel ends both jobs (stand-ins that
// would sleep for a minute), starts no other, the batch writes the summary of what finished and
// exits 128 + the signal's number; no job is left running.
TEST(DroppairBatch, StopSignalEndsTheJobsAndKeepsTheSummaryOfWhatFinished) {
  NEED_PARALLEL();
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    archive a;
    // The first file runs through; every other run sleeps and leaves its process id.
    write_text(a.dir.file("droppair"), "#!/bin/sh\ncase \"$*\" in */V05123_1.ab) exec " + shell_quote(DROPPAIR_BIN) +
                                           " \"$@\";; esac\necho $$ >pid\nexec sleep 60\n");
    fs::permissions(a.dir.file("droppair"), fs::perms::owner_all);
    const std::string cmd = "cd " + shell_quote(a.dir.path.string()) + " && exec " + shell_quote(k_script) +
                            " --droppair ./droppair -j 2 --out runs DROPPAIR.SET corrfact.dat arch"
                            " >batch.out 2>batch.err </dev/null";
    const pid_t batch = fork();
    ASSERT_GE(batch, 0);
    if (batch == 0) {
      setpgid(0, 0);  // not in the test's process group
      execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    const auto sleepers = [&] {
      std::vector<pid_t> pids;
      std::error_code ec;
      for (const auto& e : fs::directory_iterator(a.dir.path / "runs", ec)) {
        const std::string pid = read_text((e.path() / "pid").string());
        if (!pid.empty()) pids.push_back(static_cast<pid_t>(std::stol(pid)));
      }
      return pids;
    };
    for (int i = 0; i < 600 && sleepers().size() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::vector<pid_t> running = sleepers();
    ASSERT_EQ(running.size(), 2u);
    kill(batch, sig);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 600 && (done = waitpid(batch, &status, WNOHANG)) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (done == 0) {
      kill(-batch, SIGKILL);
      waitpid(batch, &status, 0);
      FAIL() << "the batch did not end within 30 s";
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + sig);
    for (const pid_t p : running) EXPECT_NE(kill(p, 0), 0) << "job " << p << " still runs";
    EXPECT_EQ(sleepers().size(), 2u);  // no job started after the signal
    const std::string out = read_text(a.dir.file("batch.out"));
    EXPECT_NE(out.find("droppair-batch: 5 raw files: 5 run, 0 up to date; 1 succeeded, 4 failed;"), std::string::npos)
        << out;
    EXPECT_NE(out.find(std::string("droppair-batch: stopped by ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT") +
                       ": the runs that had not finished have no result\n"),
              std::string::npos)
        << out;
    auto rows = summary(a.dir.file("runs/droppair-batch.csv"));
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[a.good[0]]["status"], "0");
    EXPECT_EQ(rows[a.good[0]]["message"], "");
    for (const std::string& f : {a.good[1], a.good[2]}) EXPECT_EQ(rows[f]["status"], "signal-15") << f;
    for (const std::string& f : {a.good[3], a.damaged})
      EXPECT_EQ(rows[f]["message"], "no result: the run did not finish (see droppair-batch.joblog)") << f;
  }
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

// A stand-in for droppair-products records its arguments and fails: the batch names the failure,
// exits 1, and hands over only the .sno of the runs that ended normally, with the station, the
// batch's settings and calibration and, under --resume, --only-changed.
TEST(DroppairBatch, ProductsGetTheGoodRunsAndTheirFailureFailsTheBatch) {
  NEED_PARALLEL();
  archive a;
  write_text(a.dir.file("products"),
             "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >\"$PWD/products.args\"\n"
             "echo 'droppair-products: refused: files of two stations' >&2\nexit 1\n");
  fs::permissions(a.dir.file("products"), fs::perms::owner_all);
  write_text(a.dir.file("station.yml"), "station_name: test field\nlatitude: 1\nlongitude: 2\naltitude: 3\n");
  const std::string prefix = "--droppair-products ./products --products prod --station station.yml ";
  const outcome r = run_in(a.dir, prefix + "--resume --out runs DROPPAIR.SET corrfact.dat arch");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("not in the products: " + a.damaged + ": exit status 1; rawfil: corrupted ab-file\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("daily products in prod: 0 days, 0 written, 0 unchanged\n"
                       "FAILED products: droppair-products exit status 1: droppair-products: refused: files of "
                       "two stations\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("droppair-products: refused"), std::string::npos) << r.err;
  EXPECT_EQ(read_text(a.dir.file("runs/droppair-batch-days.csv")),
            "day,status,files,particles,particles_used,rain_mm,recorded_fraction,grid_file,particle_file\n");

  const std::string root = fs::canonical(a.dir.path).string();
  std::string want = "--out\nprod\n--summary\nprod/droppair-products.csv\n--settings\n" + root +
                     "/DROPPAIR.SET\n--calibration\n" + root + "/corrfact.dat\n--quiet\n--station\nstation.yml\n"
                     "--only-changed\n";
  for (const auto& f : a.good) {
    const std::string stem = fs::path(f).stem().string();
    want += root + "/runs/" + stem + "/" + stem + ".sno\n";
  }
  EXPECT_EQ(read_text(a.dir.file("products.args")), want);

  // The options the products need are checked before anything runs.
  EXPECT_EQ(run_in(a.dir, "--station station.yml DROPPAIR.SET corrfact.dat arch").err,
            "droppair-batch: --station needs --products\n");
  EXPECT_EQ(run_in(a.dir, "--products prod --station none.yml DROPPAIR.SET corrfact.dat arch").err,
            "droppair-batch: station file none.yml not found\n");
  EXPECT_EQ(run_in(a.dir, "--products prod --droppair-products ./none DROPPAIR.SET corrfact.dat arch").err,
            "droppair-batch: droppair-products not found at ./none\n");
}

#if defined(DROPPAIR_PRODUCTS_BIN) && defined(ABGEN_BIN)
// Two abgen files, the first across midnight: day 1 has one input, day 2 two. The products'
// per-day rows reach the batch's days table and report; a second --resume rewrites nothing, and
// after the second raw file changes only day 2 is written again.
TEST(DroppairBatch, DailyProductsAndResumeRedoesOnlyChangedDays) {
  NEED_PARALLEL();
  scratch_dir d;
  fs::create_directories(d.path / "arch");
  const auto abgen = [&](const std::string& out, const std::string& start, const std::string& seconds,
                         const std::string& seed) {
    const auto g = dp_test::run_tool(ABGEN_BIN,
                                     {"--out", out, "--start", start, "--duration", seconds, "--seed", seed,
                                      "--rain", "2", "--no-truth", "--settings", "DROPPAIR.SET", "--calib",
                                      "corrfact.dat", "--neutral-calib"},
                                     d);
    ASSERT_EQ(g.status, 0) << g.err;
  };
  abgen("arch/V05123_1.ab", "2005-05-03T23:59:50", "20", "1");
  abgen("arch/V05124_1.ab", "2005-05-04T06:00:00", "10", "2");
  write_text(d.file("station.yml"),
             "station_name: Test field\nstation_id: TF01\nlatitude: 47.5\nlongitude: 11.25\naltitude: 900\n");
  const std::string args = "--products prod --station station.yml --out runs DROPPAIR.SET corrfact.dat arch";
  const std::string grid1 = d.file("prod/TF01_20050503_dsd_60s.nc"), grid2 = d.file("prod/TF01_20050504_dsd_60s.nc");

  outcome r = run_in(d, args);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const auto runs = summary(d.file("runs/droppair-batch.csv"));
  const auto days = summary(d.file("runs/droppair-batch-days.csv"));
  EXPECT_EQ(days, summary(d.file("prod/droppair-products.csv")));
  ASSERT_EQ(days.size(), 2u);
  EXPECT_EQ(days.at("2005-05-03").at("files"), "1");
  EXPECT_EQ(days.at("2005-05-04").at("files"), "2");
  long particles = 0, per_day = 0;
  for (const auto& [file, row] : runs) particles += std::stol(row.at("particles"));
  for (const auto& [day, row] : days) {
    SCOPED_TRACE(day);
    EXPECT_EQ(row.at("status"), "written");
    per_day += std::stol(row.at("particles"));
    EXPECT_GT(std::stod(row.at("rain_mm")), 0.0);
    // The report's row: day, files, particles, rain, status.
    std::stringstream line(r.out.substr(r.out.find("\n" + day + " ") + 1));
    std::string got_day, files, count, rain, status;
    line >> got_day >> files >> count >> rain >> status;
    EXPECT_EQ(files + " " + count + " " + rain + " " + status,
              row.at("files") + " " + row.at("particles") + " " + row.at("rain_mm") + " written");
  }
  EXPECT_EQ(per_day, particles);  // each particle on exactly one day
  for (const char* f : {"prod/TF01_20050503_particles.nc", "prod/TF01_20050504_particles.nc"})
    EXPECT_TRUE(fs::exists(d.file(f))) << f;
  EXPECT_NE(r.out.find("daily products in prod: 2 days, 2 written, 0 unchanged\n"), std::string::npos) << r.out;
  const bytes day1 = read_file(grid1), day2 = read_file(grid2);

  r = run_in(d, "--resume " + args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("2 raw files: 0 run, 2 up to date;"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("daily products in prod: 2 days, 0 written, 2 unchanged\n"), std::string::npos) << r.out;
  EXPECT_EQ(summary(d.file("runs/droppair-batch-days.csv")).at("2005-05-04").at("rain_mm"),
            days.at("2005-05-04").at("rain_mm"));
  EXPECT_EQ(read_file(grid1), day1);
  EXPECT_EQ(read_file(grid2), day2);

  abgen("arch/V05124_1.ab", "2005-05-04T06:00:00", "10", "3");
  fs::last_write_time(d.file("arch/V05124_1.ab"),
                      fs::last_write_time(d.file("runs/V05124_1/V05124_1.sno")) + std::chrono::seconds(5));
  r = run_in(d, "--resume " + args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("2 raw files: 1 run, 1 up to date;"), std::string::npos) << r.out;
  const auto again = summary(d.file("runs/droppair-batch-days.csv"));
  EXPECT_EQ(again.at("2005-05-03").at("status"), "unchanged");
  EXPECT_EQ(again.at("2005-05-04").at("status"), "written");
  EXPECT_EQ(read_file(grid1), day1);
  EXPECT_NE(read_file(grid2), day2);
}
#endif

// Two ssh logins of this machine (one test sshd under two host names) with real GNU parallel: the
// jobs go to both, and every output, log and summary row equals a local run's.
TEST(DroppairBatch, TwoSshLoginsGiveTheOutputsOfLocalRuns) {
  NEED_PARALLEL();
  dp_test::ssh_hosts hosts;
  if (!hosts.why_not.empty()) GTEST_SKIP() << "no ssh logins of this machine: " << hosts.why_not;
  archive a;  // three of its files: one clean, one cut off in its last record, one damaged
  for (const size_t i : {2, 1}) {
    fs::remove(a.dir.file(a.good[i]));
    a.good.erase(a.good.begin() + static_cast<std::ptrdiff_t>(i));
  }
  const outcome local = run_in(a.dir, "--out local DROPPAIR.SET corrfact.dat arch");
  const outcome remote = run_in(a.dir, "--ssh " + shell_quote(hosts.ssh_command()) +
                                           " -S 1/dp-host-a,1/dp-host-b --out remote DROPPAIR.SET corrfact.dat arch");
  EXPECT_EQ(local.status, 1);  // the damaged file
  EXPECT_EQ(remote.status, 1) << remote.out << remote.err;
  EXPECT_EQ(remote.out.substr(0, remote.out.find("particles written")),
            local.out.substr(0, local.out.find("particles written")));

  std::vector<std::string> stems;
  for (const auto& f : a.good) stems.push_back(fs::path(f).stem().string());
  for (const auto& stem : stems) {
    SCOPED_TRACE(stem);
    for (const auto& name : {stem + ".sno", stem + ".shd", stem + ".abh", std::string("console.txt")})
      EXPECT_EQ(read_file(a.dir.file("remote/" + stem + "/" + name)),
                read_file(a.dir.file("local/" + stem + "/" + name)))
          << name;
  }
  // The error logs after their start lines, the damaged file's too.
  stems.push_back(fs::path(a.damaged).stem().string());
  for (const auto& stem : stems) {
    dp_test::run_result l, m;
    l.log = read_text(a.dir.file("local/" + stem + "/DROPPAIR.ERR"));
    m.log = read_text(a.dir.file("remote/" + stem + "/DROPPAIR.ERR"));
    EXPECT_FALSE(l.log.empty()) << stem;
    EXPECT_EQ(m.log_tail(), l.log_tail()) << stem;
  }
  auto want = summary(a.dir.file("local/droppair-batch.csv")), got = summary(a.dir.file("remote/droppair-batch.csv"));
  for (auto* rows : {&want, &got})
    for (auto& [file, row] : *rows) row.erase("seconds"), row["log"].erase(0, row["log"].find('/'));
  EXPECT_EQ(got, want);

  // Both host names ran jobs (GNU parallel's job log, column Host), each through a login of its own.
  const std::string joblog = read_text(a.dir.file("remote/droppair-batch.joblog"));
  EXPECT_NE(joblog.find("\tdp-host-a\t"), std::string::npos) << joblog;
  EXPECT_NE(joblog.find("\tdp-host-b\t"), std::string::npos) << joblog;
  const std::string log = hosts.log();
  size_t logins = 0;
  for (size_t at = 0; (at = log.find("Accepted publickey", at)) != std::string::npos; ++at) ++logins;
  EXPECT_GE(logins, 2u + a.good.size() + 1) << log;  // two probes, then one per job
}

}  // namespace
