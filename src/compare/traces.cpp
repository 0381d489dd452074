#include "compare/traces.hpp"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <iterator>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "compare/diff.hpp"
#include "compare/workers.hpp"
#include "core/fresh_memory.hpp"

namespace vemo {

namespace {

// ---- Comparability ----

Status check_kernel(const TraceHeader& a, const TraceHeader& b, const CompareConfig& config,
                    const Diagnostics& diagnostics) {
  if (a.kernel_hash == b.kernel_hash) return {};
  if (!config.skip_kernel_name_check && !config.cross_gpu) {
    return fail(
        "Kernel mismatch: '{}' (0x{:016x}) vs '{}' (0x{:016x})\n"
        "Hint: use --force to compare different kernel variants",
        a.kernel_name_text(), a.kernel_hash, b.kernel_name_text(), b.kernel_hash);
  }
  diagnostics(fmt::format("Warning: Kernel mismatch ({}): '{}' vs '{}'\n",
                          config.cross_gpu ? "--cross-gpu" : "--force", a.kernel_name_text(),
                          b.kernel_name_text()));
  return {};
}

Status check_shape(const TraceHeader& a, const TraceHeader& b, const CompareConfig& config,
                   const Diagnostics& diagnostics) {
  if (config.cross_gpu) {
    if (a.grid != b.grid) {
      diagnostics(fmt::format("Note (cross-GPU): Grid dimension mismatch: {} vs {}\n",
                              dims_text(a.grid), dims_text(b.grid)));
    }
    if (a.block != b.block) {
      diagnostics(fmt::format("Note (cross-GPU): Block dimension mismatch: {} vs {}\n",
                              dims_text(a.block), dims_text(b.block)));
    }
    return {};
  }
  if (a.grid != b.grid) {
    return fail("Grid dimension mismatch: {} vs {}", dims_text(a.grid), dims_text(b.grid));
  }
  if (a.block != b.block) {
    return fail("Block dimension mismatch: {} vs {}", dims_text(a.block), dims_text(b.block));
  }
  if (a.num_warps != b.num_warps) {
    return fail("Total warp mismatch: {} vs {}", a.num_warps, b.num_warps);
  }
  return {};
}

// ---- Jobs ----

std::uint64_t warp_size_of(const TraceHeader& header) {
  return GpuArch::from_cuda_arch(header.cuda_arch).warp_size();
}

// The warps of one trace that hold threads [start, end); never empty while the trace holds
// thread `start`.
WarpRange warps_covering(std::uint64_t start, std::uint64_t end, std::uint64_t warp_size,
                         std::uint64_t num_warps) {
  const std::uint64_t last = std::min(num_warps, (end + warp_size - 1) / warp_size);
  return {static_cast<std::uint32_t>(start / warp_size), static_cast<std::uint32_t>(last)};
}

const SiteRemapper* effective(const SiteRemapper* remapper) {
  return remapper != nullptr && !remapper->empty() ? remapper : nullptr;
}

// The room the jobs of one block copy their sequences into, reused from one job to the next so
// that jobs allocate nothing of their own.
struct SequenceStorage {
  std::vector<TraceEvent> a;
  std::vector<TraceEvent> b;
};

// One trace's side of a job: its event sequence, and the events its warps recorded (their raw
// counts, which the trace's event total sums).
struct JobSide {
  std::span<const TraceEvent> events;
  std::uint64_t recorded = 0;
};

// A single warp that needs no change is viewed in place; otherwise the events are copied once
// into `storage`, trace-B ids remapped while copying. Unreadable warps add nothing.
JobSide job_side(const Trace& trace, WarpRange warps, const SiteRemapper* remapper,
                 std::vector<TraceEvent>& storage) {
  if (warps.end - warps.first == 1 && remapper == nullptr) {
    const auto view = readable_warp(trace, warps.first);
    if (!view) return {};
    return {view->events, view->header->event_count};
  }
  JobSide side;
  std::size_t total = 0;
  for (const std::uint32_t warp : warps.indices()) {
    if (const auto view = readable_warp(trace, warp)) {
      total += view->events.size();
      side.recorded += view->header->event_count;
    }
  }
  storage.clear();
  storage.reserve(total);
  for (const std::uint32_t warp : warps.indices()) {
    const auto view = readable_warp(trace, warp);
    if (!view) continue;
    if (remapper == nullptr) {
      storage.insert(storage.end(), view->events.begin(), view->events.end());
      continue;
    }
    std::ranges::transform(view->events, std::back_inserter(storage), [&](TraceEvent event) {
      event.site_id = remap_site(*remapper, event.site_id);
      return event;
    });
  }
  side.events = storage;
  return side;
}

// Below this many slots (events and warp headers) in the two traces together, a comparison
// takes less time than handing it to the pool's workers and waking them, so it runs on the
// calling thread: a session of many small launches pays no thread hand-off per pair.
constexpr std::uint64_t POOL_MIN_EVENT_SLOTS = std::uint64_t{1} << 15;

bool worth_the_pool(const Trace& a, const Trace& b) {
  const auto slots = [](const TraceHeader& header) {
    return std::uint64_t{header.num_warps} * (std::uint64_t{header.events_per_warp} + 1);
  };
  const std::uint64_t slots_a = slots(a.header);
  const std::uint64_t slots_b = slots(b.header);
  // Each side is checked alone first, so the sum is only taken of two small numbers.
  return slots_a >= POOL_MIN_EVENT_SLOTS || slots_b >= POOL_MIN_EVENT_SLOTS ||
         slots_a + slots_b >= POOL_MIN_EVENT_SLOTS;
}

// The pool a pair is compared on: the calling thread alone when the pair is not worth more.
WorkerPool& pool_for(WorkerPool& workers, const Trace& a, const Trace& b) {
  return worth_the_pool(a, b) ? workers : calling_thread_pool();
}

// At most this many blocks of jobs or records: enough for the threads to share the work
// evenly, few enough that what is kept per block costs nothing.
constexpr std::size_t MOST_BLOCKS = 1024;

// `count` default records in fresh storage, its pages faulted in on `workers`: the thread that
// writes the records then only writes.
std::vector<Divergence> fresh_records(WorkerPool& workers, std::uint64_t count) {
  std::vector<Divergence> records;
  reserve_fresh(records, count, workers);
  records.resize(count);
  return records;
}

// Both sides of a job, valid while `storage` is left alone.
class JobEvents {
 public:
  JobEvents(const WarpJob& job, const Trace& a, const Trace& b, const SiteRemapper* remapper,
            SequenceStorage& storage)
      : a_(job_side(a, job.warps_a, nullptr, storage.a)),
        b_(job_side(b, job.warps_b, effective(remapper), storage.b)) {}

  std::span<const TraceEvent> a() const { return a_.events; }
  std::span<const TraceEvent> b() const { return b_.events; }
  std::uint64_t recorded_a() const { return a_.recorded; }
  std::uint64_t recorded_b() const { return b_.recorded; }

 private:
  JobSide a_;
  JobSide b_;
};

// A job that found divergences, and how many.
struct DivergedJob {
  std::size_t job;
  std::uint64_t count;
};

// The jobs that found divergences, by block of jobs, and where each block starts in the joined
// list: nothing is kept for a job without any, so an identical pair keeps nothing per warp.
// With a limit a job counts at most that many, since the cut keeps a prefix of the joined list
// and no job can give more to it.
struct JobCounts {
  explicit JobCounts(std::size_t jobs) : blocks(jobs, MOST_BLOCKS), diverged(blocks.count()) {}

  IndexBlocks blocks;
  std::vector<std::vector<DivergedJob>> diverged;  // by block, in job order
  std::vector<std::uint64_t> block_start;          // one more than blocks: the last is the total
  std::uint64_t diverged_jobs = 0;
  // The events recorded by the jobs' warps of each trace, read while the jobs ran.
  std::uint64_t recorded_a = 0;
  std::uint64_t recorded_b = 0;

  std::uint64_t total() const { return block_start.back(); }
};

JobCounts count_per_job(WorkerPool& workers, const WarpJobs& jobs, const Trace& a, const Trace& b,
                        const SiteRemapper* remapper, const CompareConfig& config) {
  JobCounts counts(jobs.size());
  struct BlockSums {
    std::uint64_t divergences = 0;
    std::uint64_t recorded_a = 0;
    std::uint64_t recorded_b = 0;
  };
  std::vector<BlockSums> sums(counts.blocks.count());
  counts.blocks.for_each(workers, [&](std::size_t block, std::size_t first, std::size_t end) {
    BlockSums sum;
    SequenceStorage storage;
    for (std::size_t k = first; k < end; ++k) {
      const JobEvents events(jobs[k], a, b, remapper, storage);
      const std::uint64_t count =
          count_divergences(events.a(), events.b(), config, config.max_divergences);
      if (count != 0) counts.diverged[block].push_back({k, count});
      sum.divergences += count;
      sum.recorded_a += events.recorded_a();
      sum.recorded_b += events.recorded_b();
    }
    sums[block] = sum;
  });
  counts.block_start.reserve(sums.size() + 1);
  std::uint64_t total = 0;
  for (std::size_t block = 0; block < sums.size(); ++block) {
    counts.block_start.push_back(total);
    total += sums[block].divergences;
    counts.diverged_jobs += counts.diverged[block].size();
    counts.recorded_a += sums[block].recorded_a;
    counts.recorded_b += sums[block].recorded_b;
  }
  counts.block_start.push_back(total);
  return counts;
}

// The divergences of all jobs joined in job order and cut to the first `max_divergences` (0
// keeps all). The counts size the list once; each job then writes the part of it that the cut
// keeps, and jobs that keep nothing are not walked again.
std::vector<Divergence> diff_in_job_order(WorkerPool& workers, const WarpJobs& jobs,
                                          const JobCounts& counts, const Trace& a, const Trace& b,
                                          const SiteRemapper* remapper,
                                          const CompareConfig& config) {
  std::uint64_t total = counts.total();
  if (config.max_divergences != 0) total = std::min(total, config.max_divergences);
  std::vector<Divergence> joined = fresh_records(workers, total);
  counts.blocks.for_each(workers, [&](std::size_t block, std::size_t, std::size_t) {
    std::uint64_t start = counts.block_start[block];
    SequenceStorage storage;
    for (const DivergedJob& diverged : counts.diverged[block]) {
      if (start >= total) break;
      const std::uint64_t kept = std::min(diverged.count, total - start);
      const WarpJob job = jobs[diverged.job];
      const JobEvents events(job, a, b, remapper, storage);
      diff_events_into(job.warp_idx, events.a(), events.b(), config,
                       std::span(joined).subspan(start, kept));
      start += diverged.count;
    }
  });
  return joined;
}

// ---- Snapshots ----
//
// A divergence names its job's warp_idx and trace A's site id. Each trace is looked up under its
// own warps and ids: trace A under the job warp whose events hold the divergence's event_idx,
// trace B under each of the job's warps and each B id that maps to the site (the site itself
// unless the remapper moves it away); the greatest seq wins, the first found among equals.

class SiteOrigins {
 public:
  explicit SiteOrigins(const SiteRemapper* remapper) : remapper_(remapper) {
    if (remapper_ == nullptr) return;
    remapper_->for_each(
        [&](std::uint32_t site_b, std::uint32_t site_a) { origins_[site_a].push_back(site_b); });
    for (auto& [site_a, sites_b] : origins_) std::ranges::sort(sites_b);
  }

  template <class F>
  void for_each(std::uint32_t site, F&& visit) const {
    if (remapper_ == nullptr || remap_site(*remapper_, site) == site) visit(site);
    if (const auto it = origins_.find(site); it != origins_.end()) {
      for (const std::uint32_t origin : it->second) {
        if (origin != site) visit(origin);
      }
    }
  }

 private:
  const SiteRemapper* remapper_;
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> origins_;
};

void keep_latest(std::optional<OperandSnapshot>& best,
                 const Result<std::optional<OperandSnapshot>>& found) {
  if (!found || !found->has_value()) return;
  if (!best || (*found)->seq > best->seq) best = **found;
}

std::optional<std::uint32_t> warp_holding_event(const Trace& trace, WarpRange warps,
                                                std::uint64_t event_idx) {
  std::uint64_t start = 0;
  for (const std::uint32_t warp : warps.indices()) {
    const auto view = readable_warp(trace, warp);
    if (!view) continue;
    if (event_idx - start < view->events.size()) return warp;
    start += view->events.size();
  }
  return std::nullopt;
}

HeapOptional<SnapshotPair> snapshot_pair(const std::optional<OperandSnapshot>& a,
                                         const std::optional<OperandSnapshot>& b) {
  if (!a && !b) return std::nullopt;
  SnapshotPair pair;
  if (a) {
    pair.lhs_a = a->lhs;
    pair.rhs_a = a->rhs;
    pair.lane_mask_a = a->lane_mask;
  }
  if (b) {
    pair.lhs_b = b->lhs;
    pair.rhs_b = b->rhs;
    pair.lane_mask_b = b->lane_mask;
  }
  pair.predicate = a ? a->predicate : b->predicate;
  return pair;
}

// The snapshots of one divergence, when it is of a kind that has them.
void attach_snapshot(Divergence& divergence, const WarpJobs& jobs, const Trace& a, const Trace& b,
                     const SiteOrigins& origins_b) {
  if (!divergence.kind.get<BranchKind>() && !divergence.kind.get<ActiveMaskKind>()) return;
  const std::optional<WarpJob> job = jobs.with_index(divergence.warp_idx);
  if (!job) return;
  std::optional<OperandSnapshot> snapshot_a;
  std::optional<OperandSnapshot> snapshot_b;
  if (a.header.has_snapshots()) {
    if (const auto warp = warp_holding_event(a, job->warps_a, divergence.event_idx)) {
      keep_latest(snapshot_a, find_snapshot(a, *warp, divergence.site_id));
    }
  }
  if (b.header.has_snapshots()) {
    for (const std::uint32_t warp : job->warps_b.indices()) {
      origins_b.for_each(divergence.site_id, [&](std::uint32_t site) {
        keep_latest(snapshot_b, find_snapshot(b, warp, site));
      });
    }
  }
  divergence.snapshot = snapshot_pair(snapshot_a, snapshot_b);
}

// Each divergence's snapshot depends on it alone, so they are looked up side by side.
void attach_snapshots(WorkerPool& workers, std::vector<Divergence>& divergences,
                      const WarpJobs& jobs, const Trace& a, const Trace& b,
                      const SiteRemapper* remapper) {
  if (!a.header.has_snapshots() && !b.header.has_snapshots()) return;
  const SiteOrigins origins_b(remapper);
  IndexBlocks(divergences.size(), MOST_BLOCKS)
      .for_each(workers, [&](std::size_t, std::size_t first, std::size_t end) {
        for (std::size_t k = first; k < end; ++k) {
          attach_snapshot(divergences[k], jobs, a, b, origins_b);
        }
      });
}

CrossGpuInfo cross_gpu_info(const TraceHeader& a, const TraceHeader& b) {
  CrossGpuInfo info;
  info.arch_a = GpuArch::from_cuda_arch(a.cuda_arch);
  info.arch_b = GpuArch::from_cuda_arch(b.cuda_arch);
  info.warp_size_a = info.arch_a.warp_size();
  info.warp_size_b = info.arch_b.warp_size();
  info.grid_a = a.grid;
  info.grid_b = b.grid;
  info.block_a = a.block;
  info.block_b = b.block;
  return info;
}

}  // namespace

WarpJobs WarpJobs::same_arch(std::uint32_t first, std::uint32_t end) {
  WarpJobs jobs;
  jobs.first_ = first;
  jobs.count_ = end > first ? end - first : 0;
  return jobs;
}

WarpJobs WarpJobs::cross_gpu(const TraceHeader& a, const TraceHeader& b) {
  WarpJobs jobs;
  jobs.warp_size_a_ = warp_size_of(a);
  jobs.warp_size_b_ = warp_size_of(b);
  jobs.warps_a_ = a.num_warps;
  jobs.warps_b_ = b.num_warps;
  jobs.threads_ = std::min(jobs.warps_a_ * jobs.warp_size_a_, jobs.warps_b_ * jobs.warp_size_b_);
  jobs.width_ = std::max(jobs.warp_size_a_, jobs.warp_size_b_);
  // Every chunk starts below both traces' thread counts, so neither side's warps are empty.
  jobs.count_ = (jobs.threads_ + jobs.width_ - 1) / jobs.width_;
  return jobs;
}

WarpJob WarpJobs::operator[](std::size_t position) const {
  if (!chunked()) {
    const auto warp = static_cast<std::uint32_t>(first_ + position);
    return {{warp, warp + 1}, warp, {warp, warp + 1}};
  }
  const std::uint64_t start = position * width_;
  const std::uint64_t end = std::min(start + width_, threads_);
  return {warps_covering(start, end, warp_size_a_, warps_a_), static_cast<std::uint32_t>(position),
          warps_covering(start, end, warp_size_b_, warps_b_)};
}

std::optional<WarpJob> WarpJobs::with_index(std::uint32_t warp_idx) const {
  const std::uint32_t first = chunked() ? 0 : first_;
  if (warp_idx < first || warp_idx - first >= count_) return std::nullopt;
  return (*this)[warp_idx - first];
}

WarpJobs same_arch_warp_jobs(std::uint32_t first, std::uint32_t end) {
  return WarpJobs::same_arch(first, end);
}

WarpJobs cross_gpu_warp_jobs(const Trace& a, const Trace& b) {
  return WarpJobs::cross_gpu(a.header, b.header);
}

std::vector<Divergence> diff_warp_job(const WarpJob& job, const Trace& a, const Trace& b,
                                      const SiteRemapper* remapper, const CompareConfig& config) {
  SequenceStorage storage;
  const JobEvents events(job, a, b, remapper, storage);
  return config.cross_gpu ? diff_events_cross_gpu(job.warp_idx, events.a(), events.b(), config)
                          : diff_events(job.warp_idx, events.a(), events.b(), config);
}

Result<DiffResult> compare_traces(const Trace& a, const Trace& b, const CompareConfig& config,
                                  const SiteRemapper* remapper, const Diagnostics& diagnostics,
                                  WorkerPool& workers) {
  if (auto checked = check_kernel(a.header, b.header, config, diagnostics); !checked) {
    return fail(std::move(checked.error()));
  }
  if (auto checked = check_shape(a.header, b.header, config, diagnostics); !checked) {
    return fail(std::move(checked.error()));
  }
  const WarpJobs jobs =
      config.cross_gpu ? cross_gpu_warp_jobs(a, b) : same_arch_warp_jobs(0, a.header.num_warps);
  diagnostics(fmt::format("Comparing {} warps...\n", jobs.size()));

  WorkerPool& pool = pool_for(workers, a, b);
  DiffResult result;
  const JobCounts counts = count_per_job(pool, jobs, a, b, remapper, config);
  // Jobs have distinct warp_idx values, so the diverged warps are the jobs that found any.
  result.warps_diverged = counts.diverged_jobs;
  result.divergences = diff_in_job_order(pool, jobs, counts, a, b, remapper, config);
  // Only the kept divergences are looked up.
  attach_snapshots(pool, result.divergences, jobs, a, b, effective(remapper));
  if (config.cross_gpu) result.cross_gpu = cross_gpu_info(a.header, b.header);
  // The jobs' warps of each trace are one run from warp 0; the warps past them hold only
  // threads that are not compared, and are summed on their own.
  const WarpJob last = jobs.empty() ? WarpJob{} : jobs[jobs.size() - 1];
  result.total_events_a = counts.recorded_a + warp_totals(a, pool, last.warps_a.end).events;
  result.total_events_b = counts.recorded_b + warp_totals(b, pool, last.warps_b.end).events;
  result.total_warps = jobs.size();
  result.warps_compared = jobs.size();
  return result;
}

}  // namespace vemo
