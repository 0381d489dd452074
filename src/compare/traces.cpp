#include "compare/traces.hpp"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <iterator>
#include <numeric>
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

// The warps of one trace that hold threads [start, end).
std::vector<std::uint32_t> warps_covering(std::uint64_t start, std::uint64_t end,
                                          std::uint64_t warp_size, std::uint64_t num_warps) {
  const std::uint64_t last = std::min(num_warps, (end + warp_size - 1) / warp_size);
  std::vector<std::uint32_t> warps;
  for (std::uint64_t warp = start / warp_size; warp < last; ++warp) {
    warps.push_back(static_cast<std::uint32_t>(warp));
  }
  return warps;
}

const SiteRemapper* effective(const SiteRemapper* remapper) {
  return remapper != nullptr && !remapper->empty() ? remapper : nullptr;
}

// One trace's event sequence of a job. A single warp that needs no change is viewed in place;
// otherwise the events are copied once into `storage`, trace-B ids remapped while copying.
// Unreadable warps add nothing.
std::span<const TraceEvent> job_sequence(const Trace& trace,
                                         const std::vector<std::uint32_t>& warps,
                                         const SiteRemapper* remapper,
                                         std::vector<TraceEvent>& storage) {
  if (warps.size() == 1 && remapper == nullptr) {
    const auto view = warp_events(trace, warps.front());
    return view ? view->events : std::span<const TraceEvent>{};
  }
  std::size_t total = 0;
  for (const std::uint32_t warp : warps) {
    if (const auto view = warp_events(trace, warp)) total += view->events.size();
  }
  storage.reserve(total);
  for (const std::uint32_t warp : warps) {
    const auto view = warp_events(trace, warp);
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
  return storage;
}

// Below this many event slots in the two traces together, a comparison takes less time than
// handing it to the pool's workers and waking them, so it runs on the calling thread: a
// session of many small launches pays no thread hand-off per pair.
constexpr std::uint64_t POOL_MIN_EVENT_SLOTS = std::uint64_t{1} << 15;

bool worth_the_pool(const Trace& a, const Trace& b) {
  const auto slots = [](const TraceHeader& header) {
    return std::uint64_t{header.num_warps} * header.events_per_warp;
  };
  const std::uint64_t slots_a = slots(a.header);
  const std::uint64_t slots_b = slots(b.header);
  // Each side is checked alone first, so the sum is only taken of two small numbers.
  return slots_a >= POOL_MIN_EVENT_SLOTS || slots_b >= POOL_MIN_EVENT_SLOTS ||
         slots_a + slots_b >= POOL_MIN_EVENT_SLOTS;
}

// Runs `run`(k) for every k below `count`, on the worker pool when the pair `a`, `b` is worth
// it, and waits for all.
template <class Run>
void on_pool(WorkerPool& workers, std::size_t count, const Trace& a, const Trace& b, Run run) {
  if (!worth_the_pool(a, b)) {
    for (std::size_t k = 0; k < count; ++k) run(k);
    return;
  }
  workers.for_each(count, run);
}

// `count` default records in fresh storage.
std::vector<Divergence> fresh_records(std::uint64_t count) {
  std::vector<Divergence> records;
  reserve_fresh(records, count);
  records.resize(count);
  return records;
}

// Both event sequences of a job, with the storage that backs them when they are copied.
class JobEvents {
 public:
  JobEvents(const WarpJob& job, const Trace& a, const Trace& b, const SiteRemapper* remapper)
      : a_(job_sequence(a, job.warps_a, nullptr, storage_a_)),
        b_(job_sequence(b, job.warps_b, effective(remapper), storage_b_)) {}
  JobEvents(const JobEvents&) = delete;
  JobEvents& operator=(const JobEvents&) = delete;

  std::span<const TraceEvent> a() const { return a_; }
  std::span<const TraceEvent> b() const { return b_; }

 private:
  std::vector<TraceEvent> storage_a_;
  std::vector<TraceEvent> storage_b_;
  std::span<const TraceEvent> a_;
  std::span<const TraceEvent> b_;
};

// Each job's number of divergences, by job position; with a limit, at most that many, since
// the cut keeps a prefix of the joined list and no job can give more to it.
std::vector<std::uint64_t> count_per_job(WorkerPool& workers, const std::vector<WarpJob>& jobs,
                                         const Trace& a, const Trace& b,
                                         const SiteRemapper* remapper,
                                         const CompareConfig& config) {
  std::vector<std::uint64_t> counts(jobs.size());
  on_pool(workers, jobs.size(), a, b, [&](std::size_t k) {
    const JobEvents events(jobs[k], a, b, remapper);
    counts[k] = count_divergences(events.a(), events.b(), config, config.max_divergences);
  });
  return counts;
}

// The divergences of all jobs joined in job order and cut to the first `max_divergences` (0
// keeps all). The counts size the list once; each job then writes the part of it that the cut
// keeps, and jobs that keep nothing are not walked again.
std::vector<Divergence> diff_in_job_order(WorkerPool& workers, const std::vector<WarpJob>& jobs,
                                          const std::vector<std::uint64_t>& counts, const Trace& a,
                                          const Trace& b, const SiteRemapper* remapper,
                                          const CompareConfig& config) {
  std::vector<std::uint64_t> starts(jobs.size());
  std::uint64_t total = 0;
  for (std::size_t k = 0; k < jobs.size(); ++k) {
    starts[k] = total;
    total += counts[k];
  }
  if (config.max_divergences != 0) total = std::min(total, config.max_divergences);
  std::vector<Divergence> joined = fresh_records(total);
  on_pool(workers, jobs.size(), a, b, [&](std::size_t k) {
    const std::uint64_t start = std::min(starts[k], total);
    const std::uint64_t end = std::min(starts[k] + counts[k], total);
    if (start == end) return;
    const JobEvents events(jobs[k], a, b, remapper);
    diff_events_into(jobs[k].warp_idx, events.a(), events.b(), config,
                     std::span(joined).subspan(start, end - start));
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

std::optional<std::uint32_t> warp_holding_event(const Trace& trace,
                                                const std::vector<std::uint32_t>& warps,
                                                std::uint64_t event_idx) {
  std::uint64_t start = 0;
  for (const std::uint32_t warp : warps) {
    const auto view = warp_events(trace, warp);
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

const WarpJob* job_with_index(const std::vector<WarpJob>& jobs, std::uint32_t warp_idx) {
  const auto it = std::ranges::lower_bound(jobs, warp_idx, {}, &WarpJob::warp_idx);
  return it != jobs.end() && it->warp_idx == warp_idx ? &*it : nullptr;
}

void attach_snapshots(std::vector<Divergence>& divergences, const std::vector<WarpJob>& jobs,
                      const Trace& a, const Trace& b, const SiteRemapper* remapper) {
  const bool in_a = a.header.has_snapshots();
  const bool in_b = b.header.has_snapshots();
  if (!in_a && !in_b) return;
  const SiteOrigins origins_b(remapper);
  for (Divergence& divergence : divergences) {
    if (!divergence.kind.get<BranchKind>() && !divergence.kind.get<ActiveMaskKind>()) continue;
    const WarpJob* job = job_with_index(jobs, divergence.warp_idx);
    if (job == nullptr) continue;
    std::optional<OperandSnapshot> snapshot_a;
    std::optional<OperandSnapshot> snapshot_b;
    if (in_a) {
      if (const auto warp = warp_holding_event(a, job->warps_a, divergence.event_idx)) {
        keep_latest(snapshot_a, find_snapshot(a, *warp, divergence.site_id));
      }
    }
    if (in_b) {
      for (const std::uint32_t warp : job->warps_b) {
        origins_b.for_each(divergence.site_id, [&](std::uint32_t site) {
          keep_latest(snapshot_b, find_snapshot(b, warp, site));
        });
      }
    }
    divergence.snapshot = snapshot_pair(snapshot_a, snapshot_b);
  }
}

// ---- Counts ----

// Warps whose event counts one run of the pool sums.
constexpr std::uint32_t WARPS_PER_COUNT_RUN = 4096;

// The events of all warps of `trace`, summed in parallel: each warp's header sits on a page of
// its own, so one thread alone would wait on a miss per warp long after the comparison ended.
std::uint64_t total_events(WorkerPool& workers, const Trace& trace) {
  const std::uint32_t warps = trace.header.num_warps;
  std::vector<std::uint64_t> totals(warps / WARPS_PER_COUNT_RUN + 1);
  workers.for_each(totals.size(), [&](std::size_t k) {
    const std::uint32_t first = static_cast<std::uint32_t>(k) * WARPS_PER_COUNT_RUN;
    const std::uint32_t end = first + std::min(WARPS_PER_COUNT_RUN, warps - first);
    for (std::uint32_t warp = first; warp < end; ++warp) {
      if (const auto view = warp_events(trace, warp)) totals[k] += view->header->event_count;
    }
  });
  return std::accumulate(totals.begin(), totals.end(), std::uint64_t{0});
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

std::vector<WarpJob> same_arch_warp_jobs(std::uint32_t first, std::uint32_t end) {
  std::vector<WarpJob> jobs;
  if (end > first) jobs.reserve(end - first);
  for (std::uint32_t warp = first; warp < end; ++warp) jobs.push_back({{warp}, warp, {warp}});
  return jobs;
}

std::vector<WarpJob> cross_gpu_warp_jobs(const Trace& a, const Trace& b) {
  const std::uint64_t size_a = warp_size_of(a.header);
  const std::uint64_t size_b = warp_size_of(b.header);
  const std::uint64_t threads = std::min(a.header.num_warps * size_a, b.header.num_warps * size_b);
  const std::uint64_t width = std::max(size_a, size_b);
  std::vector<WarpJob> jobs;
  for (std::uint64_t chunk = 0; chunk * width < threads; ++chunk) {
    const std::uint64_t start = chunk * width;
    const std::uint64_t end = std::min(start + width, threads);
    WarpJob job{warps_covering(start, end, size_a, a.header.num_warps),
                static_cast<std::uint32_t>(chunk),
                warps_covering(start, end, size_b, b.header.num_warps)};
    if (!job.warps_a.empty() && !job.warps_b.empty()) jobs.push_back(std::move(job));
  }
  return jobs;
}

std::vector<Divergence> diff_warp_job(const WarpJob& job, const Trace& a, const Trace& b,
                                      const SiteRemapper* remapper, const CompareConfig& config) {
  const JobEvents events(job, a, b, remapper);
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
  const std::vector<WarpJob> jobs =
      config.cross_gpu ? cross_gpu_warp_jobs(a, b) : same_arch_warp_jobs(0, a.header.num_warps);
  diagnostics(fmt::format("Comparing {} warps...\n", jobs.size()));

  DiffResult result;
  const auto counts = count_per_job(workers, jobs, a, b, remapper, config);
  // Jobs have distinct warp_idx values, so the diverged warps are the jobs that found any.
  result.warps_diverged =
      static_cast<std::uint64_t>(std::ranges::count_if(counts, [](auto n) { return n != 0; }));
  result.divergences = diff_in_job_order(workers, jobs, counts, a, b, remapper, config);
  // A divergence's snapshot depends on it alone, so only the kept ones are looked up.
  attach_snapshots(result.divergences, jobs, a, b, effective(remapper));
  if (config.cross_gpu) result.cross_gpu = cross_gpu_info(a.header, b.header);
  result.total_events_a = total_events(workers, a);
  result.total_events_b = total_events(workers, b);
  result.total_warps = jobs.size();
  result.warps_compared = jobs.size();
  return result;
}

}  // namespace vemo
