#pragma once
// The storage behind a site map: texts kept once however many sites name them, and an index
// from site id to position. Internal to the site map.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace vemo {

// Texts copied into blocks that never move, each distinct text once.
class TextSet {
 public:
  TextSet() = default;
  TextSet(TextSet&&) noexcept = default;
  TextSet& operator=(TextSet&&) noexcept = default;

  // The kept copy of `text`, valid as long as the set; `recent`, a text kept before, when equal.
  std::string_view keep(std::string_view text, std::string_view recent = {});

 private:
  std::string_view copy(std::string_view text);

  std::unordered_set<std::string_view> texts_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_ = nullptr;
  std::size_t room_ = 0;
};

// Site id -> position, open addressing with linear probing, at most half full.
class SiteIndex {
 public:
  static constexpr std::uint32_t NONE = 0xffffffff;

  std::uint32_t find(std::uint32_t site_id) const;
  // Enters `position` for `site_id` unless the id is there already; gives the position held.
  std::uint32_t try_insert(std::uint32_t site_id, std::uint32_t position);

  // Indexes the positions 0 .. count - 1, the site id at position i being `id_of(i)`, the last
  // position of an id winning. Tells whether every id was distinct.
  template <class IdOf>
  bool assign(std::size_t count, IdOf id_of) {
    // Looked up this many positions ahead, the slots come from memory while others are filled.
    constexpr std::size_t AHEAD = 8;
    count_ = 0;
    slots_ = {};
    rehash(slot_count_for(count));
    bool distinct = true;
    for (std::size_t i = 0; i < count; ++i) {
      if (i + AHEAD < count) __builtin_prefetch(&slots_[slot_of(id_of(i + AHEAD))], 1);
      distinct &= put(id_of(i), static_cast<std::uint32_t>(i));
    }
    return distinct;
  }

 private:
  static std::size_t slot_count_for(std::size_t count);
  // Enters or replaces the position of `site_id`; false when it replaced one.
  bool put(std::uint32_t site_id, std::uint32_t position);
  // A slot holds the site id in its high half and position + 1 in its low half; 0 when empty.
  std::size_t slot_of(std::uint32_t site_id) const;
  void rehash(std::size_t slot_count);

  std::vector<std::uint64_t> slots_;
  std::size_t count_ = 0;
};

}  // namespace vemo
