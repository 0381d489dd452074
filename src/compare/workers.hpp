#pragma once
// Sizing the comparison's worker pool: the CPUs available to the process and the cgroup CPU
// quotas that cap them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vemo {

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

}  // namespace vemo
