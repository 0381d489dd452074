#include "tui/term.hpp"

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "core/file_io.hpp"
#include "core/text.hpp"

// Functions only: the curses macros (timeout, erase, clear, ...) would collide with C++ names.
#define NCURSES_NOMACROS 1
#define NCURSES_WIDECHAR 1
#include <curses.h>

namespace vemo::tui {

// ---------------------------------------------------------------------------------------------
// Styles and text

Style Style::patch(const Style& overlay) const {
  Style result = *this;
  if (overlay.fg) result.fg = overlay.fg;
  if (overlay.bg) result.bg = overlay.bg;
  result.bold = bold || overlay.bold;
  result.italic = italic || overlay.italic;
  result.reverse = reverse || overlay.reverse;
  return result;
}

namespace {

bool is_control(UChar32 c) {
  return c < 0x20 || (c >= 0x7f && c < 0xa0);
}

// Columns a character takes on the terminal: 0 for combining marks and format characters,
// 2 for East Asian wide and full-width ones, else 1 (control characters show as one blank).
std::uint16_t char_width(UChar32 c) {
  if (is_control(c)) return 1;
  const auto type = static_cast<UCharCategory>(u_charType(c));
  if (type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK) return 0;
  if (type == U_FORMAT_CHAR && c != 0x00AD) return 0;
  const int hangul = u_getIntPropertyValue(c, UCHAR_HANGUL_SYLLABLE_TYPE);
  if (hangul == U_HST_VOWEL_JAMO || hangul == U_HST_TRAILING_JAMO) return 0;
  const int east_asian = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
  if (east_asian == U_EA_WIDE || east_asian == U_EA_FULLWIDTH) return 2;
  return 1;
}

// Calls `visit(code_point)` for each character of `text`, U+FFFD for each invalid sequence,
// until `visit` returns false.
template <class Visit>
void for_each_char(std::string_view text, Visit visit) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(
      std::min<std::size_t>(text.size(), std::numeric_limits<std::int32_t>::max()));
  std::int32_t i = 0;
  while (i < length) {
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) c = 0xFFFD;
    if (!visit(c)) return;
  }
}

std::string encode_utf8(UChar32 c) {
  std::string text;
  append_utf8(text, c < 0 ? 0xFFFD : static_cast<char32_t>(c));
  return text;
}

std::size_t text_width(std::string_view text) {
  std::size_t width = 0;
  for_each_char(text, [&](UChar32 c) {
    width += char_width(c);
    return true;
  });
  return width;
}

// Combining marks kept on one cell; more would not reach the screen anyway.
constexpr std::size_t MAX_MARKS_PER_CELL = CCHARW_MAX - 1;

std::uint16_t saturating_add(std::uint16_t a, std::uint32_t b) {
  return static_cast<std::uint16_t>(std::min<std::uint32_t>(a + b, 0xFFFF));
}

}  // namespace

std::size_t Span::width() const {
  return text_width(content);
}

std::size_t Line::width() const {
  std::size_t width = 0;
  for (const Span& span : spans) width += span.width();
  return width;
}

// ---------------------------------------------------------------------------------------------
// Splitting

namespace {

std::uint32_t requested_size(const Constraint& constraint, std::uint32_t total) {
  switch (constraint.kind) {
    case Constraint::Kind::Min:
    case Constraint::Kind::Length:
      return constraint.value;
    case Constraint::Kind::Percentage:
      return std::min<std::uint32_t>(total * std::uint32_t{constraint.value} / 100, total);
  }
  return 0;
}

// Gives `extra` to the areas at `indices`, evenly, the odd units to the later ones.
void share_out(std::vector<std::uint32_t>& sizes, const std::vector<std::size_t>& indices,
               std::uint32_t extra) {
  const auto count = static_cast<std::uint32_t>(indices.size());
  const std::uint32_t each = extra / count;
  const std::uint32_t odd = extra % count;
  for (std::uint32_t j = 0; j < count; ++j) {
    sizes[indices[j]] += each + (j >= count - odd ? 1 : 0);
  }
}

// Lowers the largest of the sizes at `indices` first (earlier ones first among equals) until
// `deficit` is taken away or they are all 0; returns what is still missing.
std::uint64_t lower_largest_first(std::vector<std::uint32_t>& sizes,
                                  const std::vector<std::size_t>& indices, std::uint64_t deficit) {
  while (deficit > 0) {
    std::uint32_t largest = 0;
    for (std::size_t i : indices) largest = std::max(largest, sizes[i]);
    if (largest == 0) break;
    std::uint32_t next = 0;
    std::vector<std::size_t> at_largest;
    for (std::size_t i : indices) {
      if (sizes[i] == largest) {
        at_largest.push_back(i);
      } else {
        next = std::max(next, sizes[i]);
      }
    }
    const std::uint64_t room = std::uint64_t{largest - next} * at_largest.size();
    if (room <= deficit) {
      for (std::size_t i : at_largest) sizes[i] = next;
      deficit -= room;
      continue;
    }
    const std::uint64_t each = deficit / at_largest.size();
    const std::uint64_t odd = deficit % at_largest.size();
    for (std::size_t j = 0; j < at_largest.size(); ++j) {
      sizes[at_largest[j]] -= static_cast<std::uint32_t>(each + (j < odd ? 1 : 0));
    }
    deficit = 0;
  }
  return deficit;
}

}  // namespace

std::vector<Rect> split(Rect area, Direction direction,
                        const std::vector<Constraint>& constraints) {
  if (constraints.empty()) return {};
  const bool vertical = direction == Direction::Vertical;
  const std::uint32_t total = vertical ? area.height : area.width;

  std::vector<std::uint32_t> sizes;
  std::vector<std::size_t> flexible;
  std::vector<std::size_t> fixed;
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < constraints.size(); ++i) {
    sizes.push_back(requested_size(constraints[i], total));
    sum += sizes.back();
    (constraints[i].kind == Constraint::Kind::Min ? flexible : fixed).push_back(i);
  }

  if (sum <= total) {
    const auto extra = static_cast<std::uint32_t>(total - sum);
    if (flexible.empty()) {
      sizes.back() += extra;
    } else {
      share_out(sizes, flexible, extra);
    }
  } else {
    const std::uint64_t still_short = lower_largest_first(sizes, fixed, sum - total);
    lower_largest_first(sizes, flexible, still_short);
  }

  std::vector<Rect> areas;
  std::uint32_t offset = 0;
  for (std::uint32_t size : sizes) {
    Rect part = area;
    if (vertical) {
      part.y = static_cast<std::uint16_t>(area.y + offset);
      part.height = static_cast<std::uint16_t>(size);
    } else {
      part.x = static_cast<std::uint16_t>(area.x + offset);
      part.width = static_cast<std::uint16_t>(size);
    }
    areas.push_back(part);
    offset += size;
  }
  return areas;
}

// ---------------------------------------------------------------------------------------------
// Buffer

namespace {

Rect intersection(Rect a, Rect b) {
  const std::uint32_t left = std::max(a.x, b.x);
  const std::uint32_t top = std::max(a.y, b.y);
  const std::uint32_t right = std::min(a.right(), b.right());
  const std::uint32_t bottom = std::min(a.bottom(), b.bottom());
  if (left >= right || top >= bottom) {
    return Rect{static_cast<std::uint16_t>(left), static_cast<std::uint16_t>(top), 0, 0};
  }
  return Rect{static_cast<std::uint16_t>(left), static_cast<std::uint16_t>(top),
              static_cast<std::uint16_t>(right - left), static_cast<std::uint16_t>(bottom - top)};
}

// A buffer never reaches past the last addressable column or row.
Rect addressable(Rect area) {
  area.width = static_cast<std::uint16_t>(std::min<std::uint32_t>(area.width, 0xFFFF - area.x));
  area.height = static_cast<std::uint16_t>(std::min<std::uint32_t>(area.height, 0xFFFF - area.y));
  return area;
}

}  // namespace

Buffer::Buffer(Rect area)
    : area_(addressable(area)), cells_(std::size_t{area_.width} * std::size_t{area_.height}) {}

bool Buffer::contains(std::uint32_t x, std::uint32_t y) const {
  return x >= area_.x && x < area_.right() && y >= area_.y && y < area_.bottom();
}

std::size_t Buffer::index(std::uint16_t x, std::uint16_t y) const {
  return std::size_t{static_cast<std::uint16_t>(y - area_.y)} * area_.width +
         static_cast<std::uint16_t>(x - area_.x);
}

const Cell& Buffer::cell(std::uint16_t x, std::uint16_t y) const {
  return cells_.at(index(x, y));
}

Cell& Buffer::cell(std::uint16_t x, std::uint16_t y) {
  return cells_.at(index(x, y));
}

void Buffer::put(std::uint16_t x, std::uint16_t y, std::string symbol, std::uint16_t width,
                 Style style) {
  // Overwriting either half of a wide character leaves a blank in the other half. (assign():
  // g++ 12 warns falsely with -Wrestrict on `= " "` here in optimised builds.)
  for (std::uint16_t column = x; column < x + width; ++column) {
    if (cell(column, y).symbol.empty() && column > area_.x) {
      cell(static_cast<std::uint16_t>(column - 1), y).symbol.assign(1, ' ');
    }
    if (contains(column + 1u, y) &&
        cell(static_cast<std::uint16_t>(column + 1), y).symbol.empty()) {
      cell(static_cast<std::uint16_t>(column + 1), y).symbol.assign(1, ' ');
    }
  }
  Cell& first = cell(x, y);
  first.symbol = std::move(symbol);
  first.style = first.style.patch(style);
  if (width == 2) {
    Cell& second = cell(static_cast<std::uint16_t>(x + 1), y);
    second.symbol.clear();
    second.style = second.style.patch(style);
  }
}

std::uint16_t Buffer::set_string(std::uint16_t x, std::uint16_t y, std::string_view text,
                                 Style style, std::uint16_t max_width) {
  if (!contains(x, y)) return 0;
  const auto limit =
      static_cast<std::uint16_t>(std::min<std::uint32_t>(area_.right() - x, max_width));
  std::uint16_t used = 0;
  std::optional<std::uint16_t> last_column;
  std::size_t marks = 0;
  for_each_char(text, [&](UChar32 c) {
    const std::uint16_t width = char_width(c);
    if (width == 0) {
      if (last_column && marks < MAX_MARKS_PER_CELL) {
        cell(*last_column, y).symbol += encode_utf8(c);
        ++marks;
      }
      return true;
    }
    if (used + width > limit) return false;
    const auto column = static_cast<std::uint16_t>(x + used);
    put(column, y, is_control(c) ? std::string(" ") : encode_utf8(c), width, style);
    last_column = column;
    marks = 0;
    used = static_cast<std::uint16_t>(used + width);
    return true;
  });
  return used;
}

std::uint16_t Buffer::set_line(std::uint16_t x, std::uint16_t y, const Line& line,
                               std::uint16_t max_width) {
  std::uint16_t used = 0;
  for (const Span& span : line.spans) {
    if (used >= max_width || !contains(std::uint32_t{x} + used, y)) break;
    used =
        static_cast<std::uint16_t>(used + set_string(static_cast<std::uint16_t>(x + used), y,
                                                     span.content, line.style.patch(span.style),
                                                     static_cast<std::uint16_t>(max_width - used)));
  }
  return used;
}

void Buffer::set_style(Rect area, Style style) {
  const Rect clipped = intersection(area, area_);
  for (std::uint32_t y = clipped.y; y < clipped.bottom(); ++y) {
    for (std::uint32_t x = clipped.x; x < clipped.right(); ++x) {
      Cell& target = cell(static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y));
      target.style = target.style.patch(style);
    }
  }
}

std::string Buffer::row_text(std::uint16_t y) const {
  std::string text;
  if (!contains(area_.x, y)) return text;
  for (std::uint32_t x = area_.x; x < area_.right(); ++x) {
    text += cell(static_cast<std::uint16_t>(x), y).symbol;
  }
  return text;
}

// ---------------------------------------------------------------------------------------------
// Widgets

Rect Block::inner(Rect area) {
  if (area.width < 2 || area.height < 2) {
    return Rect{saturating_add(area.x, 1), saturating_add(area.y, 1), 0, 0};
  }
  return Rect{static_cast<std::uint16_t>(area.x + 1), static_cast<std::uint16_t>(area.y + 1),
              static_cast<std::uint16_t>(area.width - 2),
              static_cast<std::uint16_t>(area.height - 2)};
}

void Block::render(Rect area, Buffer& buffer) const {
  const Rect box = intersection(area, buffer.area());
  if (box.empty()) return;
  const auto left = box.x;
  const auto top = box.y;
  const auto right = static_cast<std::uint16_t>(box.right() - 1);
  const auto bottom = static_cast<std::uint16_t>(box.bottom() - 1);
  for (std::uint32_t x = left; x <= right; ++x) {
    buffer.set_string(static_cast<std::uint16_t>(x), top, "─", border_style, 1);
    buffer.set_string(static_cast<std::uint16_t>(x), bottom, "─", border_style, 1);
  }
  for (std::uint32_t y = top; y <= bottom; ++y) {
    buffer.set_string(left, static_cast<std::uint16_t>(y), "│", border_style, 1);
    buffer.set_string(right, static_cast<std::uint16_t>(y), "│", border_style, 1);
  }
  buffer.set_string(left, top, "┌", border_style, 1);
  buffer.set_string(right, top, "┐", border_style, 1);
  buffer.set_string(left, bottom, "└", border_style, 1);
  buffer.set_string(right, bottom, "┘", border_style, 1);
  // The border cells already carry the border style, so the title's spans patch over it.
  if (title && box.width > 2) {
    buffer.set_line(static_cast<std::uint16_t>(left + 1), top, *title,
                    static_cast<std::uint16_t>(box.width - 2));
  }
}

void Paragraph::render(Rect area, Buffer& buffer) const {
  const Rect whole = intersection(area, buffer.area());
  buffer.set_style(whole, style);
  Rect inside = whole;
  if (block) {
    block->render(whole, buffer);
    inside = Block::inner(whole);
  }
  const std::size_t shown = std::min<std::size_t>(text.lines.size(), inside.height);
  for (std::size_t i = 0; i < shown; ++i) {
    buffer.set_line(inside.x, static_cast<std::uint16_t>(inside.y + i), text.lines[i],
                    inside.width);
  }
}

// ---------------------------------------------------------------------------------------------
// Keys

KeyEvent key_from_character(char32_t c) {
  switch (c) {
    case 8:
    case 127:
      return KeyEvent{.code = KeyCode::Backspace};
    case 9:
      return KeyEvent{.code = KeyCode::Tab};
    case 13:
      return KeyEvent{.code = KeyCode::Enter};
    case 27:
      return KeyEvent{.code = KeyCode::Esc};
    case 0:
      return KeyEvent{.code = KeyCode::Char, .ch = U' ', .modifiers = CONTROL};
    default:
      break;
  }
  // In raw mode the Enter key sends 13, so 10 is Ctrl+J like the other letters.
  if (c >= 1 && c <= 26) {
    return KeyEvent{
        .code = KeyCode::Char, .ch = static_cast<char32_t>(U'a' + c - 1), .modifiers = CONTROL};
  }
  // Terminals send 28 to 31 for Ctrl+4 to Ctrl+7.
  if (c >= 28 && c <= 31) {
    return KeyEvent{
        .code = KeyCode::Char, .ch = static_cast<char32_t>(U'4' + c - 28), .modifiers = CONTROL};
  }
  return KeyEvent{.code = KeyCode::Char, .ch = c};
}

namespace {

KeyEvent key(KeyCode code, KeyModifiers modifiers = NONE) {
  return KeyEvent{.code = code, .modifiers = modifiers};
}

// The curses codes of the special keys, plain and shifted.
std::optional<KeyEvent> key_from_curses_code(int code) {
  if (code >= KEY_F0 && code <= KEY_F(63)) {
    return KeyEvent{.code = KeyCode::F, .function = static_cast<std::uint8_t>(code - KEY_F0)};
  }
  switch (code) {
    case KEY_UP:
      return key(KeyCode::Up);
    case KEY_DOWN:
      return key(KeyCode::Down);
    case KEY_LEFT:
      return key(KeyCode::Left);
    case KEY_RIGHT:
      return key(KeyCode::Right);
    case KEY_HOME:
    case KEY_A1:
    case KEY_FIND:
      return key(KeyCode::Home);
    case KEY_END:
    case KEY_C1:
    case KEY_SELECT:
      return key(KeyCode::End);
    case KEY_PPAGE:
    case KEY_A3:
      return key(KeyCode::PageUp);
    case KEY_NPAGE:
    case KEY_C3:
      return key(KeyCode::PageDown);
    case KEY_DC:
      return key(KeyCode::Delete);
    case KEY_IC:
      return key(KeyCode::Insert);
    case KEY_BTAB:
      return key(KeyCode::BackTab);
    case KEY_BACKSPACE:
      return key(KeyCode::Backspace);
    case KEY_ENTER:
      return key(KeyCode::Enter);
    case KEY_SR:
      return key(KeyCode::Up, SHIFT);
    case KEY_SF:
      return key(KeyCode::Down, SHIFT);
    case KEY_SLEFT:
      return key(KeyCode::Left, SHIFT);
    case KEY_SRIGHT:
      return key(KeyCode::Right, SHIFT);
    case KEY_SHOME:
      return key(KeyCode::Home, SHIFT);
    case KEY_SEND:
      return key(KeyCode::End, SHIFT);
    case KEY_SPREVIOUS:
      return key(KeyCode::PageUp, SHIFT);
    case KEY_SNEXT:
      return key(KeyCode::PageDown, SHIFT);
    case KEY_SDC:
      return key(KeyCode::Delete, SHIFT);
    case KEY_SIC:
      return key(KeyCode::Insert, SHIFT);
    default:
      return std::nullopt;
  }
}

// Modified special keys that terminfo names with a modifier digit, as "kUP5" for Ctrl+Up.
std::optional<KeyEvent> key_from_extended_name(std::string_view name) {
  static const std::pair<std::string_view, KeyCode> kNames[] = {
      {"kUP", KeyCode::Up},      {"kDN", KeyCode::Down},      {"kLFT", KeyCode::Left},
      {"kRIT", KeyCode::Right},  {"kHOM", KeyCode::Home},     {"kEND", KeyCode::End},
      {"kPRV", KeyCode::PageUp}, {"kNXT", KeyCode::PageDown}, {"kDC", KeyCode::Delete},
      {"kIC", KeyCode::Insert}};
  for (const auto& [prefix, code] : kNames) {
    if (name.size() != prefix.size() + 1 || !name.starts_with(prefix)) continue;
    const char digit = name.back();
    if (digit < '2' || digit > '8') return std::nullopt;
    // xterm's modifier parameter: 1 + (shift 1, alt 2, control 4).
    const int bits = digit - '1';
    KeyModifiers modifiers = NONE;
    if (bits & 1) modifiers |= SHIFT;
    if (bits & 2) modifiers |= ALT;
    if (bits & 4) modifiers |= CONTROL;
    return key(code, modifiers);
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Terminal plumbing

constexpr std::string_view ENTER_ALTERNATE_SCREEN = "\x1b[?1049h";
constexpr std::string_view LEAVE_ALTERNATE_SCREEN = "\x1b[?1049l";
constexpr std::string_view SHOW_CURSOR = "\x1b[?25h";

bool colors_wanted() {
  const char* no_color = std::getenv("NO_COLOR");
  return no_color == nullptr || *no_color == '\0';
}

std::wstring wide_symbol(const std::string& symbol) {
  std::wstring wide;
  for_each_char(symbol, [&](UChar32 c) {
    if (wide.size() == CCHARW_MAX) return false;
    wide.push_back(static_cast<wchar_t>(c));
    return true;
  });
  if (wide.empty()) wide.push_back(L' ');
  return wide;
}

}  // namespace

struct Terminal::State {
  int tty_fd = -1;
  bool owns_tty_fd = false;
  termios original{};
  bool restored = false;

  std::optional<std::string> saved_locale;
  std::FILE* input = nullptr;
  std::FILE* output = nullptr;
  SCREEN* screen = nullptr;

  bool colors = false;
  bool bright_colors = false;  // 16 colours or more
  bool default_colors = false;
  std::map<std::pair<short, short>, short> pairs;

  std::optional<Buffer> previous;

  // The curses colour number for a palette entry; with 8 colours a bright one falls back to its
  // normal twin, made bold when it is the foreground.
  short color_number(Color color, attr_t* attributes) const {
    auto number = static_cast<short>(color);
    if (!bright_colors && number >= 8) {
      number = static_cast<short>(number - 8);
      if (attributes != nullptr) *attributes |= A_BOLD;
    }
    return number;
  }

  short pair_for(const Style& style, attr_t& attributes) {
    if (!colors || (!style.fg && !style.bg)) return 0;
    const short fallback_fg = default_colors ? -1 : COLOR_WHITE;
    const short fallback_bg = default_colors ? -1 : COLOR_BLACK;
    const short fg = style.fg ? color_number(*style.fg, &attributes) : fallback_fg;
    const short bg = style.bg ? color_number(*style.bg, nullptr) : fallback_bg;
    const auto found = pairs.find({fg, bg});
    if (found != pairs.end()) return found->second;
    const auto next = static_cast<int>(pairs.size()) + 1;
    if (next >= COLOR_PAIRS || next > std::numeric_limits<short>::max()) return 0;
    if (init_pair(static_cast<short>(next), fg, bg) == ERR) return 0;
    pairs.emplace(std::pair{fg, bg}, static_cast<short>(next));
    return static_cast<short>(next);
  }

  void paint(std::uint16_t x, std::uint16_t y, const Cell& cell) {
    attr_t attributes = A_NORMAL;
    if (cell.style.bold) attributes |= A_BOLD;
    if (cell.style.italic) attributes |= A_ITALIC;
    if (cell.style.reverse) attributes |= A_REVERSE;
    const short pair = pair_for(cell.style, attributes);
    const std::wstring wide = wide_symbol(cell.symbol);
    cchar_t character{};
    if (setcchar(&character, wide.c_str(), attributes, pair, nullptr) == ERR) return;
    // The bottom-right cell reports an error because the cursor cannot move on; it is drawn.
    mvwadd_wch(stdscr, y, x, &character);
  }

  void use_utf8_locale() {
    if (const char* current = std::setlocale(LC_CTYPE, nullptr)) saved_locale = current;
    std::setlocale(LC_CTYPE, "");
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
  }

  void close_streams() {
    if (input != nullptr) std::fclose(input);
    if (output != nullptr) std::fclose(output);
    input = output = nullptr;
  }
};

namespace {

std::FILE* open_stream(int fd, const char* mode) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) return nullptr;
  std::FILE* stream = ::fdopen(copy, mode);
  if (stream == nullptr) {
    const int saved = errno;
    ::close(copy);
    errno = saved;
  }
  return stream;
}

}  // namespace

Terminal::Terminal(std::unique_ptr<State> state) : state_(std::move(state)) {}
Terminal::Terminal(Terminal&&) noexcept = default;
Terminal& Terminal::operator=(Terminal&& other) noexcept {
  if (this != &other) {
    restore();
    state_ = std::move(other.state_);
  }
  return *this;
}
Terminal::~Terminal() {
  restore();
}

Result<Terminal> Terminal::enable_raw_mode() {
  auto state = std::make_unique<State>();
  if (::isatty(STDIN_FILENO) == 1) {
    state->tty_fd = STDIN_FILENO;
  } else {
    state->tty_fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (state->tty_fd < 0) return std::unexpected(Error::system(errno));
    state->owns_tty_fd = true;
  }
  const auto give_up = [&](int errnum) {
    if (state->owns_tty_fd) ::close(state->tty_fd);
    return std::unexpected(Error::system(errnum));
  };
  if (::tcgetattr(state->tty_fd, &state->original) != 0) return give_up(errno);
  termios raw = state->original;
  ::cfmakeraw(&raw);
  if (::tcsetattr(state->tty_fd, TCSANOW, &raw) != 0) return give_up(errno);
  return Terminal(std::move(state));
}

Status Terminal::enter_alternate_screen() {
  return write_all(STDOUT_FILENO, ENTER_ALTERNATE_SCREEN);
}

Status Terminal::start() {
  State& s = *state_;
  s.use_utf8_locale();
  s.input = open_stream(s.tty_fd, "r");
  if (s.input == nullptr) return std::unexpected(Error::system(errno));
  s.output = open_stream(STDOUT_FILENO, "w");
  if (s.output == nullptr) return std::unexpected(Error::system(errno));
  // curses would take LINES and COLUMNS from the environment over the terminal's own size, also
  // after a resize; the viewer always fills the terminal.
  ::unsetenv("LINES");
  ::unsetenv("COLUMNS");
  const char* type = std::getenv("TERM");
  s.screen = newterm(nullptr, s.output, s.input);
  if (s.screen == nullptr) {
    if (type == nullptr || *type == '\0') return fail("The terminal type is not set (TERM)");
    return fail("Unknown terminal type \"{}\"", lossy_utf8(type));
  }
  set_term(s.screen);
  raw();
  nonl();  // Enter stays 13 and Ctrl+J 10
  noecho();
  keypad(stdscr, TRUE);
  meta(stdscr, TRUE);
  leaveok(stdscr, TRUE);
  set_escdelay(25);
  curs_set(0);
  if (colors_wanted() && has_colors() && start_color() != ERR) {
    s.colors = true;
    s.bright_colors = COLORS >= 16;
    s.default_colors = use_default_colors() != ERR;
  }
  return {};
}

Status Terminal::draw(const std::function<void(Frame&)>& draw) {
  State& s = *state_;
  int rows = 0;
  int columns = 0;
  getmaxyx(stdscr, rows, columns);
  const Rect area{0, 0, static_cast<std::uint16_t>(std::clamp(columns, 0, 0xFFFF)),
                  static_cast<std::uint16_t>(std::clamp(rows, 0, 0xFFFF))};
  Buffer buffer(area);
  Frame frame(buffer);
  draw(frame);

  const bool repaint_all = !s.previous || s.previous->area() != buffer.area();
  if (repaint_all) werase(stdscr);
  for (std::uint16_t y = 0; y < area.height; ++y) {
    for (std::uint16_t x = 0; x < area.width; ++x) {
      const Cell& cell = buffer.cell(x, y);
      // The second column of a wide character is drawn with the first.
      if (cell.symbol.empty()) continue;
      if (repaint_all || cell != s.previous->cell(x, y)) s.paint(x, y, cell);
    }
  }
  wnoutrefresh(stdscr);
  errno = 0;
  if (doupdate() == ERR) return std::unexpected(Error::system(errno != 0 ? errno : EIO));
  s.previous = std::move(buffer);
  return {};
}

namespace {

struct RawInput {
  int kind = ERR;  // OK for a character, KEY_CODE_YES for a key code, ERR for nothing
  wint_t value = 0;
};

RawInput read_input(int timeout_ms) {
  wtimeout(stdscr, timeout_ms);
  RawInput input;
  input.kind = wget_wch(stdscr, &input.value);
  return input;
}

std::optional<Event> event_from_input(const RawInput& input) {
  if (input.kind == KEY_CODE_YES) {
    const int code = static_cast<int>(input.value);
    if (code == KEY_RESIZE) {
      return ResizeEvent{static_cast<std::uint16_t>(std::clamp(COLS, 0, 0xFFFF)),
                         static_cast<std::uint16_t>(std::clamp(LINES, 0, 0xFFFF))};
    }
    if (auto known = key_from_curses_code(code)) return *known;
    if (const char* name = keyname(code)) {
      if (auto modified = key_from_extended_name(name)) return *modified;
    }
    return std::nullopt;
  }
  if (input.kind != OK) return std::nullopt;
  const auto c = static_cast<char32_t>(input.value);
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
  return key_from_character(c);
}

// Reads the rest of an escape sequence the terminal description does not know, so that its
// bytes do not arrive as keys ("[" alone would change the warp).
void skip_escape_sequence(wint_t introducer) {
  if (introducer == U'O') {
    read_input(0);
    return;
  }
  constexpr int MAX_SEQUENCE_LENGTH = 32;
  for (int i = 0; i < MAX_SEQUENCE_LENGTH; ++i) {
    const RawInput input = read_input(0);
    if (input.kind != OK || (input.value >= 0x40 && input.value <= 0x7e)) return;
  }
}

// What follows an Esc at once belongs to it: an unknown sequence (dropped) or a key pressed
// with Alt. An Esc on its own is the Esc key.
std::optional<Event> after_escape() {
  const RawInput next = read_input(0);
  if (next.kind == ERR) return KeyEvent{.code = KeyCode::Esc};
  if (next.kind == OK && (next.value == U'[' || next.value == U'O')) {
    skip_escape_sequence(next.value);
    return std::nullopt;
  }
  std::optional<Event> event = event_from_input(next);
  if (event) {
    if (auto* key = std::get_if<KeyEvent>(&*event)) key->modifiers |= ALT;
  }
  return event;
}

}  // namespace

Result<std::optional<Event>> Terminal::poll_event(std::chrono::milliseconds timeout) {
  const RawInput input = read_input(static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
      timeout.count(), 0, std::numeric_limits<int>::max())));
  if (input.kind == ERR) {
    // Nothing arrived in time, or the terminal is gone: a hung-up terminal answers at once.
    pollfd check{.fd = state_->tty_fd, .events = POLLIN, .revents = 0};
    if (::poll(&check, 1, 0) > 0 && (check.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      return std::unexpected(Error::system(EIO));
    }
    return std::optional<Event>{};
  }
  if (input.kind == OK && input.value == 27) return after_escape();
  return event_from_input(input);
}

void Terminal::restore() {
  if (!state_ || state_->restored) return;
  State& s = *state_;
  s.restored = true;
  if (s.screen != nullptr) endwin();
  // Each step is tried whatever the others did.
  (void)::tcsetattr(s.tty_fd, TCSANOW, &s.original);
  (void)write_all(STDOUT_FILENO, LEAVE_ALTERNATE_SCREEN);
  (void)write_all(STDOUT_FILENO, SHOW_CURSOR);
  if (s.screen != nullptr) {
    delscreen(s.screen);
    s.screen = nullptr;
  }
  s.close_streams();
  if (s.owns_tty_fd) ::close(s.tty_fd);
  if (s.saved_locale) std::setlocale(LC_CTYPE, s.saved_locale->c_str());
}

}  // namespace vemo::tui
