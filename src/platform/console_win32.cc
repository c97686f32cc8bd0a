#include <conio.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <io.h>
#include <windows.h>

#include "platform/console.h"

namespace dp {
namespace {

volatile std::sig_atomic_t g_stop = 0;
bool g_initialised = false;

BOOL WINAPI on_console_event(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
    g_stop = 1;
    return TRUE;
  }
  return FALSE;
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

void console_init_input() {
  if (g_initialised) return;
  g_initialised = true;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

int console_read_key() {
  if (!_kbhit()) return -1;
  return _getch();
}

bool console_stop_requested() { return g_stop != 0; }

}  // namespace dp
