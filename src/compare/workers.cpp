#include "compare/workers.hpp"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <utility>

#include "core/text.hpp"

namespace vemo {

namespace {

std::optional<std::uint32_t> whole_cpus(std::optional<std::int64_t> quota,
                                        std::optional<std::int64_t> period) {
  if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
  const std::int64_t cpus = *quota / *period + (*quota % *period != 0 ? 1 : 0);
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(cpus, 1, UINT32_MAX));
}

std::uint32_t affinity_cpu_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    return static_cast<std::uint32_t>(std::max(CPU_COUNT(&set), 1));
  }
  return std::max(std::thread::hardware_concurrency(), 1u);
}

// Kept free for the rest of the run (comparison, outputs) when a trace is decoded: an eighth
// of the memory, at least 256 MiB.
std::uint64_t memory_margin(std::uint64_t memory) {
  return std::max<std::uint64_t>(memory / 8, std::uint64_t{256} << 20);
}

}  // namespace

WorkerPool& worker_pool() {
  static WorkerPool pool(comparison_worker_count());
  return pool;
}

LoadOptions process_load_options() {
  const std::uint64_t memory = process_memory_limit();
  const std::uint64_t margin = memory_margin(memory);
  return LoadOptions{.image_limit = memory > margin ? memory - margin : 0,
                     .workers = &worker_pool()};
}

std::optional<std::uint32_t> cpu_quota_from_cpu_max(std::string_view cpu_max) {
  cpu_max = trim_white_space(cpu_max);
  const auto space = cpu_max.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  return whole_cpus(limit_integer(cpu_max.substr(0, space)),
                    limit_integer(cpu_max.substr(space + 1)));
}

std::optional<std::uint32_t> cpu_quota_from_cfs(std::string_view quota_us,
                                                std::string_view period_us) {
  return whole_cpus(limit_integer(quota_us), limit_integer(period_us));
}

std::optional<std::uint32_t> cgroup_cpu_quota(const std::string& root,
                                              std::string_view proc_self_cgroup) {
  if (read_limit_file(root + "/cgroup.controllers")) {
    return smallest_up_the_tree(root, cgroup_path(proc_self_cgroup, "").value_or(""),
                                [](const std::string& dir) {
                                  const auto cpu_max = read_limit_file(dir + "/cpu.max");
                                  return cpu_max ? cpu_quota_from_cpu_max(*cpu_max) : std::nullopt;
                                });
  }
  return smallest_up_the_tree(
      root + "/cpu", cgroup_path(proc_self_cgroup, "cpu").value_or(""), [](const std::string& dir) {
        const auto quota = read_limit_file(dir + "/cpu.cfs_quota_us");
        const auto period = read_limit_file(dir + "/cpu.cfs_period_us");
        return quota && period ? cpu_quota_from_cfs(*quota, *period) : std::nullopt;
      });
}

std::uint32_t workers_within_address_space(std::uint64_t address_space, std::uint64_t stack_size) {
  // The address space that glibc reserves for the malloc arena of a new thread.
  constexpr std::uint64_t ARENA_SIZE = std::uint64_t{64} << 20;
  if (address_space == UINT64_MAX) return UINT32_MAX;
  const std::uint64_t per_thread = std::min(stack_size, std::uint64_t{1} << 40) + ARENA_SIZE;
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(1 + address_space / 4 / per_thread, UINT32_MAX));
}

std::uint32_t comparison_worker_count() {
  // A thread's stack is as large as the stack limit; without one it is counted as 8 MiB.
  constexpr std::uint64_t DEFAULT_STACK = std::uint64_t{8} << 20;
  const std::uint64_t stack = resource_limit(RLIMIT_STACK);
  const std::uint32_t cpus =
      std::min(affinity_cpu_count(),
               workers_within_address_space(resource_limit(RLIMIT_AS),
                                            stack == UINT64_MAX ? DEFAULT_STACK : stack));
  const auto quota =
      cgroup_cpu_quota("/sys/fs/cgroup", read_limit_file("/proc/self/cgroup").value_or(""));
  return quota ? std::min(cpus, *quota) : cpus;
}

}  // namespace vemo
