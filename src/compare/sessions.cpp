#include "compare/sessions.hpp"

#include <cstddef>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "compare/traces.hpp"

namespace vemo {

namespace {

std::string launch_text(const SessionLaunch& launch) {
  return fmt::format("{} (launch {})", launch.kernel, launch.launch);
}

// A launch's pairing key; views into the session, which outlives the index.
struct LaunchKey {
  std::string_view kernel;
  std::uint32_t launch = 0;
  bool operator==(const LaunchKey&) const = default;
};

struct LaunchKeyHash {
  std::size_t operator()(const LaunchKey& key) const noexcept {
    const std::size_t h = std::hash<std::string_view>{}(key.kernel);
    return h ^
           (std::hash<std::uint32_t>{}(key.launch) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
  }
};

LaunchKey key_of(const SessionLaunch& launch) {
  return LaunchKey{.kernel = launch.kernel, .launch = launch.launch};
}

// Each key maps to the position of its first launch in the session, so lookups stay constant
// time over long sessions and a repeated launch pairs with its first occurrence.
using LaunchIndex = std::unordered_map<LaunchKey, std::size_t, LaunchKeyHash>;

LaunchIndex index_launches(const Session& session) {
  LaunchIndex index;
  index.reserve(session.launches.size());
  for (std::size_t k = 0; k < session.launches.size(); ++k) {
    index.try_emplace(key_of(session.launches[k]), k);
  }
  return index;
}

// The position of the first launch of the indexed session that pairs with `launch`, paired before
// or not.
const std::size_t* partner_of(const SessionLaunch& launch, const LaunchIndex& index) {
  const auto found = index.find(key_of(launch));
  return found == index.end() ? nullptr : &found->second;
}

void warn_on_manifest_dims(const SessionLaunch& a, const SessionLaunch& b,
                           const Diagnostics& diagnostics) {
  if (a.grid != b.grid) {
    diagnostics(fmt::format("Warning: Grid dim mismatch for {} (launch {}): {} vs {}\n", a.kernel,
                            a.launch, dims_text(a.grid), dims_text(b.grid)));
  }
  if (a.block != b.block) {
    diagnostics(fmt::format("Warning: Block dim mismatch for {} (launch {}): {} vs {}\n", a.kernel,
                            a.launch, dims_text(a.block), dims_text(b.block)));
  }
}

// Both traces live only inside this call, so they are released before the next pair loads.
Result<DiffResult> compare_launch_pair(const Session& session_a, const SessionLaunch& a,
                                       const Session& session_b, const SessionLaunch& b,
                                       const CompareConfig& config,
                                       const LaunchTraceLoader& load_trace,
                                       const Diagnostics& diagnostics) {
  const Result<Trace> trace_a = load_trace(session_a, a);
  if (!trace_a) return std::unexpected(trace_a.error());
  const Result<Trace> trace_b = load_trace(session_b, b);
  if (!trace_b) return std::unexpected(trace_b.error());
  return compare_traces(*trace_a, *trace_b, config, nullptr, diagnostics);
}

std::vector<std::string> unmatched_launches_a(const Session& a, const LaunchIndex& index_b) {
  std::vector<std::string> unmatched;
  for (const SessionLaunch& launch : a.launches) {
    if (!partner_of(launch, index_b)) unmatched.push_back(launch_text(launch));
  }
  return unmatched;
}

std::vector<std::string> unmatched_launches_b(const Session& b, const std::vector<bool>& paired) {
  std::vector<std::string> unmatched;
  for (std::size_t k = 0; k < b.launches.size(); ++k) {
    if (!paired[k]) unmatched.push_back(launch_text(b.launches[k]));
  }
  return unmatched;
}

}  // namespace

UnmatchedLaunches compare_sessions(const Session& a, const Session& b, const CompareConfig& config,
                                   const LaunchTraceLoader& load_trace,
                                   const Diagnostics& diagnostics,
                                   const KernelResultHandler& on_result) {
  const LaunchIndex index_b = index_launches(b);
  std::vector<bool> paired_b(b.launches.size(), false);
  for (const SessionLaunch& launch_a : a.launches) {
    const std::size_t* partner = partner_of(launch_a, index_b);
    if (!partner) continue;
    paired_b[*partner] = true;
    const SessionLaunch& launch_b = b.launches[*partner];
    warn_on_manifest_dims(launch_a, launch_b, diagnostics);
    on_result(KernelResult{
        .kernel = launch_a.kernel,
        .launch = launch_a.launch,
        .result = compare_launch_pair(a, launch_a, b, launch_b, config, load_trace, diagnostics),
    });
  }
  return UnmatchedLaunches{.unmatched_a = unmatched_launches_a(a, index_b),
                           .unmatched_b = unmatched_launches_b(b, paired_b)};
}

SessionDiff compare_sessions(const Session& a, const Session& b, const CompareConfig& config,
                             const LaunchTraceLoader& load_trace, const Diagnostics& diagnostics) {
  SessionDiff diff;
  UnmatchedLaunches unmatched = compare_sessions(
      a, b, config, load_trace, diagnostics,
      [&](KernelResult result) { diff.kernel_results.push_back(std::move(result)); });
  diff.unmatched_a = std::move(unmatched.unmatched_a);
  diff.unmatched_b = std::move(unmatched.unmatched_b);
  return diff;
}

}  // namespace vemo
