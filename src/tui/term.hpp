#pragma once
// The viewer's terminal layer: styled text, areas and their splitting, a cell buffer, bordered
// blocks and paragraphs, and the full-screen terminal (raw mode, alternate screen, input).

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/error.hpp"

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
// the area are dropped.
class Buffer {
 public:
  explicit Buffer(Rect area);

  Rect area() const { return area_; }
  const Cell& cell(std::uint16_t x, std::uint16_t y) const;
  Cell& cell(std::uint16_t x, std::uint16_t y);
  bool contains(std::uint32_t x, std::uint32_t y) const;

  // Writes `text` from (x, y) on, one character a cell (two for a wide one), into at most
  // `max_width` columns and never past the buffer's right edge; each written cell's style is
  // patched with `style`. Control characters show as blanks and bytes that are not UTF-8 as
  // U+FFFD. Returns the number of columns used.
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

// ---- input events ----

enum class KeyCode {
  Char,
  Enter,
  Esc,
  Backspace,
  Tab,
  BackTab,
  Up,
  Down,
  Left,
  Right,
  Home,
  End,
  PageUp,
  PageDown,
  Delete,
  Insert,
  F,
};

// Modifier bits of a key event.
using KeyModifiers = std::uint8_t;
inline constexpr KeyModifiers NONE = 0;
inline constexpr KeyModifiers SHIFT = 1;
inline constexpr KeyModifiers CONTROL = 2;
inline constexpr KeyModifiers ALT = 4;

struct KeyEvent {
  KeyCode code = KeyCode::Char;
  char32_t ch = 0;            // the character of a Char key
  std::uint8_t function = 0;  // n of F(n)
  KeyModifiers modifiers = NONE;

  bool operator==(const KeyEvent&) const = default;
};

struct ResizeEvent {
  std::uint16_t columns = 0;
  std::uint16_t rows = 0;

  bool operator==(const ResizeEvent&) const = default;
};

using Event = std::variant<KeyEvent, ResizeEvent>;

// The bytes a terminal sends for control characters, as key events: Ctrl+Space for 0;
// Ctrl+letter for 1 to 26 except Backspace (8), Tab (9) and Enter (13); Esc (27); Ctrl+4 to
// Ctrl+7 for 28 to 31; Backspace (127); anything else as a plain character.
KeyEvent key_from_character(char32_t c);

// ---- the terminal ----

// The full-screen terminal. `enable_raw_mode` puts the terminal in raw mode, where input comes from
// standard input when it is a terminal, else from /dev/tty; drawing goes to standard output.
class Terminal {
 public:
  // Fails with the system's error when there is no terminal to put in raw mode.
  static Result<Terminal> enable_raw_mode();

  Terminal(Terminal&&) noexcept;
  Terminal& operator=(Terminal&&) noexcept;
  ~Terminal();  // restores the terminal when `restore` has not run yet

  // Switches standard output to the alternate screen.
  Status enter_alternate_screen();
  // Starts the full-screen drawing and input over the terminal.
  Status start();
  // Draws one frame through `draw` into an off-screen buffer the size of the screen and writes
  // only the cells that changed since the previous frame; the cursor stays hidden.
  Status draw(const std::function<void(Frame&)>& draw);
  // Waits up to `timeout` for input and reads one event; no event when the time ran out or the
  // input was of a kind the viewer ignores.
  Result<std::optional<Event>> poll_event(std::chrono::milliseconds timeout);

  // Raw mode off, main screen, cursor shown; every step is tried whatever the others do.
  void restore();

 private:
  struct State;
  explicit Terminal(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace vemo::tui
