#pragma once
// Terminal styling of report text as a value: the driver decides once whether standard output
// is styled and hands the decision to every writer, which paints its pieces through it.

#include <cstddef>
#include <string>
#include <string_view>

namespace vemo {

namespace ansi {

enum class Color {
  None = 0,
  Red = 31,
  Green = 32,
  Yellow = 33,
  Blue = 34,
  Magenta = 35,
  Cyan = 36,
  White = 37
};

struct Style {
  bool bold = false;
  bool dim = false;
  Color fg = Color::None;
};

inline constexpr Style BOLD{.bold = true};
inline constexpr Style DIM{.dim = true};
constexpr Style fg(Color c) {
  return Style{.fg = c};
}
constexpr Style bold(Color c) {
  return Style{.bold = true, .fg = c};
}

enum class Align { Left, Right };

}  // namespace ansi

class Styling {
 public:
  constexpr explicit Styling(bool on) : on_(on) {}

  constexpr bool on() const { return on_; }

  // `text` in the sequences of `style` when styling is on, else `text` itself.
  std::string paint(std::string_view text, ansi::Style style) const;
  // `text` filled with blanks to `width` characters, the fill inside the styling sequences.
  std::string paint(std::string_view text, ansi::Style style, std::size_t width,
                    ansi::Align align) const;

 private:
  bool on_;
};

}  // namespace vemo
