#pragma once
// The command line of vemo-diff, read through one table of its arguments.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vemo {

inline constexpr std::uint64_t DEFAULT_MAX_SHOWN = 10;
inline constexpr std::uint64_t DEFAULT_MAX_DIVERGENCES = 0;
inline constexpr std::uint64_t DEFAULT_LOOKAHEAD = 32;

struct Args {
  std::string trace_a;
  std::string trace_b;
  std::uint64_t max_shown = DEFAULT_MAX_SHOWN;
  bool verbose = false;
  bool values = false;
  std::uint64_t max_divergences = DEFAULT_MAX_DIVERGENCES;
  std::uint64_t lookahead = DEFAULT_LOOKAHEAD;
  bool force = false;
  std::optional<std::string> site_map;
  std::optional<std::uint64_t> dump_a;
  std::optional<std::uint64_t> dump_b;
  bool tui = false;
  bool history = false;
  bool float_ = false;  // --float
  std::optional<std::string> remap_a;
  std::optional<std::string> remap_b;
  bool session = false;
  bool continue_after_path = false;
  bool cross_gpu = false;
  bool json = false;
  std::optional<std::uint64_t> max_allowed_divergences;
  bool ignore_active_mask = false;
  bool classify = false;
  std::optional<std::string> export_flamegraph;
  std::optional<std::string> warps;
  std::optional<std::string> filter_kind;
  std::optional<std::string> filter_sites;
  std::optional<std::string> csv;
};

// A command line that does not lead to a run: what to print on each stream and the status
// (help and version on standard output with status 0, a usage error on standard error with
// status 2).
struct CliExit {
  int status = 0;
  std::string out;
  std::string err;
};

// The whole parse without side effects; `argv` starts with the invocation name. Usage errors
// name an argument as it is written in the help: "--csv <PATH>", "--verbose", "<TRACE_A>".
std::expected<Args, CliExit> parse_command_line(const std::vector<std::string>& argv);

// The count rule: an unsigned 64-bit decimal, one optional leading '+'. The error is the
// detail shown after the refused value.
std::expected<std::uint64_t, std::string_view> parse_count(std::string_view text);

}  // namespace vemo
