#pragma once
// The viewer's widget toolkit: styled text, areas and their splitting, a cell buffer, bordered
// blocks and paragraphs, drawn into a frame. Pure: no terminal, no curses, no system calls. The
// vocabulary follows ratatui's (Style, Span, Line, Text, Rect, Constraint, split, Buffer, Block,
// Paragraph, Frame::render_widget), which the rest of the viewer is written against.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vemo::tui {

// The terminal's 16-colour palette, by palette entry.
enum class Color : std::uint8_t {
  Black = 0,
  Red = 1,
  Green = 2,
  Yellow = 3,
  Blue = 4,
  Magenta = 5,
  Cyan = 6,
  Gray = 7,
  DarkGray = 8,  // bright black
  LightRed = 9,
  LightGreen = 10,
  LightYellow = 11,
  LightBlue = 12,
  LightMagenta = 13,
  LightCyan = 14,
  White = 15,  // bright white
};

// An optional foreground and background and the added modifiers; an empty style sets nothing.
struct Style {
  std::optional<Color> fg;
  std::optional<Color> bg;
  bool bold = false;
  bool italic = false;
  bool reverse = false;

  // This style overlaid with `overlay`: a colour the overlay sets replaces this one's, a colour
  // it leaves unset keeps this one's, and the modifiers of both apply.
  Style patch(const Style& overlay) const;

  bool operator==(const Style&) const = default;
};

// The style a cell is drawn in: dark gray text on a dark gray ground (the bottom line, a search
// match) would be invisible, so it becomes gray; every other style stays as it is.
Style legible(Style style);

struct Span {
  Span() = default;
  Span(std::string content, Style style = {}) : content(std::move(content)), style(style) {}

  // The number of terminal columns the content takes.
  std::size_t width() const;

  std::string content;
  Style style;
};

// A row of spans over a base style of its own.
struct Line {
  Line() = default;
  Line(std::string content) : spans{Span(std::move(content))} {}
  Line(Span span) : spans{std::move(span)} {}
  Line(std::vector<Span> spans, Style style = {}) : spans(std::move(spans)), style(style) {}

  std::size_t width() const;

  std::vector<Span> spans;
  Style style;
};

struct Text {
  Text() = default;
  Text(std::vector<Line> lines) : lines(std::move(lines)) {}
  Text(Line line) : lines{std::move(line)} {}

  std::vector<Line> lines;
};

struct Rect {
  std::uint16_t x = 0;
  std::uint16_t y = 0;
  std::uint16_t width = 0;
  std::uint16_t height = 0;

  // One past the last column and row, in wider arithmetic so they never wrap.
  std::uint32_t right() const { return std::uint32_t{x} + width; }
  std::uint32_t bottom() const { return std::uint32_t{y} + height; }
  bool empty() const { return width == 0 || height == 0; }

  bool operator==(const Rect&) const = default;
};

// A size request for one of the areas `split` makes.
struct Constraint {
  enum class Kind { Min, Length, Percentage };

  static constexpr Constraint Min(std::uint16_t n) { return {Kind::Min, n}; }
  static constexpr Constraint Length(std::uint16_t n) { return {Kind::Length, n}; }
  static constexpr Constraint Percentage(std::uint16_t percent) {
    return {Kind::Percentage, percent};
  }

  Kind kind = Kind::Length;
  std::uint16_t value = 0;
};

enum class Direction { Vertical, Horizontal };

// Cuts `area` into one area per constraint, in order, top to bottom or left to right, without
// margins or spacing; the areas together cover `area` exactly. Length(n) asks for n, Min(n) for at
// least n, Percentage(p) for p % of the whole (rounded down).
// Space left over goes to the Min areas, shared evenly with the odd rows to the later ones; when
// there is no Min area, the last area takes it (so of two 50 % halves of an odd width, the right
// one is a column wider). When space is short, the Length and Percentage areas give way first,
// the largest first (earlier ones first among equals), then the Min areas the same way.
std::vector<Rect> split(Rect area, Direction direction, const std::vector<Constraint>& constraints);

struct Cell {
  // One character, with any combining marks after it; empty for the second column of a wide
  // character.
  std::string symbol = " ";
  Style style;

  bool operator==(const Cell&) const = default;
};

// A width × height grid of cells at `area`'s position; coordinates are absolute. Writes outside
// the area are dropped, and every write leaves the cell's style `legible`.
class Buffer {
 public:
  explicit Buffer(Rect area);

  Rect area() const { return area_; }
  const Cell& cell(std::uint16_t x, std::uint16_t y) const;
  Cell& cell(std::uint16_t x, std::uint16_t y);
  bool contains(std::uint32_t x, std::uint32_t y) const;

  // Writes `text` from (x, y) on, one character a cell (two for a wide one), into at most
  // `max_width` columns and never past the buffer's right edge; each written cell's style is
  // patched with `style`. A tab shows as a blank, other control characters as escapes ("\x1b",
  // "\x7f", "\u009b"), one cell per character, and bytes that are not UTF-8 as U+FFFD. Returns
  // the number of columns used.
  std::uint16_t set_string(std::uint16_t x, std::uint16_t y, std::string_view text, Style style,
                           std::uint16_t max_width);
  // Each character of `line` takes the line's base style patched with its span's style.
  std::uint16_t set_line(std::uint16_t x, std::uint16_t y, const Line& line,
                         std::uint16_t max_width);
  // Patches the style of every cell of `area` (clipped to the buffer).
  void set_style(Rect area, Style style);

  // The symbols of row y joined, for tests and diagnostics.
  std::string row_text(std::uint16_t y) const;

 private:
  std::size_t index(std::uint16_t x, std::uint16_t y) const;
  void put(std::uint16_t x, std::uint16_t y, std::string symbol, std::uint16_t width, Style style);

  Rect area_;
  std::vector<Cell> cells_;
};

// Single-line borders on all four sides; the title is drawn over the top border from the column
// after the left corner, in the border style patched with the title's own styles.
struct Block {
  std::optional<Line> title;
  Style border_style;

  // The area inside the borders.
  static Rect inner(Rect area);
  void render(Rect area, Buffer& buffer) const;
};

// Text drawn left-aligned inside an area (inside its block when it has one), without wrapping or
// scrolling: lines are cut at the right edge and lines beyond the height are not drawn. `style`
// is applied to every cell of the area first.
struct Paragraph {
  Text text;
  std::optional<Block> block;
  Style style;

  void render(Rect area, Buffer& buffer) const;
};

// What a draw callback gets: the whole screen's area and the buffer it paints into.
class Frame {
 public:
  explicit Frame(Buffer& buffer) : buffer_(buffer) {}

  Rect area() const { return buffer_.area(); }
  Buffer& buffer() { return buffer_; }

  template <class Widget>
  void render_widget(const Widget& widget, Rect area) {
    widget.render(area, buffer_);
  }

 private:
  Buffer& buffer_;
};

// `text` with each tab widened with blanks to the next multiple of 8 columns, counted from the
// start of `text` in the columns its characters take when drawn.
std::string expand_tabs(std::string_view text);

// The characters of UTF-8 `text`, U+FFFD for each invalid sequence.
std::u32string characters_of(std::string_view text);

}  // namespace vemo::tui
