// The console: clearing, cursor placement, a key poll without echo, and stop requests.
// Escape sequences and pauses are only for a real terminal: when standard output is redirected
// the texts are written without control bytes. SIGINT, SIGTERM and SIGHUP (on Windows the
// console's Ctrl-C and Ctrl-Break, its close, log-off and shut-down events) become stop requests
// that the processing loop takes at its next poll; the handler only records the signal's number.
// A second signal of the same kind ends the process at once. The terminal settings changed for
// the key poll are restored on every way out.
#pragma once

namespace dp {

/// Key code of Escape as returned by console_read_key().
inline constexpr int k_key_escape = 27;
/// Stop requests by their POSIX signal numbers, the same on every platform (Windows: Ctrl-C and
/// Ctrl-Break are k_sig_int, closing the console k_sig_hup, log-off and shut-down k_sig_term).
inline constexpr int k_sig_hup = 1;
inline constexpr int k_sig_int = 2;
inline constexpr int k_sig_term = 15;

/// True when standard output is a terminal (decided once, at the first call).
bool console_is_tty();
/// Clears the console (only on a terminal).
void console_clear();
/// Moves the cursor of standard output to column col, row row, both from 0 (only on a terminal).
void console_set_cursor(int col, int row);
/// Takes the stop signals as stop requests from now on; idempotent.
void console_init_signals();
/// Prepares the key poll; idempotent. Restores the terminal at exit.
void console_init_input();
/// A waiting key read without echo, or -1 when none is waiting (or standard input is no terminal).
int console_read_key();
/// The number of the first stop signal received (k_sig_int, k_sig_term, k_sig_hup), 0 while none.
int console_stop_signal();
/// "SIGINT", "SIGTERM" or "SIGHUP" for a stop signal's number.
inline const char* console_signal_name(int sig) {
  return sig == k_sig_hup ? "SIGHUP" : sig == k_sig_int ? "SIGINT" : sig == k_sig_term ? "SIGTERM" : "a signal";
}

}  // namespace dp
