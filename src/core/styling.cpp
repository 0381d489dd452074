#include "core/styling.hpp"

#include <fmt/format.h>

namespace vemo {

namespace {

std::string style_codes(ansi::Style style) {
  std::string codes;
  auto add = [&codes](int code) {
    if (!codes.empty()) codes += ';';
    codes += std::to_string(code);
  };
  if (style.bold) add(1);
  if (style.dim) add(2);
  if (style.fg != ansi::Color::None) add(static_cast<int>(style.fg));
  return codes;
}

std::size_t char_count(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

}  // namespace

std::string Styling::paint(std::string_view text, ansi::Style style) const {
  if (!on_) return std::string(text);
  const std::string codes = style_codes(style);
  if (codes.empty()) return std::string(text);
  return fmt::format("\x1b[{}m{}\x1b[0m", codes, text);
}

std::string Styling::paint(std::string_view text, ansi::Style style, std::size_t width,
                           ansi::Align align) const {
  const std::size_t n = char_count(text);
  if (n >= width) return paint(text, style);
  const std::string fill(width - n, ' ');
  const std::string filled =
      align == ansi::Align::Left ? std::string(text) + fill : fill + std::string(text);
  return paint(filled, style);
}

}  // namespace vemo
