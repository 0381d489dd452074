#pragma once
// The resources of the process: the worker pool, sized by the CPUs available to the process
// and the cgroup CPU quotas that cap them, and the memory a decoded trace may take.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/limits.hpp"
#include "core/worker_pool.hpp"
#include "trace/trace_file.hpp"

namespace vemo {

// The process-wide worker pool, created on first use and kept for the rest of the process.
WorkerPool& worker_pool();
// Loading on the worker pool, with decoded images bounded by the memory the process may use
// less a margin for the rest of the run.
LoadOptions process_load_options();

// The size of the process-wide worker pool: the CPUs of the affinity mask, capped by the
// cgroup CPU quota of the process's cgroup and its ancestors and by the address-space limit,
// at least 1.
std::uint32_t comparison_worker_count();
// The most threads, the calling one included, whose stacks (`stack_size` bytes each) and malloc
// arenas fit in a quarter of `address_space`, the process's address-space limit (`ulimit -v`):
// the rest is left to the traces, which share that limit. At least 1.
std::uint32_t workers_within_address_space(std::uint64_t address_space, std::uint64_t stack_size);
// A cgroup CPU quota in whole CPUs, rounded up, from cgroup v2 `cpu.max` text ("max 100000",
// "150000 100000") or from the v1 quota and period texts; nothing when there is no limit or the
// text cannot be read.
std::optional<std::uint32_t> cpu_quota_from_cpu_max(std::string_view cpu_max);
std::optional<std::uint32_t> cpu_quota_from_cfs(std::string_view quota_us,
                                                std::string_view period_us);
// The CPU quota of the process's cgroup (named by `proc_self_cgroup`) and its ancestors under
// `root`, normally /sys/fs/cgroup: cgroup v2 `cpu.max` files when `root` holds
// `cgroup.controllers`, else the v1 cpu controller's files under `root`/cpu.
std::optional<std::uint32_t> cgroup_cpu_quota(const std::string& root,
                                              std::string_view proc_self_cgroup);

}  // namespace vemo
