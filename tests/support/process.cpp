#include "support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

namespace vemo::testing {

namespace {

[[noreturn]] void throw_errno(int errnum, const char* what) {
  throw std::system_error(errnum, std::generic_category(), what);
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

struct Pipe {
  Fd read;
  Fd write;
};

// Both ends close on exec; the child gets its ends through dup2, which clears the flag.
Pipe make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw_errno(errno, "pipe2");
  return {Fd(fds[0]), Fd(fds[1])};
}

std::vector<std::string> environment_of(const ProcessOptions& options) {
  std::vector<std::string> env;
  for (const auto& [name, value] : options.env) env.push_back(name + "=" + value);
  if (!options.env.contains("PATH")) {
    const char* path = std::getenv("PATH");
    env.push_back(std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin"));
  }
  return env;
}

// Pointers into `strings` followed by the terminating null pointer.
std::vector<char*> c_strings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attr_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // A test runner may ignore SIGPIPE or block signals; the child must start clean so that
  // it is the program's own choice to ignore the broken-pipe signal.
  void default_signals() {
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigset_t empty;
    sigemptyset(&empty);
    posix_spawnattr_setsigdefault(&attr_, &defaults);
    posix_spawnattr_setsigmask(&attr_, &empty);
    posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  void stdin_from_null() {
    posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  void redirect(int fd, int target) { posix_spawn_file_actions_adddup2(&actions_, fd, target); }
  void chdir(const std::string& dir) {
    posix_spawn_file_actions_addchdir_np(&actions_, dir.c_str());
  }

  // The child's pid, or the error number of a failed start.
  std::pair<pid_t, int> spawn(const std::string& program, char* const* argv, char* const* envp) {
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, program.c_str(), &actions_, &attr_, argv, envp);
    return {pid, rc};
  }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

// posix_spawn has no resource-limit attribute, so the limit is lowered in this process for
// the moment of the spawn: the child inherits it.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(std::optional<std::uint64_t> limit) : active_(limit.has_value()) {
    if (!active_) return;
    if (::getrlimit(RLIMIT_FSIZE, &saved_) != 0) throw_errno(errno, "getrlimit");
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(*limit);
    if (::setrlimit(RLIMIT_FSIZE, &lowered) != 0) throw_errno(errno, "setrlimit");
  }
  ~FileSizeLimit() {
    if (active_) ::setrlimit(RLIMIT_FSIZE, &saved_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  bool active_;
  rlimit saved_{};
};

using Clock = std::chrono::steady_clock;

// Milliseconds for poll until the deadline (-1: none), at least 0.
int poll_timeout(std::optional<Clock::time_point> deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

// Reads both pipes until each reaches end of file, polling so that neither can fill up and
// stall the child. Past the deadline the child is killed and its pipes read to the end.
void drain(pid_t pid, std::optional<Clock::time_point> deadline, Fd& out_fd, std::string& out,
           Fd& err_fd, std::string& err) {
  char buffer[65536];
  while (out_fd.is_open() || err_fd.is_open()) {
    pollfd fds[2] = {{out_fd.get(), POLLIN, 0}, {err_fd.get(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, poll_timeout(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw_errno(errno, "poll");
    }
    if (ready == 0) {
      ::kill(pid, SIGKILL);
      deadline.reset();
      continue;
    }
    const std::pair<Fd*, std::string*> streams[2] = {{&out_fd, &out}, {&err_fd, &err}};
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        streams[i].first->reset();
      } else {
        streams[i].second->append(buffer, static_cast<std::size_t>(n));
      }
    }
  }
}

int wait_for(pid_t pid) {
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) throw_errno(errno, "waitpid");
  }
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const ProcessOptions& options) {
  std::vector<std::string> argv_strings{options.argv0.value_or(program)};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings = environment_of(options);
  const std::vector<char*> argv = c_strings(argv_strings);
  const std::vector<char*> envp = c_strings(env_strings);

  Pipe out = make_pipe();
  Pipe err = make_pipe();
  // Without a reader every write to the pipe fails with EPIPE from the first byte on.
  if (options.close_stdout) out.read.reset();
  if (options.close_stderr) err.read.reset();

  SpawnSetup setup;
  setup.default_signals();
  setup.stdin_from_null();
  setup.redirect(out.write.get(), STDOUT_FILENO);
  setup.redirect(err.write.get(), STDERR_FILENO);
  if (options.cwd) setup.chdir(*options.cwd);
  const auto [pid, spawn_error] = [&] {
    const FileSizeLimit limit(options.file_size_limit);
    return setup.spawn(program, argv.data(), envp.data());
  }();
  out.write.reset();
  err.write.reset();

  ProcessResult result;
  if (spawn_error != 0) {
    result.status = 127;
    result.err = "cannot start " + program + ": " + std::strerror(spawn_error);
    return result;
  }
  std::optional<Clock::time_point> deadline;
  if (options.timeout) deadline = Clock::now() + *options.timeout;
  drain(pid, deadline, out.read, result.out, err.read, result.err);
  result.status = wait_for(pid);
  return result;
}

}  // namespace vemo::testing
