#pragma once
// Comparing two loaded traces: comparability checks, jobs, the parallel diff, snapshots, totals.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ranges>
#include <vector>

#include "compare/diagnostics.hpp"
#include "compare/records.hpp"
#include "compare/workers.hpp"
#include "core/error.hpp"
#include "trace/site_map.hpp"
#include "trace/trace_file.hpp"

namespace vemo {

// Warp buffer indices first, first + 1, ..., end - 1 of one trace.
struct WarpRange {
  std::uint32_t first = 0;
  std::uint32_t end = 0;
  bool empty() const { return first >= end; }
  auto indices() const { return std::views::iota(first, std::max(first, end)); }
  bool operator==(const WarpRange&) const = default;
};

// The job's event sequences are the events of its warps of each trace, joined in warp order.
struct WarpJob {
  WarpRange warps_a;
  std::uint32_t warp_idx = 0;
  WarpRange warps_b;
  bool operator==(const WarpJob&) const = default;
};

// The jobs of a pair in ascending warp_idx, each computed from its position where it runs:
// nothing is stored or built per job, however many warps the traces hold.
class WarpJobs {
 public:
  // One job per warp index from `first` up to `end`, whose warp_idx is the warp.
  static WarpJobs same_arch(std::uint32_t first, std::uint32_t end);
  // One job per chunk of the threads both traces hold, as wide as the wider warp; its warp_idx
  // is the chunk's index, and each side's warps are those holding the chunk's threads.
  static WarpJobs cross_gpu(const TraceHeader& a, const TraceHeader& b);

  std::size_t size() const { return static_cast<std::size_t>(count_); }
  bool empty() const { return count_ == 0; }
  WarpJob operator[](std::size_t position) const;
  // The job whose warp_idx is `warp_idx`, if any.
  std::optional<WarpJob> with_index(std::uint32_t warp_idx) const;

 private:
  // Cross-GPU jobs are chunks of threads; same-architecture jobs are warps.
  bool chunked() const { return width_ != 0; }

  std::uint64_t count_ = 0;
  std::uint32_t first_ = 0;  // same architecture: the warp of the first job
  // Cross-GPU: the threads compared, the chunk width, and each side's warp size and count; a
  // width of 0 marks same-architecture jobs.
  std::uint64_t threads_ = 0;
  std::uint64_t width_ = 0;
  std::uint64_t warp_size_a_ = 0;
  std::uint64_t warp_size_b_ = 0;
  std::uint64_t warps_a_ = 0;
  std::uint64_t warps_b_ = 0;
};

// `remapper` may be null. Warnings, notes and the progress line go to `diagnostics`. Large
// pairs are compared on `workers`.
Result<DiffResult> compare_traces(const Trace& a, const Trace& b, const CompareConfig& config,
                                  const SiteRemapper* remapper, const Diagnostics& diagnostics,
                                  WorkerPool& workers = worker_pool());

WarpJobs same_arch_warp_jobs(std::uint32_t first, std::uint32_t end);
WarpJobs cross_gpu_warp_jobs(const Trace& a, const Trace& b);
std::vector<Divergence> diff_warp_job(const WarpJob& job, const Trace& a, const Trace& b,
                                      const SiteRemapper* remapper, const CompareConfig& config);

}  // namespace vemo
