#pragma once
// Site maps (site id -> source location) and the remapper from trace-B to trace-A site ids.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "trace/site_storage.hpp"

namespace vemo {

// The texts of a location that a `SiteMap` holds live as long as the map.
struct SourceLocation {
  std::uint32_t site_id = 0;
  std::string_view filename;
  std::string_view function;
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::uint8_t event_type = 0;
  std::optional<std::uint32_t> ordinal;
};

// The key on which the sites of two builds are matched; only a location with an ordinal has one.
// Function names compare byte for byte.
struct SiteKey {
  std::string_view function;
  std::uint8_t event_type = 0;
  std::uint32_t ordinal = 0;
  bool operator==(const SiteKey&) const = default;
};
std::optional<SiteKey> site_key(const SourceLocation& location);

class SiteMap {
 public:
  class Builder;

  SiteMap() = default;
  SiteMap(SiteMap&&) noexcept = default;
  SiteMap& operator=(SiteMap&&) noexcept = default;
  // A copy keeps texts of its own.
  SiteMap(const SiteMap& other);
  SiteMap& operator=(const SiteMap& other);

  // Inserts or replaces the location of `location.site_id`, with copies of its texts that the
  // map keeps (each distinct text once).
  void insert(const SourceLocation& location);
  const SourceLocation* find(std::uint32_t site_id) const;
  std::size_t size() const { return locations_.size(); }
  // Every location, in no defined order.
  std::span<const SourceLocation> locations() const { return locations_; }

 private:
  // Indexes `locations`, the last one of each site id winning.
  SiteMap(TextSet texts, std::vector<SourceLocation> locations);

  TextSet texts_;
  std::vector<SourceLocation> locations_;
  IdTable index_;  // site id -> position in `locations_`
};

// Collects locations in order and indexes them all at once when finished: quicker than
// inserting them one by one.
class SiteMap::Builder {
 public:
  // Room for `count` locations, taken from memory only as they come.
  void reserve(std::size_t count);
  void add(const SourceLocation& location);
  SiteMap finish() &&;

 private:
  TextSet texts_;
  std::vector<SourceLocation> locations_;
};

// Trace-B site id -> trace-A site id, holding only the ids that change.
class SiteRemapper {
 public:
  SiteRemapper() = default;
  SiteRemapper(std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> entries);

  bool empty() const { return table_.size() == 0; }
  std::size_t size() const { return table_.size(); }
  // The trace-A id of trace-B id `site_id`.
  std::uint32_t remap(std::uint32_t site_id) const {
    return table_.find(site_id).value_or(site_id);
  }
  // Enters `to` for `from`; an id that maps to itself is not held.
  void insert(std::uint32_t from, std::uint32_t to);
  // Calls `visit(from, to)` for every entry, in no defined order.
  template <class Visit>
  void for_each(Visit visit) const {
    table_.for_each(visit);
  }
  // Whether both hold the same entries.
  bool operator==(const SiteRemapper& other) const;

 private:
  friend SiteRemapper build_site_remapper(const SiteMap& map_a, const SiteMap& map_b);

  IdTable table_;
};

// Reads a site-map file: a JSON array of locations, the last one of each site id winning. Its
// errors (reading or parsing) carry no context of their own.
Result<SiteMap> load_site_map(const std::string& path);
// Matches the two builds' sites on their keys. When several sites of `map_a` share a key, any
// one of them is the target.
SiteRemapper build_site_remapper(const SiteMap& map_a, const SiteMap& map_b);
inline std::uint32_t remap_site(const SiteRemapper& remapper, std::uint32_t site_id) {
  return remapper.empty() ? site_id : remapper.remap(site_id);
}

// Looks `site_id` up in an optional map: an absent map knows no site.
inline const SourceLocation* find_location(const SiteMap* map, std::uint32_t site_id) {
  return map == nullptr ? nullptr : map->find(site_id);
}

}  // namespace vemo
