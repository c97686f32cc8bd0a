// The console: clearing, cursor placement, a key poll without echo, and stop requests.
// Escape sequences and pauses are only for a real terminal: when standard output is redirected
// the texts are written without control bytes. On POSIX, SIGINT and SIGTERM become stop
// requests that the processing loop takes like Escape at its next poll; the handler only sets a
// flag. The terminal settings changed for the key poll are restored on every way out.
#pragma once

namespace dp {

/// Key code of Escape as returned by console_read_key().
inline constexpr int k_key_escape = 27;

/// True when standard output is a terminal (decided once, at the first call).
bool console_is_tty();
/// Clears the console (only on a terminal).
void console_clear();
/// Moves the cursor of standard output to column col, row row, both from 0 (only on a terminal).
void console_set_cursor(int col, int row);
/// Prepares the key poll and the stop signals; idempotent. Restores the terminal at exit.
void console_init_input();
/// A waiting key read without echo, or -1 when none is waiting (or standard input is no terminal).
int console_read_key();
/// True once SIGINT or SIGTERM (or the platform's console close) has asked the run to stop.
bool console_stop_requested();

}  // namespace dp
