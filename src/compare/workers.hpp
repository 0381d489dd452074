#pragma once
// The resources of the process: the worker pool, sized by the CPUs available to the process
// and the cgroup CPU quotas that cap them, and the memory a decoded trace may take.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/worker_pool.hpp"
#include "trace/trace_file.hpp"

namespace vemo {

// The process-wide worker pool, created on first use and kept for the rest of the process.
WorkerPool& worker_pool();
// Loading on the worker pool, with decoded images bounded by the memory the process may use
// less a margin for the rest of the run.
LoadOptions process_load_options();

// The size of the process-wide worker pool: the CPUs of the affinity mask, capped by the
// cgroup CPU quota of the process's cgroup and its ancestors, at least 1.
std::uint32_t comparison_worker_count();
// A cgroup CPU quota in whole CPUs, rounded up, from cgroup v2 `cpu.max` text ("max 100000",
// "150000 100000") or from the v1 quota and period texts; nothing when there is no limit or the
// text cannot be read.
std::optional<std::uint32_t> cpu_quota_from_cpu_max(std::string_view cpu_max);
std::optional<std::uint32_t> cpu_quota_from_cfs(std::string_view quota_us,
                                                std::string_view period_us);
// The path of this process's cgroup from /proc/self/cgroup text: in the v1 hierarchy whose
// controller list holds `controller`, or with an empty `controller` in the v2 hierarchy
// ("0::/path"); nothing when no line names it.
std::optional<std::string> cgroup_path(std::string_view proc_self_cgroup,
                                       std::string_view controller);
// The CPU quota of the process's cgroup (named by `proc_self_cgroup`) and its ancestors under
// `root`, normally /sys/fs/cgroup: cgroup v2 `cpu.max` files when `root` holds
// `cgroup.controllers`, else the v1 cpu controller's files under `root`/cpu.
std::optional<std::uint32_t> cgroup_cpu_quota(const std::string& root,
                                              std::string_view proc_self_cgroup);

// A cgroup memory limit in bytes from cgroup v2 `memory.max` text ("max" or a number) or v1
// `memory.limit_in_bytes` text; nothing when there is no limit or the text cannot be read.
std::optional<std::uint64_t> memory_limit_from_text(std::string_view limit);
// The memory limit of the process's cgroup (named by `proc_self_cgroup`) and its ancestors
// under `root`: cgroup v2 `memory.max` files when `root` holds `cgroup.controllers`, else the
// v1 memory controller's `memory.limit_in_bytes` under `root`/memory.
std::optional<std::uint64_t> cgroup_memory_limit(const std::string& root,
                                                 std::string_view proc_self_cgroup);
// The smaller of physical memory and the cgroup memory limit.
std::uint64_t process_memory_limit();

}  // namespace vemo
