#pragma once
// The limits that the system sets on this process: its cgroup, the memory it may use, and how
// much of an input it may hold in memory.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vemo {

// The soft limit of `resource` (RLIMIT_AS, RLIMIT_STACK, ...); UINT64_MAX when there is none.
std::uint64_t resource_limit(int resource);

// An integer in the text of a cgroup or proc file, white space around it allowed.
std::optional<std::int64_t> limit_integer(std::string_view text);
// The text of a small cgroup or proc file; nothing when it cannot be read.
std::optional<std::string> read_limit_file(const std::string& path);

// The path of this process's cgroup from /proc/self/cgroup text: in the v1 hierarchy whose
// controller list holds `controller`, or with an empty `controller` in the v2 hierarchy
// ("0::/path"); nothing when no line names it.
std::optional<std::string> cgroup_path(std::string_view proc_self_cgroup,
                                       std::string_view controller);

// The smallest limit that `limit_of` finds in the cgroup directory `mount` + `path` or in one of
// its ancestors up to `mount` itself: a parent's limit holds for all its children.
template <class LimitOf>
auto smallest_up_the_tree(const std::string& mount, std::string_view path, LimitOf limit_of) {
  decltype(limit_of(mount)) smallest;
  while (true) {
    while (path.ends_with('/')) path.remove_suffix(1);
    const auto limit = limit_of(mount + std::string(path));
    if (limit && (!smallest || *limit < *smallest)) smallest = limit;
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return smallest;
    path = path.substr(0, slash);
  }
}

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
// The most bytes of one input that may be read into memory: of the memory the process may use,
// within its address-space and data limits (`ulimit -v`, `ulimit -d`), what a growing buffer
// can hold with room left for the rest of the run (somewhat less than half).
std::uint64_t input_size_limit();

}  // namespace vemo
