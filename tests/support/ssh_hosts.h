// Test-only: an sshd of the test's own on 127.0.0.1 (a free port, throwaway host and user keys in
// a scratch directory) and an ssh client configuration that reaches it under two host names,
// dp-host-a and dp-host-b: two logins of this machine for runs over several hosts. The daemon
// runs as the current user; as root it needs /run/sshd, the directory Debian's service would
// make, so that is made when missing. PAM stays off, so any other user's account must not be
// locked (a password field starting with '!'). Never skips by itself: why_not says why the hosts
// cannot be used (no sshd, not permitted, login refused), and the caller skips. POSIX only.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/scratch_run.h"

namespace dp_test {

/// The daemon and the client configuration; the daemon ends with the object.
struct ssh_hosts {
  scratch_dir dir;
  int port = 0;
  pid_t pid = -1;
  std::string why_not;  ///< empty when both host names accept a login

  ssh_hosts() { why_not = start(); }
  ~ssh_hosts() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
  ssh_hosts(const ssh_hosts&) = delete;
  ssh_hosts& operator=(const ssh_hosts&) = delete;

  /// The ssh command that knows the two host names (for GNU parallel's --ssh).
  std::string ssh_command() const { return "ssh -F " + shell_quote(dir.file("ssh_config")); }
  /// The daemon's log.
  std::string log() const { return read_text(dir.file("sshd.log")); }

 private:
  static int free_port() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port = ntohs(a.sin_port);
    if (s >= 0) close(s);
    return port;
  }

  bool answers() const {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (s >= 0) close(s);
    return ok;
  }

  // Runs a shell command with its output in dir/out.txt; the output when it fails, else "".
  std::string shell(const std::string& cmd) const {
    const int rc = std::system((cmd + " >" + shell_quote(dir.file("out.txt")) + " 2>&1 </dev/null").c_str());
    if (WIFEXITED(rc) && WEXITSTATUS(rc) == 0) return "";
    const std::string out = read_text(dir.file("out.txt"));
    return out.empty() ? "exit status " + std::to_string(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1) : out;
  }

  std::string start() {
    namespace fs = std::filesystem;
    const std::string sshd = "/usr/sbin/sshd";
    if (access(sshd.c_str(), X_OK) != 0) return "no " + sshd + " (Debian package openssh-server)";
    if (!shell("command -v ssh ssh-keygen").empty()) return "no ssh or ssh-keygen (Debian package openssh-client)";
    for (const char* key : {"host_key", "user_key"})
      if (std::string e = shell("ssh-keygen -q -t ed25519 -N '' -f " + shell_quote(dir.file(key))); !e.empty())
        return "ssh-keygen failed: " + e;
    fs::copy_file(dir.file("user_key.pub"), dir.file("authorized_keys"));
    if (geteuid() == 0 && !fs::is_directory("/run/sshd")) {
      std::error_code ec;
      fs::create_directories("/run/sshd", ec);
      fs::permissions("/run/sshd", fs::perms(0755), ec);
      if (ec) return "cannot make /run/sshd: " + ec.message();
    }
    if ((port = free_port()) == 0) return "no free port on 127.0.0.1";
    const std::string p = std::to_string(port);
    // Only this user, only this key; StrictModes off because the scratch directory is /tmp's.
    // PAM stays off: its session modules may not be allowed in a container.
    write_text(dir.file("sshd_config"),
               "Port " + p + "\nListenAddress 127.0.0.1\nHostKey " + dir.file("host_key") + "\nPidFile " +
                   dir.file("sshd.pid") + "\nAuthorizedKeysFile " + dir.file("authorized_keys") +
                   "\nStrictModes no\nUsePAM no\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                   "PubkeyAuthentication yes\nPermitRootLogin prohibit-password\nLogLevel VERBOSE\n");
    const passwd* me = getpwuid(geteuid());
    if (!me) return "the current user has no name";
    const std::string user = me->pw_name;
    write_text(dir.file("ssh_config"), "Host dp-host-a dp-host-b\n  HostName 127.0.0.1\n  Port " + p +
                                           "\n  User " + user + "\n  IdentityFile " + dir.file("user_key") +
                                           "\n  IdentitiesOnly yes\n  UserKnownHostsFile " + dir.file("known_hosts") +
                                           "\n  StrictHostKeyChecking yes\n  BatchMode yes\n  ConnectTimeout 10\n"
                                           "  LogLevel ERROR\n");
    write_text(dir.file("known_hosts"), "[127.0.0.1]:" + p + " " + read_text(dir.file("host_key.pub")));

    // sshd re-executes itself, so it is started by its absolute path (argv[0] too). Everything the
    // child needs is made before the fork.
    const std::string config = dir.file("sshd_config"), log_file = dir.file("sshd.log");
    const int null = open("/dev/null", O_RDWR);
    const int err = open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    pid = fork();
    if (pid == 0) {
      dup2(null, 0), dup2(null, 1), dup2(err, 2);
      execl(sshd.c_str(), sshd.c_str(), "-D", "-f", config.c_str(), "-E", log_file.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(null), close(err);
    if (pid < 0) return "fork failed";
    for (int i = 0; !answers(); ++i) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return "sshd ended at once: " + log();
      }
      if (i == 200) return "sshd does not answer on port " + p + ": " + log();
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    for (const char* host : {"dp-host-a", "dp-host-b"})
      if (std::string e = shell(ssh_command() + " " + host + " true"); !e.empty())
        return std::string("ssh to ") + host + " failed: " + e + log();
    return "";
  }
};

}  // namespace dp_test
