#pragma once
// Runs a program for CLI tests and collects its standard output, standard error and status.

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
  bool close_stdout = false;         // start with standard output closed for reading (EPIPE)
};

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const ProcessOptions& options = {});

// The vemo-diff binary under test.
ProcessResult run_vemo(const std::vector<std::string>& args, const ProcessOptions& options = {});

}  // namespace vemo::testing
