#include <conio.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <io.h>
#include <windows.h>

#include "platform/console.h"

namespace dp {
namespace {

volatile std::sig_atomic_t g_stop = 0;  // the number of the first stop request, 0 while none
bool g_initialised = false;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI on_console_event(DWORD type) {
  int sig = 0;
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) sig = k_sig_int;
  else if (type == CTRL_CLOSE_EVENT) sig = k_sig_hup;
  else if (type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) sig = k_sig_term;
  if (sig == 0) return FALSE;
  if (g_stop != 0 && sig == k_sig_int) return FALSE;  // a second Ctrl-C: the system's default, the end
  if (g_stop == 0) g_stop = sig;
  // After these events the system ends the process as soon as the handler returns: wait here
  // for the processing loop to close the files and end the process itself (the system allows
  // a few seconds).
  if (sig != k_sig_int) Sleep(INFINITE);
  return TRUE;
}

}  // namespace

bool console_is_tty() {
  static const bool tty = _isatty(_fileno(stdout)) != 0;
  return tty;
}

void console_clear() {
  if (!console_is_tty()) return;
  std::fflush(stdout);
  std::system("cls");
}

void console_set_cursor(int col, int row) {
  if (!console_is_tty()) return;
  std::fflush(stdout);
  COORD pos{static_cast<SHORT>(col), static_cast<SHORT>(row)};
  SetConsoleCursorPosition(GetStdHandle(STD_OUTPUT_HANDLE), pos);
}

void console_init_signals() {
  if (g_initialised) return;
  g_initialised = true;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

// The key poll needs no preparation on Windows.
void console_init_input() {}

int console_read_key() {
  if (!_kbhit()) return -1;
  return _getch();
}

int console_stop_signal() { return g_stop; }

}  // namespace dp
