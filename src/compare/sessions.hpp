#pragma once
// Comparing two sessions launch pair by launch pair.

#include <cstdint>
#include <string>
#include <vector>

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

// Never fails as a whole: a pair that failed keeps its error as its result.
SessionDiff compare_sessions(const Session& a, const Session& b, const CompareConfig& config);

}  // namespace vemo
