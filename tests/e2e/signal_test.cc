// End-to-end stops: SIGINT, SIGTERM and SIGHUP close the files as Escape does and end the run
// with 128 + the signal's number, Escape on a terminal ends it with 0; each leaves one log line
// saying what stopped the run and where the readers stood. The runs follow a live file, so that
// the stop meets them waiting at the end of the data.
#include <gtest/gtest.h>

#include <csignal>
#include <pty.h>

#include "support/live_run.h"
#include "support/rain_fixture.h"
#include "support/scratch_run.h"
#include "support/spawn_run.h"

namespace {

using dp_test::bytes;
using dp_test::scratch_dir;

struct stop_dir : scratch_dir {
  bytes raw = dp_test::make_rain(20, 7).raw;
  stop_dir() {
    dp_test::write_text(file("DROPPAIR.SET"), dp_test::settings_text());
    dp_test::write_text(file("corrfact.dat"), dp_test::neutral_corrfact());
    dp_test::write_file(file("V05123_1.ab"), raw);
  }
  // The one log line of a stop by `what` with both readers at the end of the file.
  std::string stop_line(const std::string& what) const {
    const std::string n = std::to_string(raw.size());
    return "mp81: run stopped by " + what + "; reader A at offset " + n + ", reader B at offset " + n +
           " of V05123_1.ab (" + n + " bytes)\n";
  }
};

// Starts a followed run in dir and waits until it has created its outputs and caught up.
pid_t start_and_catch_up(const stop_dir& dir, int stdin_fd = -1) {
  const pid_t pid = dp_test::start_droppair(dir.path.string(), {"--follow", "V05123_1.ab"}, stdin_fd);
  EXPECT_TRUE(dp_test::wait_for_file(dir.file("V05123_1.sno"), 30));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return pid;
}

// What a stopped run kept is the beginning of what the complete run writes.
void expect_prefix_of_complete_run(const stop_dir& dir) {
  scratch_dir whole;
  for (const char* name : {"DROPPAIR.SET", "corrfact.dat", "V05123_1.ab"})
    std::filesystem::copy_file(dir.file(name), whole.file(name));
  ASSERT_EQ(dp_test::run_droppair(whole, {"V05123_1.ab"}).status, 0);
  const bytes kept = dp_test::read_file(dir.file("V05123_1.sno"));
  const bytes full = dp_test::read_file(whole.file("V05123_1.sno"));
  ASSERT_GE(kept.size(), 74u);
  ASSERT_LE(kept.size(), full.size());
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), full.begin()));
}

TEST(Signal, StopSignalsCloseTheFilesAndExitWith128PlusTheirNumber) {
  const struct {
    int sig;
    const char* name;
  } cases[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
  for (const auto& c : cases) {
    stop_dir dir;
    const pid_t pid = start_and_catch_up(dir);
    kill(pid, c.sig);
    const auto end = dp_test::wait_child(pid, 30);
    ASSERT_TRUE(end.exited) << c.name << ": ended by signal " << end.signal;
    EXPECT_EQ(end.status, 128 + c.sig) << c.name;
    dp_test::run_result r;
    r.log = dp_test::read_text(dir.file("DROPPAIR.ERR"));
    EXPECT_EQ(r.log_tail(), dir.stop_line(c.name));
    EXPECT_EQ(dp_test::read_text(dir.file("console.out")).find("end of ab-file"), std::string::npos);
    if (c.sig == SIGTERM) expect_prefix_of_complete_run(dir);
  }
}

TEST(Signal, EscapeOnTheTerminalIsANormalStop) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) GTEST_SKIP() << "no pseudo-terminal here";
  stop_dir dir;
  const pid_t pid = start_and_catch_up(dir, slave);
  close(slave);
  ASSERT_EQ(write(master, "x\x1b", 2), 2);  // any other key is passed over
  const auto end = dp_test::wait_child(pid, 30);
  close(master);
  ASSERT_TRUE(end.exited) << "ended by signal " << end.signal;
  EXPECT_EQ(end.status, 0);
  dp_test::run_result r;
  r.log = dp_test::read_text(dir.file("DROPPAIR.ERR"));
  EXPECT_EQ(r.log_tail(), dir.stop_line("Escape"));
  expect_prefix_of_complete_run(dir);
}

}  // namespace
