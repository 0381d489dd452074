#include "trace/site_map.hpp"

#include <functional>
#include <utility>

#include "core/file_io.hpp"
#include "trace/json_read.hpp"

namespace vemo {

namespace {

constexpr json::Field<SourceLocation> SOURCE_LOCATION_FIELDS[] = {
    {"site_id", &SourceLocation::site_id},   {"filename", &SourceLocation::filename},
    {"function", &SourceLocation::function}, {"line", &SourceLocation::line},
    {"column", &SourceLocation::column},     {"event_type", &SourceLocation::event_type},
    {"ordinal", &SourceLocation::ordinal},
};
constexpr json::RecordType<SourceLocation> SOURCE_LOCATION{"SourceLocation",
                                                           SOURCE_LOCATION_FIELDS};

struct SiteKeyHash {
  std::size_t operator()(const SiteKey& key) const {
    std::size_t hash = std::hash<std::string>{}(key.function);
    hash = hash * 31 + key.event_type;
    return hash * 1000003 + key.ordinal;
  }
};

}  // namespace

std::optional<SiteKey> site_key(const SourceLocation& location) {
  if (!location.ordinal) return std::nullopt;
  return SiteKey{location.function, location.event_type, *location.ordinal};
}

void SiteMap::insert(SourceLocation location) {
  const std::uint32_t site_id = location.site_id;
  locations_.insert_or_assign(site_id, std::move(location));
}

const SourceLocation* SiteMap::find(std::uint32_t site_id) const {
  const auto it = locations_.find(site_id);
  return it == locations_.end() ? nullptr : &it->second;
}

Result<SiteMap> load_site_map(const std::string& path) {
  auto text = read_text_file(path);
  if (!text) return fail(std::move(text.error()));
  SiteMap map;
  auto status = json::for_each_record(
      *text, SOURCE_LOCATION, [&](SourceLocation&& location) { map.insert(std::move(location)); });
  if (!status) return fail(std::move(status.error()));
  return map;
}

SiteRemapper build_site_remapper(const SiteMap& map_a, const SiteMap& map_b) {
  std::unordered_map<SiteKey, std::uint32_t, SiteKeyHash> index;
  for (const auto& [site_id, location] : map_a.locations()) {
    if (auto key = site_key(location)) index.try_emplace(std::move(*key), site_id);
  }
  SiteRemapper remapper;
  for (const auto& [site_id, location] : map_b.locations()) {
    const auto key = site_key(location);
    if (!key) continue;
    const auto match = index.find(*key);
    if (match != index.end() && match->second != site_id) remapper.emplace(site_id, match->second);
  }
  return remapper;
}

}  // namespace vemo
