#pragma once
// The storage behind a site map: texts kept once however many sites name them, and an index
// from site id to position. Internal to the site map.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
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

// Site id -> 32-bit value (a position, or another site id): open addressing with linear
// probing, at most half full. A slot holds the id in its high half and the value in its low
// half; all bits set marks an empty slot, so id 0xffffffff cannot hold value 0xffffffff (no
// user needs it: positions stay below it and a remapper holds no id that maps to itself).
class IdTable {
 public:
  std::size_t size() const { return count_; }

  std::optional<std::uint32_t> find(std::uint32_t site_id) const {
    if (slots_.empty()) return std::nullopt;
    for (std::size_t slot = slot_of(site_id);; slot = next_slot(slot)) {
      const std::uint64_t held = slots_[slot];
      if (held == EMPTY) return std::nullopt;
      if (held >> 32 == site_id) return static_cast<std::uint32_t>(held);
    }
  }

  // Brings the first slot of `site_id` from memory, ahead of an insertion or lookup.
  void prefetch(std::uint32_t site_id) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[slot_of(site_id)], 1);
  }

  // Enters `value` for `site_id` unless the id is there already; gives the value held.
  std::uint32_t try_insert(std::uint32_t site_id, std::uint32_t value);
  // Enters or replaces the value of `site_id`; false when it replaced one.
  bool put(std::uint32_t site_id, std::uint32_t value);

  // Holds the positions 0 .. count - 1 alone, the site id at position i being `id_of(i)`, the
  // last position of an id winning. Tells whether every id was distinct.
  template <class IdOf>
  bool assign_positions(std::size_t count, IdOf id_of) {
    // Looked up this many positions ahead, the slots come from memory while others are filled.
    constexpr std::size_t AHEAD = 8;
    reset(count);
    bool distinct = true;
    for (std::size_t i = 0; i < count; ++i) {
      if (i + AHEAD < count) prefetch(id_of(i + AHEAD));
      distinct &= put(id_of(i), static_cast<std::uint32_t>(i));
    }
    return distinct;
  }

  // Calls `visit(site_id, value)` for every entry, in no defined order.
  template <class Visit>
  void for_each(Visit visit) const {
    for (const std::uint64_t held : slots_) {
      if (held != EMPTY)
        visit(static_cast<std::uint32_t>(held >> 32), static_cast<std::uint32_t>(held));
    }
  }

  // Empties the table and makes room for `count` entries.
  void reset(std::size_t count);

 private:
  static constexpr std::uint64_t EMPTY = ~std::uint64_t{0};

  std::size_t slot_of(std::uint32_t site_id) const {
    // Fibonacci hashing spreads ids that count up one by one.
    constexpr std::uint64_t GOLDEN = 0x9e3779b97f4a7c15ULL;
    return static_cast<std::size_t>((site_id * GOLDEN) >> shift_);
  }
  std::size_t next_slot(std::size_t slot) const { return (slot + 1) & (slots_.size() - 1); }
  void rehash(std::size_t slot_count);

  std::vector<std::uint64_t> slots_;
  int shift_ = 64;
  std::size_t count_ = 0;
};

}  // namespace vemo
