#include "compare/workers.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <thread>
#include <utility>

#include "core/file_io.hpp"
#include "core/text.hpp"

namespace vemo {

namespace {

std::optional<std::int64_t> parse_integer(std::string_view text) {
  text = trim_white_space(text);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::uint32_t> whole_cpus(std::optional<std::int64_t> quota,
                                        std::optional<std::int64_t> period) {
  if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
  const std::int64_t cpus = *quota / *period + (*quota % *period != 0 ? 1 : 0);
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(cpus, 1, UINT32_MAX));
}

std::optional<std::string> read_small_file(const std::string& path) {
  auto text = read_text_file(path);
  if (!text) return std::nullopt;
  return std::move(*text);
}

std::uint32_t affinity_cpu_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    return static_cast<std::uint32_t>(std::max(CPU_COUNT(&set), 1));
  }
  return std::max(std::thread::hardware_concurrency(), 1u);
}

template <class T>
std::optional<T> smaller_quota(std::optional<T> a, std::optional<T> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// The smallest quota that `quota_of` finds in the cgroup directory `mount` + `path` or in one
// of its ancestors up to `mount` itself: a parent's limit holds for all its children.
template <class QuotaOf>
auto quota_up_the_tree(const std::string& mount, std::string_view path, QuotaOf quota_of) {
  decltype(quota_of(mount)) smallest;
  while (true) {
    while (path.ends_with('/')) path.remove_suffix(1);
    smallest = smaller_quota(smallest, quota_of(mount + std::string(path)));
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return smallest;
    path = path.substr(0, slash);
  }
}

// Kept free for the rest of the run (comparison, outputs) when a trace is decoded: an eighth
// of the memory, at least 256 MiB.
std::uint64_t memory_margin(std::uint64_t memory) {
  return std::max<std::uint64_t>(memory / 8, std::uint64_t{256} << 20);
}

std::uint64_t physical_memory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
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

std::optional<std::uint64_t> memory_limit_from_text(std::string_view limit) {
  const auto bytes = parse_integer(limit);
  if (!bytes || *bytes < 0) return std::nullopt;
  return static_cast<std::uint64_t>(*bytes);
}

std::optional<std::uint64_t> cgroup_memory_limit(const std::string& root,
                                                 std::string_view proc_self_cgroup) {
  const bool unified = read_small_file(root + "/cgroup.controllers").has_value();
  const std::string mount = unified ? root : root + "/memory";
  const std::string file = unified ? "/memory.max" : "/memory.limit_in_bytes";
  const auto path = cgroup_path(proc_self_cgroup, unified ? "" : "memory").value_or("");
  return quota_up_the_tree(mount, path, [&](const std::string& dir) {
    const auto limit = read_small_file(dir + file);
    return limit ? memory_limit_from_text(*limit) : std::nullopt;
  });
}

std::uint64_t process_memory_limit() {
  const auto cgroup =
      cgroup_memory_limit("/sys/fs/cgroup", read_small_file("/proc/self/cgroup").value_or(""));
  return std::min(physical_memory(), cgroup.value_or(UINT64_MAX));
}

std::optional<std::uint32_t> cpu_quota_from_cpu_max(std::string_view cpu_max) {
  cpu_max = trim_white_space(cpu_max);
  const auto space = cpu_max.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  return whole_cpus(parse_integer(cpu_max.substr(0, space)),
                    parse_integer(cpu_max.substr(space + 1)));
}

std::optional<std::uint32_t> cpu_quota_from_cfs(std::string_view quota_us,
                                                std::string_view period_us) {
  return whole_cpus(parse_integer(quota_us), parse_integer(period_us));
}

std::optional<std::string> cgroup_path(std::string_view proc_self_cgroup,
                                       std::string_view controller) {
  while (!proc_self_cgroup.empty()) {
    const auto newline = proc_self_cgroup.find('\n');
    const std::string_view line = proc_self_cgroup.substr(0, newline);
    proc_self_cgroup.remove_prefix(newline == std::string_view::npos ? line.size() : newline + 1);
    const auto first = line.find(':');
    const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (controller.empty()) {
      if (line.substr(0, first) == "0" && controllers.empty()) return std::string(path);
      continue;
    }
    for (std::string_view rest = controllers; !rest.empty();) {
      const auto comma = rest.find(',');
      if (rest.substr(0, comma) == controller) return std::string(path);
      rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
    }
  }
  return std::nullopt;
}

std::optional<std::uint32_t> cgroup_cpu_quota(const std::string& root,
                                              std::string_view proc_self_cgroup) {
  if (read_small_file(root + "/cgroup.controllers")) {
    return quota_up_the_tree(root, cgroup_path(proc_self_cgroup, "").value_or(""),
                             [](const std::string& dir) {
                               const auto cpu_max = read_small_file(dir + "/cpu.max");
                               return cpu_max ? cpu_quota_from_cpu_max(*cpu_max) : std::nullopt;
                             });
  }
  return quota_up_the_tree(
      root + "/cpu", cgroup_path(proc_self_cgroup, "cpu").value_or(""), [](const std::string& dir) {
        const auto quota = read_small_file(dir + "/cpu.cfs_quota_us");
        const auto period = read_small_file(dir + "/cpu.cfs_period_us");
        return quota && period ? cpu_quota_from_cfs(*quota, *period) : std::nullopt;
      });
}

std::uint32_t comparison_worker_count() {
  const std::uint32_t cpus = affinity_cpu_count();
  const auto quota =
      cgroup_cpu_quota("/sys/fs/cgroup", read_small_file("/proc/self/cgroup").value_or(""));
  return quota ? std::min(cpus, *quota) : cpus;
}

}  // namespace vemo
