#include "core/limits.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <utility>

#include "core/file_io.hpp"
#include "core/text.hpp"

namespace vemo {

namespace {

// Far more than any cgroup or proc file holds.
constexpr std::uint64_t LIMIT_FILE_SIZE = std::uint64_t{1} << 20;

std::uint64_t physical_memory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

}  // namespace

std::uint64_t resource_limit(int resource) {
  rlimit limit{};
  if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

std::optional<std::int64_t> limit_integer(std::string_view text) {
  text = trim_white_space(text);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::string> read_limit_file(const std::string& path) {
  auto text = read_text_file(path, LIMIT_FILE_SIZE);
  if (!text) return std::nullopt;
  return std::move(*text);
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

std::optional<std::uint64_t> memory_limit_from_text(std::string_view limit) {
  const auto bytes = limit_integer(limit);
  if (!bytes || *bytes < 0) return std::nullopt;
  return static_cast<std::uint64_t>(*bytes);
}

std::optional<std::uint64_t> cgroup_memory_limit(const std::string& root,
                                                 std::string_view proc_self_cgroup) {
  const bool unified = read_limit_file(root + "/cgroup.controllers").has_value();
  const std::string mount = unified ? root : root + "/memory";
  const std::string file = unified ? "/memory.max" : "/memory.limit_in_bytes";
  const auto path = cgroup_path(proc_self_cgroup, unified ? "" : "memory").value_or("");
  return smallest_up_the_tree(mount, path, [&](const std::string& dir) {
    const auto limit = read_limit_file(dir + file);
    return limit ? memory_limit_from_text(*limit) : std::nullopt;
  });
}

std::uint64_t process_memory_limit() {
  const auto cgroup =
      cgroup_memory_limit("/sys/fs/cgroup", read_limit_file("/proc/self/cgroup").value_or(""));
  return std::min(physical_memory(), cgroup.value_or(UINT64_MAX));
}

std::uint64_t input_size_limit() {
  const std::uint64_t memory =
      std::min({process_memory_limit(), resource_limit(RLIMIT_AS), resource_limit(RLIMIT_DATA)});
  // An eighth kept for the rest of the run, and half of the remainder: a buffer that doubles
  // holds its old and its new room at once.
  return (memory - memory / 8) / 2;
}

}  // namespace vemo
