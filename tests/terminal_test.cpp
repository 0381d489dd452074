#include "tui/terminal.hpp"

#include <gtest/gtest.h>

namespace vemo::tui {
namespace {

// ---- keys ----

TEST(Keys, ControlCharactersBecomeKeys) {
  struct Case {
    char32_t input;
    KeyEvent expected;
  };
  const auto plain = [](KeyCode code) {
    KeyEvent key;
    key.code = code;
    return key;
  };
  const auto character = [](char32_t c, KeyModifiers modifiers) {
    KeyEvent key;
    key.ch = c;
    key.modifiers = modifiers;
    return key;
  };
  const Case cases[] = {
      {1, character(U'a', CONTROL)},    {3, character(U'c', CONTROL)},
      {4, character(U'd', CONTROL)},    {21, character(U'u', CONTROL)},
      {26, character(U'z', CONTROL)},   {8, plain(KeyCode::Backspace)},
      {127, plain(KeyCode::Backspace)}, {9, plain(KeyCode::Tab)},
      {13, plain(KeyCode::Enter)},      {10, character(U'j', CONTROL)},
      {0, character(U' ', CONTROL)},    {28, character(U'4', CONTROL)},
      {29, character(U'5', CONTROL)},   {31, character(U'7', CONTROL)},
      {27, plain(KeyCode::Esc)},        {U'q', character(U'q', NONE)},
      {U'N', character(U'N', NONE)},    {U'é', character(U'é', NONE)},
      {U'中', character(U'中', NONE)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(key_from_character(c.input), c.expected) << static_cast<std::uint32_t>(c.input);
  }
}

}  // namespace
}  // namespace vemo::tui
