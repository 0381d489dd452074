#include "core/fresh_memory.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace vemo {
namespace {

constexpr std::size_t MIB = std::size_t{1} << 20;

// Bytes at a prime stride, and the last one, stand for the whole block: enough to see pages
// lost or shifted, and quick on blocks of many MiB.
constexpr std::size_t STRIDE = 509;

std::uint8_t pattern(std::size_t at) {
  return static_cast<std::uint8_t>(at * 131 + at / 4096 + 1);
}

void fill(FreshBlock& block) {
  for (std::size_t at = 0; at < block.size(); at += STRIDE) block.data()[at] = pattern(at);
  if (block.size() != 0) block.data()[block.size() - 1] = pattern(block.size() - 1);
}

// The first `count` bytes of the block hold the pattern where `fill` wrote it.
bool holds_pattern(const FreshBlock& block, std::size_t count) {
  for (std::size_t at = 0; at < count; at += STRIDE) {
    if (block.data()[at] != pattern(at)) return false;
  }
  return true;
}

TEST(FreshBlock, StartsZeroFilledAndAligned) {
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{1}, std::size_t{4097}, 8 * MIB - 1, 8 * MIB, 9 * MIB + 3}) {
    auto block = FreshBlock::allocate(size);
    ASSERT_TRUE(block) << size;
    ASSERT_NE(block->data(), nullptr) << size;
    EXPECT_EQ(block->size(), size);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block->data()) % alignof(std::max_align_t), 0u);
    EXPECT_TRUE(std::all_of(block->data(), block->data() + size, [](auto b) { return b == 0; }))
        << size;
  }
}

TEST(FreshBlock, ResizingKeepsTheBytesItHolds) {
  struct Case {
    const char* name;
    std::size_t from;
    std::size_t to;
    std::uint64_t room;
    bool in_place;  // expected to keep its address
  };
  const Case cases[] = {
      {"small, grown", 100, 5000, 0, false},
      {"small, shrunk", 5000, 100, 0, false},
      {"small, grown past the size of a mapping", 3 * MIB + 5, 20 * MIB + 1, 0, false},
      {"small, grown into its room", 4000, 40 * MIB, 64 * MIB, false},
      {"mapped, grown several times over", 8 * MIB, 64 * MIB + 7, 0, false},
      {"mapped, grown within its room", 8 * MIB, 64 * MIB + 7, 64 * MIB + 7, true},
      {"mapped, grown past its room", 8 * MIB, 64 * MIB, 16 * MIB, false},
      {"mapped, with room beyond any memory", 8 * MIB, 24 * MIB, UINT64_MAX, true},
      {"mapped, shrunk within its last page", 9 * MIB + 3, 9 * MIB + 1, 0, true},
      {"mapped, shrunk to a few bytes", 16 * MIB, 10, 32 * MIB, true},
      {"mapped, emptied", 16 * MIB, 0, 0, true},
  };
  for (const Case& c : cases) {
    auto block = FreshBlock::allocate(c.from, c.room);
    ASSERT_TRUE(block) << c.name;
    fill(*block);
    const std::uint8_t* const before = block->data();
    ASSERT_TRUE(block->resize(c.to)) << c.name;
    EXPECT_EQ(block->size(), c.to) << c.name;
    if (c.in_place) {
      EXPECT_EQ(block->data(), before) << c.name;
    }
    EXPECT_TRUE(holds_pattern(*block, std::min(c.from, c.to))) << c.name;
    fill(*block);  // every byte of the new size is writable
    EXPECT_TRUE(holds_pattern(*block, c.to)) << c.name;
    // Shrunk, it has given back its room, and it can still grow.
    ASSERT_TRUE(block->resize(c.to / 2)) << c.name;
    ASSERT_TRUE(block->resize(c.to + MIB)) << c.name;
    EXPECT_TRUE(holds_pattern(*block, c.to / 2)) << c.name;
  }
}

TEST(FreshBlock, MovesHandOverTheBytes) {
  auto block = FreshBlock::allocate(10 * MIB);
  ASSERT_TRUE(block);
  fill(*block);
  const std::uint8_t* const bytes = block->data();
  FreshBlock moved = std::move(*block);
  EXPECT_EQ(block->data(), nullptr);
  EXPECT_EQ(block->size(), 0u);
  EXPECT_EQ(moved.data(), bytes);
  EXPECT_TRUE(holds_pattern(moved, moved.size()));
  moved = FreshBlock();
  EXPECT_EQ(moved.data(), nullptr);
}

}  // namespace
}  // namespace vemo
