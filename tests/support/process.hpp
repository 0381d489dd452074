#pragma once
// Runs a program for CLI tests and collects its standard output, standard error and status.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vemo::testing {

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal number when killed by a signal
  std::string out;
  std::string err;
};

struct ProcessOptions {
  // The environment is exactly this (nothing inherited), plus PATH.
  std::map<std::string, std::string> env;
  std::optional<std::string> cwd;
  std::optional<std::string> argv0;  // default: the program path
  bool close_stdout = false;         // standard output is a pipe nobody reads (writes get EPIPE)
  bool close_stderr = false;         // the same for standard error
  // The child is killed (SIGKILL, status 137) when it runs longer: a bound for a run that
  // might hang, not a measure of speed.
  std::optional<std::chrono::milliseconds> timeout;
  std::optional<std::uint64_t> file_size_limit;  // the child's RLIMIT_FSIZE, in bytes
};

// Standard input is /dev/null; the broken-pipe and file-size signals have their default action
// in the child.
// A program that cannot be started gives status 127 and the reason on `err`.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const ProcessOptions& options = {});

#ifdef VEMO_DIFF_BIN
// The vemo-diff binary under test (its path is a compile definition of the test executables).
inline ProcessResult run_vemo(const std::vector<std::string>& args,
                              const ProcessOptions& options = {}) {
  return run_process(VEMO_DIFF_BIN, args, options);
}
#endif

}  // namespace vemo::testing
