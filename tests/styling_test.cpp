#include "core/styling.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vemo::testing {
namespace {

using ansi::Align;
using ansi::Color;
using ansi::Style;

TEST(Styling, PaintWritesCodesInOrder) {
  struct Case {
    Style style;
    std::string painted;
  };
  const Case cases[] = {
      {ansi::BOLD, "\x1b[1mx\x1b[0m"},
      {ansi::DIM, "\x1b[2mx\x1b[0m"},
      {ansi::fg(Color::Green), "\x1b[32mx\x1b[0m"},
      {ansi::bold(Color::Red), "\x1b[1;31mx\x1b[0m"},
      {Style{.bold = true, .dim = true, .fg = Color::White}, "\x1b[1;2;37mx\x1b[0m"},
      {Style{}, "x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Styling(true).paint("x", c.style), c.painted);
    EXPECT_EQ(Styling(false).paint("x", c.style), "x");
  }
}

TEST(Styling, FillLiesInsideTheSequences) {
  struct Case {
    std::string text;
    std::size_t width;
    Align align;
    std::string plain;
  };
  const Case cases[] = {
      {"ab", 5, Align::Left, "ab   "},
      {"ab", 5, Align::Right, "   ab"},
      {"\xC3\xA9", 3, Align::Left, "\xC3\xA9  "},  // width counts characters, not bytes
      {"abcdef", 3, Align::Left, "abcdef"},        // never cut
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Styling(false).paint(c.text, ansi::fg(Color::Cyan), c.width, c.align), c.plain);
    EXPECT_EQ(Styling(true).paint(c.text, ansi::fg(Color::Cyan), c.width, c.align),
              "\x1b[36m" + c.plain + "\x1b[0m");
  }
}

}  // namespace
}  // namespace vemo::testing
