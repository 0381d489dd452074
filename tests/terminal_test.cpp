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

TEST(Keys, HomeAndEndAsEveryTerminalSendsThem) {
  const auto plain = [](KeyCode code) {
    KeyEvent key;
    key.code = code;
    return std::optional<KeyEvent>(key);
  };
  const struct {
    std::u32string_view sequence;
    std::optional<KeyEvent> key;
  } cases[] = {
      {U"[1~", plain(KeyCode::Home)},
      {U"[4~", plain(KeyCode::End)},
      {U"[7~", plain(KeyCode::Home)},
      {U"[8~", plain(KeyCode::End)},
      {U"[H", plain(KeyCode::Home)},
      {U"[F", plain(KeyCode::End)},
      {U"OH", plain(KeyCode::Home)},
      {U"OF", plain(KeyCode::End)},
      // Anything else stays unknown.
      {U"[2~", std::nullopt},
      {U"[1;5H", std::nullopt},
      {U"[1", std::nullopt},
      {U"O", std::nullopt},
      {U"[", std::nullopt},
      {U"[h", std::nullopt},
      {U"Oh", std::nullopt},
      {U"[11~", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(key_from_escape_sequence(c.sequence), c.key)
        << std::string(c.sequence.begin(), c.sequence.end());
  }
}

}  // namespace
}  // namespace vemo::tui
