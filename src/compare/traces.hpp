#pragma once
// Comparing two loaded traces: comparability checks, jobs, the parallel diff, snapshots, totals.

#include <cstdint>
#include <vector>

#include "compare/diagnostics.hpp"
#include "compare/records.hpp"
#include "compare/workers.hpp"
#include "core/error.hpp"
#include "trace/site_map.hpp"
#include "trace/trace_file.hpp"

namespace vemo {

struct WarpJob {
  std::vector<std::uint32_t> warps_a;
  std::uint32_t warp_idx = 0;
  std::vector<std::uint32_t> warps_b;
  bool operator==(const WarpJob&) const = default;
};

// `remapper` may be null. Warnings, notes and the progress line go to `diagnostics`. Large
// pairs are compared on `workers`.
Result<DiffResult> compare_traces(const Trace& a, const Trace& b, const CompareConfig& config,
                                  const SiteRemapper* remapper, const Diagnostics& diagnostics,
                                  WorkerPool& workers = worker_pool());

std::vector<WarpJob> same_arch_warp_jobs(std::uint32_t first, std::uint32_t end);
std::vector<WarpJob> cross_gpu_warp_jobs(const Trace& a, const Trace& b);
std::vector<Divergence> diff_warp_job(const WarpJob& job, const Trace& a, const Trace& b,
                                      const SiteRemapper* remapper, const CompareConfig& config);

}  // namespace vemo
