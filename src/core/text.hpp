#pragma once
// Text helpers: UTF-8 validation and lossy decoding, Unicode white-space trimming, lower-casing,
// and control characters escaped for a terminal.

#include <cstddef>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace vemo {

bool is_valid_utf8(std::string_view bytes);

// `bytes` as UTF-8 with every invalid sequence replaced by U+FFFD (one per maximal invalid
// subpart).
std::string lossy_utf8(std::string_view bytes);

// Appends `c` as UTF-8; a value that is no Unicode scalar becomes U+FFFD.
void append_utf8(std::string& text, char32_t c);

// `text` without Unicode White_Space characters at either end.
std::string_view trim_white_space(std::string_view text);

// The full Unicode lower-case mapping of UTF-8 `text` (root locale).
std::string to_lower_full(std::string_view text);

// Text from an input, shown to a person, must not drive the terminal: each control character is
// written visibly instead. C0 controls other than tab and line feed become "\x" and two
// lower-case hexadecimal digits, DEL "\x7f", and C1 controls (U+0080 to U+009F, the UTF-8 bytes
// C2 80 to C2 9F) "\u00" and two digits. Every other byte, invalid UTF-8 included, is kept.
//
// The position of the first byte that escaping rewrites, or npos.
std::size_t find_control(std::string_view text);
// Appends `text` to `out` escaped.
void append_escaped_controls(std::string& out, std::string_view text);
// `text` escaped; text without controls is returned as it came, without a copy.
std::string escape_controls(std::string text);

// `text` formatted escaped: `fmt::format("{}", controls_escaped(name))`. Text without controls
// is formatted directly, without a copy.
struct ControlsEscaped {
  std::string_view text;
};
inline ControlsEscaped controls_escaped(std::string_view text) {
  return {text};
}

}  // namespace vemo

template <>
struct fmt::formatter<vemo::ControlsEscaped> : fmt::formatter<std::string_view> {
  template <class Context>
  auto format(const vemo::ControlsEscaped& value, Context& ctx) const {
    if (vemo::find_control(value.text) == std::string_view::npos) {
      return fmt::formatter<std::string_view>::format(value.text, ctx);
    }
    std::string escaped;
    vemo::append_escaped_controls(escaped, value.text);
    return fmt::formatter<std::string_view>::format(escaped, ctx);
  }
};
