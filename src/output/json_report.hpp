#pragma once
// The JSON documents for CI: the pair report and the session report, with their verdicts. The
// writers format into the sink they are handed, like every writer in output/.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "compare/records.hpp"
#include "compare/sessions.hpp"
#include "core/sink.hpp"
#include "trace/site_map.hpp"

namespace vemo {

struct JsonDivergence {
  std::uint32_t warp_idx = 0;
  std::uint64_t event_idx = 0;
  std::string site_id;
  std::string kind;
  std::optional<std::string> source_location;
};

struct JsonCrossGpu {
  std::string arch_a;
  std::string arch_b;
  std::uint32_t warp_size_a = 0;
  std::uint32_t warp_size_b = 0;
  std::array<std::uint32_t, 3> grid_a{};
  std::array<std::uint32_t, 3> grid_b{};
  std::array<std::uint32_t, 3> block_a{};
  std::array<std::uint32_t, 3> block_b{};
};

struct JsonReport {
  std::string status;
  std::uint64_t total_divergences = 0;
  std::uint64_t counted_divergences = 0;
  std::uint64_t warps_compared = 0;
  std::uint64_t warps_diverged = 0;
  std::uint64_t total_events_a = 0;
  std::uint64_t total_events_b = 0;
  std::vector<std::pair<std::string, std::uint64_t>> divergence_breakdown;
  // Borrowed from the result and the site map: each entry becomes a `JsonDivergence` as it is
  // written, so the document never exists whole in memory.
  std::span<const Divergence> divergences;
  const SiteMap* site_map = nullptr;
  std::optional<std::uint64_t> threshold;
  bool passed = false;
  std::optional<JsonCrossGpu> cross_gpu;
};

struct KernelResultEntry {
  std::string kernel;
  std::uint32_t launch = 0;
  std::string status;
  std::uint64_t divergences = 0;
  std::optional<std::string> error;
};

struct SessionJsonReport {
  std::string status;
  std::vector<KernelResultEntry> kernel_results;
  std::vector<std::string> unmatched_a;
  std::vector<std::string> unmatched_b;
  std::optional<std::uint64_t> threshold;
  bool passed = false;
};

JsonReport build_json_report(const DiffResult& result, const SiteMap* site_map,
                             std::optional<std::uint64_t> max_allowed, bool ignore_active_mask);
JsonDivergence json_divergence(const Divergence& divergence, const SiteMap* site_map);
// The pretty-printed document, without a trailing newline.
void write_json_report(OutputSink& sink, const JsonReport& report);

// What the launch pairs add up to while a session report is built.
struct SessionTally {
  std::uint64_t divergences = 0;
  bool failed = false;  // a launch pair ended with an error
};

SessionJsonReport build_session_report(const SessionDiff& diff,
                                       std::optional<std::uint64_t> max_allowed);
// One launch pair's entry; adds its divergences to `tally` and marks a failed pair there.
KernelResultEntry session_kernel_result(const KernelResult& result, SessionTally& tally);

// Builds the session report as the pairs are compared: each pair leaves only its entry behind.
class SessionReportBuilder {
 public:
  void add(const KernelResult& result);
  // The finished report, once every pair has been added.
  SessionJsonReport finish(UnmatchedLaunches unmatched, std::optional<std::uint64_t> max_allowed);

 private:
  SessionJsonReport report_;
  SessionTally tally_;
};
// The pretty-printed document, without a trailing newline.
void write_session_json(OutputSink& sink, const SessionJsonReport& report);

}  // namespace vemo
