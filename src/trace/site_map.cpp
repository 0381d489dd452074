#include "trace/site_map.hpp"

#include <fcntl.h>
#include <unistd.h>
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

// The fewest bytes a record takes in object form; array forms are rarer.
constexpr std::size_t SMALLEST_RECORD = 64;

SourceLocation location_of(const SiteRecord& record) {
  return {record.site_id, record.filename,   record.function, record.line,
          record.column,  record.event_type, record.ordinal};
}

struct SiteKeyHash {
  std::size_t operator()(const SiteKey& key) const {
    std::size_t hash = std::hash<std::string_view>{}(key.function);
    hash = hash * 31 + key.event_type;
    return hash * 1000003 + key.ordinal;
  }
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
  const std::uint32_t position = index_.find(site_id);
  return position == SiteIndex::NONE ? nullptr : &locations_[position];
}

SiteMap::SiteMap(TextSet texts, std::vector<SourceLocation> locations)
    : texts_(std::move(texts)), locations_(std::move(locations)) {
  const auto site_id_at = [&](std::size_t i) { return locations_[i].site_id; };
  if (index_.assign(locations_.size(), site_id_at)) return;
  // Some ids came more than once: only the position the index kept for each stays.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < locations_.size(); ++i) {
    if (index_.find(locations_[i].site_id) == i) locations_[kept++] = locations_[i];
  }
  locations_.resize(kept);
  index_.assign(locations_.size(), site_id_at);
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

Result<SiteMap> load_site_map(const std::string& path) {
  const auto file = open_file(path, O_RDONLY);
  if (!file) return fail(file.error());
  const int fd = file->get();
  // A regular file goes through the quick reading in chunks, and is read again whole only when
  // that declines; anything else is read whole first.
  const auto size = regular_file_size(fd);
  if (size) {
    SiteMap::Builder builder;
    builder.reserve(*size / SMALLEST_RECORD);
    json::TextWindow window(fd);
    if (scan_site_map(window, builder)) return std::move(builder).finish();
    if (::lseek(fd, 0, SEEK_SET) != 0) return fail(Error::system(errno));
  }
  const auto text = read_text(fd);
  if (!text) return fail(text.error());
  if (!size) {
    SiteMap::Builder builder;
    json::TextWindow window(*text);
    if (scan_site_map(window, builder)) return std::move(builder).finish();
  }
  return read_site_map(*text);
}

SiteRemapper build_site_remapper(const SiteMap& map_a, const SiteMap& map_b) {
  std::unordered_map<SiteKey, std::uint32_t, SiteKeyHash> index;
  index.reserve(map_a.size());
  for (const SourceLocation& location : map_a.locations()) {
    if (auto key = site_key(location)) index.try_emplace(*key, location.site_id);
  }
  SiteRemapper remapper;
  for (const SourceLocation& location : map_b.locations()) {
    const auto key = site_key(location);
    if (!key) continue;
    const auto match = index.find(*key);
    if (match != index.end() && match->second != location.site_id) {
      remapper.emplace(location.site_id, match->second);
    }
  }
  return remapper;
}

}  // namespace vemo
