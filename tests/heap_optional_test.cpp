#include "core/heap_optional.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vemo {
namespace {

TEST(HeapOptional, BehavesAsAnOptionalValue) {
  const HeapOptional<std::string> empty;
  EXPECT_FALSE(empty.has_value());
  EXPECT_EQ(empty, std::nullopt);
  EXPECT_EQ(empty, HeapOptional<std::string>(std::optional<std::string>()));

  HeapOptional<std::string> held = std::string("lhs");
  ASSERT_TRUE(held);
  EXPECT_EQ(held, std::string("lhs"));
  EXPECT_EQ(held, std::optional<std::string>("lhs"));
  EXPECT_FALSE(held == empty);
  EXPECT_FALSE(held == std::string("rhs"));
  EXPECT_FALSE(held == std::optional<std::string>());
}

TEST(HeapOptional, CopiesAreDeepAndMovesEmptyTheSource) {
  HeapOptional<std::string> original = std::string("a");
  HeapOptional<std::string> copy = original;
  *copy += "b";
  EXPECT_EQ(*original, "a");
  EXPECT_EQ(*copy, "ab");

  copy = original;
  EXPECT_EQ(copy, original);
  copy = std::nullopt;
  EXPECT_FALSE(copy);
  original = original;  // self-assignment keeps the value
  EXPECT_EQ(*original, "a");

  HeapOptional<std::string> moved = std::move(original);
  EXPECT_EQ(*moved, "a");
  EXPECT_FALSE(original);  // NOLINT(bugprone-use-after-move): a moved-from box is empty
}

}  // namespace
}  // namespace vemo
