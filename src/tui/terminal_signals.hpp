#pragma once
// Giving the terminal back when a signal ends the process while the viewer has it in raw mode.

#include <termios.h>

#include <cstddef>
#include <string_view>

namespace vemo::tui {

// While one exists, each of SIGHUP, SIGINT, SIGQUIT, SIGTERM and the fatal signals (SIGILL,
// SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS, SIGXCPU, SIGXFSZ) that is not ignored first gives the
// terminal back: the reset bytes go to standard output and the saved modes to the terminal. Then
// the handler that was installed before runs with the same signal information; without one the
// signal's default action ends the process, so its status stays the signal's. Destroying it puts
// the earlier handlers back. The handlers use only async-signal-safe calls on state prepared
// beforehand. At most one exists at a time.
class SignalRestore {
 public:
  static constexpr std::size_t MAX_RESET_LENGTH = 256;

  SignalRestore(int tty_fd, const termios& saved_modes);
  ~SignalRestore();
  SignalRestore(const SignalRestore&) = delete;
  SignalRestore& operator=(const SignalRestore&) = delete;

  // The bytes that undo the screen's state (alternate screen, hidden cursor, ...); longer ones
  // are cut at MAX_RESET_LENGTH.
  void set_reset_bytes(std::string_view bytes);
};

}  // namespace vemo::tui
