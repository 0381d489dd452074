#include "core/console.hpp"

#include <gtest/gtest.h>

namespace vemo::testing {
namespace {

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

}  // namespace
}  // namespace vemo::testing
