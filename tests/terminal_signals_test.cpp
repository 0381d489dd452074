#include "tui/terminal_signals.hpp"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace vemo::tui {
namespace {

// Earlier handlers as a program may have installed them; each says what it got and ends the
// process with a status of its own.
void siginfo_handler(int, siginfo_t* info, void*) {
  char text[] = "earlier handler: code ? value ?";
  text[sizeof text - 10] = info->si_code == SI_QUEUE ? 'Q' : '?';
  text[sizeof text - 2] = static_cast<char>('0' + info->si_value.sival_int % 10);
  (void)!::write(STDOUT_FILENO, text, sizeof text - 1);
  ::_exit(3);
}

void plain_handler(int) {
  (void)!::write(STDOUT_FILENO, "plain handler", 13);
  ::_exit(4);
}

enum class Earlier { Default, Ignored, WithInfo, Plain };

void install(int signal, Earlier earlier) {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  switch (earlier) {
    case Earlier::Default:
      action.sa_handler = SIG_DFL;
      break;
    case Earlier::Ignored:
      action.sa_handler = SIG_IGN;
      break;
    case Earlier::WithInfo:
      action.sa_sigaction = siginfo_handler;
      action.sa_flags = SA_SIGINFO;
      break;
    case Earlier::Plain:
      action.sa_handler = plain_handler;
      break;
  }
  ::sigaction(signal, &action, nullptr);
}

struct Outcome {
  std::string out;
  int wait_status = 0;
  bool canonical_after = false;  // the terminal's modes after the child ended
};

// In a child whose standard output is a pipe: puts a pseudo-terminal in raw mode, arms a
// SignalRestore with the modes from before (unless `disarm_first`, then it is gone again), and
// queues `signal` to itself with the value 7.
Outcome signal_child(int signal, Earlier earlier, bool disarm_first) {
  Outcome outcome;
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  EXPECT_GE(master, 0);
  EXPECT_EQ(::grantpt(master), 0);
  EXPECT_EQ(::unlockpt(master), 0);
  const int tty = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  EXPECT_GE(tty, 0);
  int out[2];
  EXPECT_EQ(::pipe(out), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    ::dup2(out[1], STDOUT_FILENO);
    install(signal, earlier);
    termios saved{};
    ::tcgetattr(tty, &saved);
    termios raw = saved;
    ::cfmakeraw(&raw);
    {
      SignalRestore restore(tty, saved);
      restore.set_reset_bytes("<reset>");
      ::tcsetattr(tty, TCSANOW, &raw);
      if (!disarm_first) ::sigqueue(::getpid(), signal, sigval{.sival_int = 7});
    }
    if (disarm_first) ::sigqueue(::getpid(), signal, sigval{.sival_int = 7});
    (void)!::write(STDOUT_FILENO, "still running", 13);
    ::_exit(0);
  }
  ::close(out[1]);
  char buffer[256];
  for (ssize_t n = 0; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
    outcome.out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  ::waitpid(pid, &outcome.wait_status, 0);
  termios after{};
  ::tcgetattr(tty, &after);
  outcome.canonical_after = (after.c_lflag & ICANON) != 0;
  ::close(tty);
  ::close(master);
  return outcome;
}

struct SignalCase {
  const char* name;
  int signal;
  Earlier earlier;
  bool disarm_first;
  std::string out;
  int exit_status;  // -1: ended by the signal itself
  bool canonical_after;
};

TEST(SignalRestore, GivesTheTerminalBackThenLetsTheSignalHaveItsWay) {
  const SignalCase cases[] = {
      {"default action ends the process by the signal", SIGTERM, Earlier::Default, false, "<reset>",
       -1, true},
      {"hang-up", SIGHUP, Earlier::Default, false, "<reset>", -1, true},
      {"a fatal signal", SIGSEGV, Earlier::Default, false, "<reset>", -1, true},
      {"earlier handler gets the signal's information", SIGBUS, Earlier::WithInfo, false,
       "<reset>earlier handler: code Q value 7", 3, true},
      {"earlier plain handler", SIGTERM, Earlier::Plain, false, "<reset>plain handler", 4, true},
      {"an ignored signal stays ignored", SIGHUP, Earlier::Ignored, false, "still running", 0,
       false},
      {"disarmed: the earlier disposition is back", SIGTERM, Earlier::Default, true, "", -1, false},
  };
  for (const SignalCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = signal_child(c.signal, c.earlier, c.disarm_first);
    EXPECT_EQ(outcome.out, c.out);
    if (c.exit_status < 0) {
      ASSERT_TRUE(WIFSIGNALED(outcome.wait_status)) << outcome.wait_status;
      EXPECT_EQ(WTERMSIG(outcome.wait_status), c.signal);
    } else {
      ASSERT_TRUE(WIFEXITED(outcome.wait_status)) << outcome.wait_status;
      EXPECT_EQ(WEXITSTATUS(outcome.wait_status), c.exit_status);
    }
    EXPECT_EQ(outcome.canonical_after, c.canonical_after);
  }
}

}  // namespace
}  // namespace vemo::tui
