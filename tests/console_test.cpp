#include "core/console.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vemo::testing {
namespace {

using console::Align;
using console::Color;
using console::Style;

class Styling : public ::testing::Test {
 protected:
  Styling() : saved_(console::styling()) {}
  ~Styling() override { console::set_styling(saved_); }

 private:
  bool saved_;
};

TEST(DecideStyling, FollowsTheEnvironmentRule) {
  struct Case {
    const char* clicolor_force;
    const char* no_color;
    const char* clicolor;
    bool terminal;
    bool styled;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, true, true},
      {nullptr, nullptr, nullptr, false, false},
      {"1", "1", "0", false, true},         // forcing beats everything
      {"", nullptr, nullptr, false, true},  // set to anything but "0"
      {"0", nullptr, nullptr, true, true},  // "0" forces nothing
      {"0", nullptr, nullptr, false, false},
      {nullptr, "", nullptr, true, false},  // NO_COLOR set, even empty
      {nullptr, "1", "1", true, false},
      {nullptr, nullptr, "0", true, false},
      {nullptr, nullptr, "1", true, true},
      {nullptr, nullptr, "1", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(console::decide_styling(c.clicolor_force, c.no_color, c.clicolor, c.terminal),
              c.styled)
        << (c.clicolor_force ? c.clicolor_force : "-") << " " << (c.no_color ? c.no_color : "-")
        << " " << (c.clicolor ? c.clicolor : "-") << " " << c.terminal;
  }
}

TEST_F(Styling, PaintWritesCodesInOrder) {
  struct Case {
    Style style;
    std::string painted;
  };
  const Case cases[] = {
      {console::BOLD, "\x1b[1mx\x1b[0m"},
      {console::DIM, "\x1b[2mx\x1b[0m"},
      {console::fg(Color::Green), "\x1b[32mx\x1b[0m"},
      {console::bold(Color::Red), "\x1b[1;31mx\x1b[0m"},
      {Style{.bold = true, .dim = true, .fg = Color::White}, "\x1b[1;2;37mx\x1b[0m"},
      {Style{}, "x"},
  };
  console::set_styling(true);
  for (const Case& c : cases) EXPECT_EQ(console::paint("x", c.style), c.painted);
  console::set_styling(false);
  for (const Case& c : cases) EXPECT_EQ(console::paint("x", c.style), "x");
}

TEST_F(Styling, FillLiesInsideTheSequences) {
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
    console::set_styling(false);
    EXPECT_EQ(console::paint(c.text, console::fg(Color::Cyan), c.width, c.align), c.plain);
    console::set_styling(true);
    EXPECT_EQ(console::paint(c.text, console::fg(Color::Cyan), c.width, c.align),
              "\x1b[36m" + c.plain + "\x1b[0m");
  }
}

TEST(Capture, CollectsBothStreams) {
  console::Capture capture;
  console::print("{} {}\n", "to", "out");
  console::eprint("{}\n", 42);
  console::out("more");
  EXPECT_EQ(capture.out, "to out\nmore");
  EXPECT_EQ(capture.err, "42\n");
}

}  // namespace
}  // namespace vemo::testing
