#pragma once
// Comparing two sessions launch pair by launch pair.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "compare/diagnostics.hpp"
#include "compare/records.hpp"
#include "core/error.hpp"
#include "trace/session.hpp"

namespace vemo {

struct KernelResult {
  std::string kernel;
  std::uint32_t launch = 0;
  Result<DiffResult> result;
};

struct SessionDiff {
  std::vector<KernelResult> kernel_results;
  std::vector<std::string> unmatched_a;
  std::vector<std::string> unmatched_b;
};

// The launches that found no partner, each "{} (launch {})", in their manifest's order.
struct UnmatchedLaunches {
  std::vector<std::string> unmatched_a;
  std::vector<std::string> unmatched_b;
};

// Loads the trace of one launch of a session (`load_session_trace` in a real run).
using LaunchTraceLoader = std::function<Result<Trace>(const Session&, const SessionLaunch&)>;
// Receives each pair's result as soon as the pair is compared, in session A's manifest order.
using KernelResultHandler = std::function<void(KernelResult result)>;

// Never fails as a whole: a pair that failed keeps its error as its result. The two traces of a
// pair are loaded just before it is compared and released before its result is handed on, and
// the result is dropped before the next pair loads, so memory holds one pair at a time.
UnmatchedLaunches compare_sessions(const Session& a, const Session& b, const CompareConfig& config,
                                   const LaunchTraceLoader& load_trace,
                                   const Diagnostics& diagnostics,
                                   const KernelResultHandler& on_result);
// The same with every pair's result kept, for callers that want them all at once.
SessionDiff compare_sessions(const Session& a, const Session& b, const CompareConfig& config,
                             const LaunchTraceLoader& load_trace, const Diagnostics& diagnostics);

}  // namespace vemo
