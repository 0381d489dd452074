#include "tui/terminal_signals.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace vemo::tui {

namespace {

constexpr std::array<int, 12> RESTORING_SIGNALS{SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGILL,  SIGABRT,
                                                SIGBUS, SIGFPE, SIGSEGV, SIGSYS,  SIGXCPU, SIGXFSZ};

// What the handlers read. A handler cannot take arguments, so this one object is shared by every
// SignalRestore (there is at most one at a time); it is filled before the handlers go in.
struct Armed {
  int tty_fd = -1;
  termios saved_modes{};
  std::array<char, SignalRestore::MAX_RESET_LENGTH> reset{};
  std::atomic<std::size_t> reset_length{0};
  std::atomic<bool> given_back{false};
  std::array<struct sigaction, RESTORING_SIGNALS.size()> previous{};
  std::array<bool, RESTORING_SIGNALS.size()> installed{};
};

Armed armed;

void give_back_terminal() {
  if (armed.given_back.exchange(true)) return;
  const std::size_t length = armed.reset_length.load();
  std::size_t written = 0;
  while (written < length) {
    const ssize_t n = ::write(STDOUT_FILENO, armed.reset.data() + written, length - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  (void)::tcsetattr(armed.tty_fd, TCSANOW, &armed.saved_modes);
}

const struct sigaction* previous_action(int signal) {
  for (std::size_t i = 0; i < RESTORING_SIGNALS.size(); ++i) {
    if (RESTORING_SIGNALS[i] == signal) return &armed.previous[i];
  }
  return nullptr;
}

void on_signal(int signal, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  give_back_terminal();
  const struct sigaction* previous = previous_action(signal);
  if (previous != nullptr && (previous->sa_flags & SA_SIGINFO) != 0) {
    previous->sa_sigaction(signal, info, context);
  } else if (previous != nullptr && previous->sa_handler != SIG_DFL &&
             previous->sa_handler != SIG_IGN) {
    previous->sa_handler(signal);
  } else {
    // Delivered again once this handler returns (the signal is blocked until then), now with
    // its default action.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    (void)::sigaction(signal, &default_action, nullptr);
    (void)::raise(signal);
  }
  errno = saved_errno;
}

}  // namespace

SignalRestore::SignalRestore(int tty_fd, const termios& saved_modes) {
  armed.tty_fd = tty_fd;
  armed.saved_modes = saved_modes;
  armed.given_back.store(false);
  set_reset_bytes({});

  struct sigaction action {};
  action.sa_sigaction = on_signal;
  action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal : RESTORING_SIGNALS) sigaddset(&action.sa_mask, signal);

  for (std::size_t i = 0; i < RESTORING_SIGNALS.size(); ++i) {
    struct sigaction& previous = armed.previous[i];
    armed.installed[i] = false;
    if (::sigaction(RESTORING_SIGNALS[i], nullptr, &previous) != 0) continue;
    // An ignored signal (as under nohup) stays ignored.
    if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN) continue;
    armed.installed[i] = ::sigaction(RESTORING_SIGNALS[i], &action, nullptr) == 0;
  }
}

SignalRestore::~SignalRestore() {
  for (std::size_t i = 0; i < RESTORING_SIGNALS.size(); ++i) {
    if (armed.installed[i]) (void)::sigaction(RESTORING_SIGNALS[i], &armed.previous[i], nullptr);
    armed.installed[i] = false;
  }
}

void SignalRestore::set_reset_bytes(std::string_view bytes) {
  // A handler running meanwhile sees no bytes rather than half of them.
  armed.reset_length.store(0);
  const std::size_t length = std::min(bytes.size(), armed.reset.size());
  if (length > 0) std::memcpy(armed.reset.data(), bytes.data(), length);
  armed.reset_length.store(length);
}

}  // namespace vemo::tui
