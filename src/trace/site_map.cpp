#include "trace/site_map.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>

#include "core/file_io.hpp"
#include "core/fresh_memory.hpp"
#include "trace/json_read.hpp"
#include "trace/json_scan.hpp"

namespace vemo {

namespace {

// A location as the file writes it, its texts held by the record itself.
struct SiteRecord {
  std::uint32_t site_id = 0;
  std::string filename;
  std::string function;
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::uint8_t event_type = 0;
  std::optional<std::uint32_t> ordinal;
};

constexpr json::Field<SiteRecord> SITE_RECORD_FIELDS[] = {
    {"site_id", &SiteRecord::site_id},   {"filename", &SiteRecord::filename},
    {"function", &SiteRecord::function}, {"line", &SiteRecord::line},
    {"column", &SiteRecord::column},     {"event_type", &SiteRecord::event_type},
    {"ordinal", &SiteRecord::ordinal},
};
constexpr json::RecordType<SiteRecord> SITE_RECORD{"SourceLocation", SITE_RECORD_FIELDS};

// Fewer bytes than any record takes in object form (array forms are rarer): the locations of a
// file are reserved from its size, up to a bound, so that a huge file does not ask for address
// space it may never use.
constexpr std::size_t SMALLEST_RECORD = 64;
constexpr std::size_t MAX_RESERVED_LOCATIONS = std::size_t{1} << 24;

SourceLocation location_of(const SiteRecord& record) {
  return {record.site_id, record.filename,   record.function, record.line,
          record.column,  record.event_type, record.ordinal};
}

// Hashes keys one after another, reusing the function's hash while consecutive keys share its
// text, as the sites of one function mostly do.
class KeyHasher {
 public:
  std::uint64_t operator()(const SiteKey& key) {
    if (key.function.data() != function_.data() || key.function.size() != function_.size()) {
      function_ = key.function;
      function_hash_ = std::hash<std::string_view>{}(key.function);
    }
    const std::uint64_t hash = (function_hash_ * 31 + key.event_type) * 1000003 + key.ordinal;
    return hash * 0x9e3779b97f4a7c15ULL;  // spreads the numbers into the high bits
  }

 private:
  std::string_view function_;
  std::uint64_t function_hash_ = 0;
};

// Calls `use(position, key, hash)` for the locations with a key, in order, and `ahead(hash)`
// with the hash of a key some positions before its `use`: time to bring what it needs from
// memory while others are used.
template <class Ahead, class Use>
void for_each_key(std::span<const SourceLocation> locations, Ahead ahead, Use use) {
  constexpr std::size_t AHEAD = 8;
  struct Pending {
    std::optional<SiteKey> key;
    std::uint64_t hash = 0;
  };
  std::array<Pending, AHEAD> pending;
  KeyHasher hasher;
  const auto look_ahead = [&](std::size_t position) {
    Pending& next = pending[position % AHEAD];
    next.key = site_key(locations[position]);
    if (!next.key) return;
    next.hash = hasher(*next.key);
    ahead(next.hash);
  };
  for (std::size_t position = 0; position < std::min(AHEAD, locations.size()); ++position) {
    look_ahead(position);
  }
  for (std::size_t position = 0; position < locations.size(); ++position) {
    const Pending current = pending[position % AHEAD];
    if (position + AHEAD < locations.size()) look_ahead(position + AHEAD);
    if (current.key) use(position, *current.key, current.hash);
  }
}

// Map A's sites by key: open addressing over positions in its locations, at most half full. A
// slot holds the high half of the key's hash and position + 1; 0 when empty.
class KeyIndex {
 public:
  explicit KeyIndex(std::span<const SourceLocation> locations) : locations_(locations) {
    slots_.resize(std::bit_ceil(std::max<std::size_t>(16, 2 * locations.size())));
    for_each_key(
        locations, [&](std::uint64_t hash) { prefetch(hash); },
        [&](std::size_t position, const SiteKey& key, std::uint64_t hash) {
          insert(key, hash, static_cast<std::uint32_t>(position));
        });
  }

  void prefetch(std::uint64_t hash) const { __builtin_prefetch(&slots_[first_slot(hash)]); }

  // The site id of a location of map A with `key` and `hash`, if any.
  std::optional<std::uint32_t> find(const SiteKey& key, std::uint64_t hash) const {
    for (std::size_t slot = first_slot(hash);; slot = next_slot(slot)) {
      const std::uint64_t held = slots_[slot];
      if (held == 0) return std::nullopt;
      if (holds(held, key, hash)) return locations_[position_of(held)].site_id;
    }
  }

 private:
  static std::uint32_t position_of(std::uint64_t held) {
    return static_cast<std::uint32_t>(held) - 1;
  }
  std::size_t first_slot(std::uint64_t hash) const { return hash & (slots_.size() - 1); }
  std::size_t next_slot(std::size_t slot) const { return (slot + 1) & (slots_.size() - 1); }
  bool holds(std::uint64_t held, const SiteKey& key, std::uint64_t hash) const {
    return held >> 32 == hash >> 32 && site_key(locations_[position_of(held)]) == key;
  }

  // The first location of a key stays: any one of them may be the target.
  void insert(const SiteKey& key, std::uint64_t hash, std::uint32_t position) {
    for (std::size_t slot = first_slot(hash);; slot = next_slot(slot)) {
      const std::uint64_t held = slots_[slot];
      if (held == 0) {
        slots_[slot] = (hash >> 32) << 32 | (std::uint64_t{position} + 1);
        return;
      }
      if (holds(held, key, hash)) return;
    }
  }

  std::span<const SourceLocation> locations_;
  std::vector<std::uint64_t> slots_;
};

// The quick reading; false when it declined the text.
bool scan_site_map(json::TextWindow& window, SiteMap::Builder& builder) {
  return json::scan_records(window, SITE_RECORD,
                            [&](const SiteRecord& record) { builder.add(location_of(record)); });
}

// The strict reading, which gives every error.
Result<SiteMap> read_site_map(std::string_view text) {
  SiteMap::Builder builder;
  auto status = json::for_each_record(
      text, SITE_RECORD, [&](SiteRecord&& record) { builder.add(location_of(record)); });
  if (!status) return fail(std::move(status.error()));
  return std::move(builder).finish();
}

}  // namespace

std::optional<SiteKey> site_key(const SourceLocation& location) {
  if (!location.ordinal) return std::nullopt;
  return SiteKey{location.function, location.event_type, *location.ordinal};
}

namespace {

// Neighbouring records mostly name the same file and function as the one before.
SourceLocation kept_location(TextSet& texts, const SourceLocation& location,
                             const SourceLocation* previous) {
  SourceLocation kept = location;
  kept.filename = texts.keep(location.filename, previous ? previous->filename : "");
  kept.function = texts.keep(location.function, previous ? previous->function : "");
  return kept;
}

}  // namespace

SiteMap::SiteMap(const SiteMap& other) {
  for (const SourceLocation& location : other.locations_) insert(location);
}

SiteMap& SiteMap::operator=(const SiteMap& other) {
  if (this != &other) *this = SiteMap(other);
  return *this;
}

void SiteMap::insert(const SourceLocation& location) {
  const SourceLocation* previous = locations_.empty() ? nullptr : &locations_.back();
  const SourceLocation kept = kept_location(texts_, location, previous);
  const auto next = static_cast<std::uint32_t>(locations_.size());
  const std::uint32_t position = index_.try_insert(location.site_id, next);
  if (position == next) {
    locations_.push_back(kept);
  } else {
    locations_[position] = kept;
  }
}

const SourceLocation* SiteMap::find(std::uint32_t site_id) const {
  const auto position = index_.find(site_id);
  return position ? &locations_[*position] : nullptr;
}

SiteMap::SiteMap(TextSet texts, std::vector<SourceLocation> locations)
    : texts_(std::move(texts)), locations_(std::move(locations)) {
  const auto site_id_at = [&](std::size_t i) { return locations_[i].site_id; };
  if (index_.assign_positions(locations_.size(), site_id_at)) return;
  // Some ids came more than once: only the position the index kept for each stays.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < locations_.size(); ++i) {
    if (index_.find(locations_[i].site_id) == i) locations_[kept++] = locations_[i];
  }
  locations_.resize(kept);
  index_.assign_positions(locations_.size(), site_id_at);
}

void SiteMap::Builder::reserve(std::size_t count) {
  if (count > locations_.capacity()) reserve_fresh(locations_, count);
}

void SiteMap::Builder::add(const SourceLocation& location) {
  const SourceLocation* previous = locations_.empty() ? nullptr : &locations_.back();
  locations_.push_back(kept_location(texts_, location, previous));
}

SiteMap SiteMap::Builder::finish() && {
  return SiteMap(std::move(texts_), std::move(locations_));
}

namespace {

// The quick reading of a map of about `size` bytes, or nothing when it declines.
std::optional<SiteMap> read_quickly(json::TextWindow& window, std::size_t size) {
  SiteMap::Builder builder;
  builder.reserve(std::min(size / SMALLEST_RECORD, MAX_RESERVED_LOCATIONS));
  if (!scan_site_map(window, builder)) return std::nullopt;
  return std::move(builder).finish();
}

}  // namespace

Result<SiteMap> load_site_map(const std::string& path) {
  const auto file = open_file(path, O_RDONLY);
  if (!file) return fail(file.error());
  const int fd = file->get();
  // A regular file goes through the quick reading in chunks, and is read again whole only when
  // that declines; anything else is read whole first.
  const auto size = regular_file_size(fd);
  if (size) {
    json::TextWindow window(fd);
    if (auto map = read_quickly(window, *size)) return std::move(*map);
    if (::lseek(fd, 0, SEEK_SET) != 0) return fail(Error::system(errno));
  }
  const auto text = read_text(fd);
  if (!text) return fail(text.error());
  if (!size) {
    json::TextWindow window(*text);
    if (auto map = read_quickly(window, text->size())) return std::move(*map);
  }
  return read_site_map(*text);
}

SiteRemapper::SiteRemapper(std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> entries) {
  for (const auto& [from, to] : entries) insert(from, to);
}

void SiteRemapper::insert(std::uint32_t from, std::uint32_t to) {
  if (from != to) table_.put(from, to);
}

bool SiteRemapper::operator==(const SiteRemapper& other) const {
  bool same = size() == other.size();
  table_.for_each([&](std::uint32_t from, std::uint32_t to) { same &= other.remap(from) == to; });
  return same;
}

SiteRemapper build_site_remapper(const SiteMap& map_a, const SiteMap& map_b) {
  const KeyIndex index(map_a.locations());
  const std::span<const SourceLocation> sites_b = map_b.locations();
  SiteRemapper remapper;
  remapper.table_.reset(sites_b.size());
  for_each_key(
      sites_b, [&](std::uint64_t hash) { index.prefetch(hash); },
      [&](std::size_t position, const SiteKey& key, std::uint64_t hash) {
        constexpr std::size_t AHEAD = 8;
        if (position + AHEAD < sites_b.size()) {
          remapper.table_.prefetch(sites_b[position + AHEAD].site_id);
        }
        if (const auto match = index.find(key, hash))
          remapper.insert(sites_b[position].site_id, *match);
      });
  return remapper;
}

}  // namespace vemo
