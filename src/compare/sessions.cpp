#include "compare/sessions.hpp"

#include <optional>

#include <fmt/format.h>

#include "compare/traces.hpp"

namespace vemo {

namespace {

bool same_launch(const SessionLaunch& a, const SessionLaunch& b) {
  return a.kernel == b.kernel && a.launch == b.launch;
}

std::string launch_text(const SessionLaunch& launch) {
  return fmt::format("{} (launch {})", launch.kernel, launch.launch);
}

// The position of the first launch of `session` that pairs with `launch`, paired before or not.
std::optional<std::size_t> partner_of(const SessionLaunch& launch, const Session& session) {
  for (std::size_t k = 0; k < session.launches.size(); ++k) {
    if (same_launch(launch, session.launches[k])) return k;
  }
  return std::nullopt;
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

std::vector<std::string> unmatched_launches_a(const Session& a, const Session& b) {
  std::vector<std::string> unmatched;
  for (const SessionLaunch& launch : a.launches) {
    if (!partner_of(launch, b)) unmatched.push_back(launch_text(launch));
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

SessionDiff compare_sessions(const Session& a, const Session& b, const CompareConfig& config,
                             const LaunchTraceLoader& load_trace, const Diagnostics& diagnostics) {
  SessionDiff diff;
  std::vector<bool> paired_b(b.launches.size(), false);
  for (const SessionLaunch& launch_a : a.launches) {
    const auto partner = partner_of(launch_a, b);
    if (!partner) continue;
    paired_b[*partner] = true;
    const SessionLaunch& launch_b = b.launches[*partner];
    warn_on_manifest_dims(launch_a, launch_b, diagnostics);
    diff.kernel_results.push_back(KernelResult{
        .kernel = launch_a.kernel,
        .launch = launch_a.launch,
        .result = compare_launch_pair(a, launch_a, b, launch_b, config, load_trace, diagnostics),
    });
  }
  diff.unmatched_a = unmatched_launches_a(a, b);
  diff.unmatched_b = unmatched_launches_b(b, paired_b);
  return diff;
}

}  // namespace vemo
