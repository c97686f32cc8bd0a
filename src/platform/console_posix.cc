#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "platform/console.h"

namespace dp {
namespace {

static_assert(SIGHUP == k_sig_hup && SIGINT == k_sig_int && SIGTERM == k_sig_term);

volatile std::sig_atomic_t g_stop = 0;  // the number of the first stop signal, 0 while none

struct ConsoleInput {
  bool initialised = false;
  bool raw_mode = false;  // standard input is a terminal switched to non-canonical, no echo
  termios saved{};
};
ConsoleInput g_input;

void on_stop_signal(int sig) {
  if (g_stop == 0) g_stop = sig;
}

void restore_terminal() {
  if (g_input.raw_mode) {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_input.saved);
    g_input.raw_mode = false;
  }
}

}  // namespace

bool console_is_tty() {
  static const bool tty = isatty(STDOUT_FILENO) == 1;
  return tty;
}

void console_clear() {
  if (!console_is_tty()) return;
  std::fputs("\x1b[2J\x1b[H", stdout);
  std::fflush(stdout);
}

void console_set_cursor(int col, int row) {
  if (!console_is_tty()) return;
  std::printf("\x1b[%d;%dH", row + 1, col + 1);
}

void console_init_signals() {
  static bool done = false;
  if (done) return;
  done = true;
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  // The handler is taken once: a second signal of the kind ends a run that no longer polls.
  // Restarted calls keep a console write that the signal interrupts from being lost.
  sa.sa_flags = SA_RESETHAND | SA_RESTART;
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

void console_init_input() {
  if (g_input.initialised) return;
  g_input.initialised = true;
  if (isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &g_input.saved) == 0) {
    termios raw = g_input.saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
      g_input.raw_mode = true;
      std::atexit(restore_terminal);
    }
  }
}

int console_read_key() {
  if (!g_input.raw_mode) return -1;
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) return -1;
  unsigned char c = 0;
  if (read(STDIN_FILENO, &c, 1) != 1) return -1;
  return c;
}

int console_stop_signal() { return g_stop; }

}  // namespace dp
