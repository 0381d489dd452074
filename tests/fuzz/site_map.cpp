// The site-map reader and the remapper built from two maps: the input is map A, then map B.
// Map A's text is also read as site-map and as manifest records, quickly (whole and in small
// chunks) and strictly: whatever the quick reading accepts, the strict reader reads alike.

#include <fcntl.h>
#include <unistd.h>

#include "fuzz_support.hpp"
#include "trace/json_scan.hpp"
#include "trace/site_map.hpp"

namespace {

vemo::Result<vemo::SiteMap> load_part(std::string_view name, std::string_view text) {
  return vemo::load_site_map(vemo::fuzz::write_scratch_file(name, text));
}

void check_remapper(const vemo::SiteMap& a, const vemo::SiteMap& b) {
  const vemo::SiteRemapper remapper = vemo::build_site_remapper(a, b);
  for (const vemo::SourceLocation& location : b.locations()) {
    const std::uint32_t target = vemo::remap_site(remapper, location.site_id);
    // A remapped id always names a site of map A with the same key.
    if (target != location.site_id &&
        (a.find(target) == nullptr ||
         vemo::site_key(*a.find(target)) != vemo::site_key(location))) {
      __builtin_trap();
    }
  }
}

// The fields of a site map, and those of a manifest entry.
struct SiteProbe {
  std::uint32_t site_id = 0;
  std::string filename;
  std::string function;
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::uint8_t event_type = 0;
  std::optional<std::uint32_t> ordinal;
  bool operator==(const SiteProbe&) const = default;
};

struct LaunchProbe {
  std::uint32_t launch = 0;
  std::string kernel;
  std::string file;
  std::array<std::uint32_t, 3> grid{};
  std::array<std::uint32_t, 3> block{};
  bool operator==(const LaunchProbe&) const = default;
};

constexpr vemo::json::Field<SiteProbe> SITE_FIELDS[] = {
    {"site_id", &SiteProbe::site_id},   {"filename", &SiteProbe::filename},
    {"function", &SiteProbe::function}, {"line", &SiteProbe::line},
    {"column", &SiteProbe::column},     {"event_type", &SiteProbe::event_type},
    {"ordinal", &SiteProbe::ordinal},
};
constexpr vemo::json::RecordType<SiteProbe> SITE{"SourceLocation", SITE_FIELDS};

constexpr vemo::json::Field<LaunchProbe> LAUNCH_FIELDS[] = {
    {"launch", &LaunchProbe::launch}, {"kernel", &LaunchProbe::kernel},
    {"file", &LaunchProbe::file},     {"grid", &LaunchProbe::grid},
    {"block", &LaunchProbe::block},
};
constexpr vemo::json::RecordType<LaunchProbe> LAUNCH{"SessionLaunch", LAUNCH_FIELDS};

template <class Record>
std::optional<std::vector<Record>> scan(vemo::json::TextWindow& window,
                                        const vemo::json::RecordType<Record>& type) {
  std::vector<Record> records;
  if (!vemo::json::scan_records(window, type,
                                [&](const Record& record) { records.push_back(record); })) {
    return std::nullopt;
  }
  return records;
}

template <class Record>
std::optional<std::vector<Record>> scan_chunks(const std::string& path, std::size_t chunk_size,
                                               const vemo::json::RecordType<Record>& type) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) __builtin_trap();
  vemo::json::TextWindow window(fd, chunk_size);
  auto records = scan(window, type);
  ::close(fd);
  return records;
}

template <class Record>
void check_quick_reading(std::string_view text, const std::string& path,
                         const vemo::json::RecordType<Record>& type) {
  vemo::json::TextWindow whole(text);
  const auto quick = scan(whole, type);
  if (quick) {
    const auto strict = vemo::json::read_records(text, type);
    if (!strict || *strict != *quick) __builtin_trap();
  }
  for (const std::size_t chunk_size : {1, 5}) {
    if (scan_chunks(path, chunk_size, type) != quick) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = vemo::fuzz::split_parts({data, size}, 2);
  const auto map_a = load_part("a.json", parts[0]);
  const auto map_b = load_part("b.json", parts[1]);
  if (map_a) check_remapper(*map_a, *map_a);
  if (map_a && map_b) check_remapper(*map_a, *map_b);
  if (!map_b) (void)vemo::error_report(map_b.error().context("Failed to load remap-b: b.json"));
  const std::string path = vemo::fuzz::write_scratch_file("a.json", parts[0]);
  check_quick_reading(parts[0], path, SITE);
  check_quick_reading(parts[0], path, LAUNCH);
  return 0;
}
