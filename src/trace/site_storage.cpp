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

std::size_t SiteIndex::slot_of(std::uint32_t site_id) const {
  // Fibonacci hashing spreads ids that count up one by one.
  constexpr std::uint64_t GOLDEN = 0x9e3779b97f4a7c15ULL;
  const int shift = 64 - std::countr_zero(slots_.size());
  return static_cast<std::size_t>((site_id * GOLDEN) >> shift);
}

std::uint32_t SiteIndex::find(std::uint32_t site_id) const {
  if (slots_.empty()) return NONE;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = slot_of(site_id);; slot = (slot + 1) & mask) {
    const std::uint64_t held = slots_[slot];
    if (held == 0) return NONE;
    if (held >> 32 == site_id) return static_cast<std::uint32_t>(held) - 1;
  }
}

std::uint32_t SiteIndex::try_insert(std::uint32_t site_id, std::uint32_t position) {
  if (2 * (count_ + 1) > slots_.size()) rehash(std::max(MIN_SLOTS, 2 * slots_.size()));
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = slot_of(site_id);; slot = (slot + 1) & mask) {
    const std::uint64_t held = slots_[slot];
    if (held == 0) {
      slots_[slot] = std::uint64_t{site_id} << 32 | (std::uint64_t{position} + 1);
      ++count_;
      return position;
    }
    if (held >> 32 == site_id) return static_cast<std::uint32_t>(held) - 1;
  }
}

std::size_t SiteIndex::slot_count_for(std::size_t count) {
  return std::bit_ceil(std::max(MIN_SLOTS, 2 * count));
}

bool SiteIndex::put(std::uint32_t site_id, std::uint32_t position) {
  const std::uint64_t entry = std::uint64_t{site_id} << 32 | (std::uint64_t{position} + 1);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = slot_of(site_id);; slot = (slot + 1) & mask) {
    const std::uint64_t held = slots_[slot];
    if (held == 0 || held >> 32 == site_id) {
      slots_[slot] = entry;
      if (held == 0) ++count_;
      return held == 0;
    }
  }
}

void SiteIndex::rehash(std::size_t slot_count) {
  std::vector<std::uint64_t> old = std::move(slots_);
  slots_ = {};
  reserve_fresh(slots_, slot_count);
  slots_.resize(slot_count);
  const std::size_t mask = slot_count - 1;
  for (const std::uint64_t held : old) {
    if (held == 0) continue;
    std::size_t slot = slot_of(static_cast<std::uint32_t>(held >> 32));
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = held;
  }
}

}  // namespace vemo
