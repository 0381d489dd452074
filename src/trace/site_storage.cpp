#include "trace/site_storage.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/fresh_memory.hpp"

namespace vemo {

namespace {

constexpr std::size_t BLOCK_SIZE = std::size_t{64} << 10;
constexpr std::size_t MIN_SLOTS = 16;

}  // namespace

std::string_view TextSet::keep(std::string_view text, std::string_view recent) {
  if (text == recent) return recent;
  if (const auto found = texts_.find(text); found != texts_.end()) return *found;
  const std::string_view kept = copy(text);
  texts_.insert(kept);
  return kept;
}

std::string_view TextSet::copy(std::string_view text) {
  if (text.empty()) return {};
  if (text.size() > room_) {
    // A long text gets a block of its own, so that the current block's room is not wasted.
    const std::size_t size = std::max(text.size(), BLOCK_SIZE);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    if (size > BLOCK_SIZE) {
      std::memcpy(blocks_.back().get(), text.data(), text.size());
      return {blocks_.back().get(), text.size()};
    }
    free_ = blocks_.back().get();
    room_ = size;
  }
  char* kept = free_;
  std::memcpy(kept, text.data(), text.size());
  free_ += text.size();
  room_ -= text.size();
  return {kept, text.size()};
}

std::uint32_t IdTable::try_insert(std::uint32_t site_id, std::uint32_t value) {
  if (2 * (count_ + 1) > slots_.size()) rehash(std::max(MIN_SLOTS, 2 * slots_.size()));
  for (std::size_t slot = slot_of(site_id);; slot = next_slot(slot)) {
    const std::uint64_t held = slots_[slot];
    if (held == EMPTY) {
      slots_[slot] = std::uint64_t{site_id} << 32 | value;
      ++count_;
      return value;
    }
    if (held >> 32 == site_id) return static_cast<std::uint32_t>(held);
  }
}

bool IdTable::put(std::uint32_t site_id, std::uint32_t value) {
  if (2 * (count_ + 1) > slots_.size()) rehash(std::max(MIN_SLOTS, 2 * slots_.size()));
  for (std::size_t slot = slot_of(site_id);; slot = next_slot(slot)) {
    const std::uint64_t held = slots_[slot];
    if (held == EMPTY || held >> 32 == site_id) {
      slots_[slot] = std::uint64_t{site_id} << 32 | value;
      if (held == EMPTY) ++count_;
      return held == EMPTY;
    }
  }
}

void IdTable::reset(std::size_t count) {
  count_ = 0;
  slots_ = {};
  rehash(std::bit_ceil(std::max(MIN_SLOTS, 2 * count)));
}

void IdTable::rehash(std::size_t slot_count) {
  std::vector<std::uint64_t> old = std::move(slots_);
  slots_ = {};
  reserve_fresh(slots_, slot_count);
  slots_.resize(slot_count, EMPTY);
  shift_ = 64 - std::countr_zero(slot_count);
  for (const std::uint64_t held : old) {
    if (held == EMPTY) continue;
    std::size_t slot = slot_of(static_cast<std::uint32_t>(held >> 32));
    while (slots_[slot] != EMPTY) slot = next_slot(slot);
    slots_[slot] = held;
  }
}

}  // namespace vemo
