#include "tui/widgets.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include <fmt/format.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "core/text.hpp"

namespace vemo::tui {

// ---- Styles and text ----

Style Style::patch(const Style& overlay) const {
  Style result = *this;
  if (overlay.fg) result.fg = overlay.fg;
  if (overlay.bg) result.bg = overlay.bg;
  result.bold = bold || overlay.bold;
  result.italic = italic || overlay.italic;
  result.reverse = reverse || overlay.reverse;
  return result;
}

Style legible(Style style) {
  if (style.fg == Color::DarkGray && style.bg == Color::DarkGray) style.fg = Color::Gray;
  return style;
}

namespace {

bool is_control(UChar32 c) {
  return c < 0x20 || (c >= 0x7f && c < 0xa0);
}

// What a control character shows as, so that none reaches the terminal, where it could move the
// cursor, set the title or ring the bell: a tab as a blank, other C0 controls and DEL as "\x1b",
// C1 controls as "\u009b".
std::string control_text(UChar32 c) {
  if (c == U'\t') return " ";
  if (c < 0x80) return fmt::format("\\x{:02x}", static_cast<unsigned>(c));
  return fmt::format("\\u{:04x}", static_cast<unsigned>(c));
}

// Columns a character takes on the terminal: 0 for combining marks and format characters,
// 2 for East Asian wide and full-width ones, the length of its escape for a control character,
// else 1.
std::uint16_t char_width(UChar32 c) {
  if (is_control(c)) return static_cast<std::uint16_t>(control_text(c).size());
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

// Combining marks kept on one cell; a terminal cell holds a few at most (curses keeps five
// characters a cell, the base one included), more would not reach the screen anyway.
constexpr std::size_t MAX_MARKS_PER_CELL = 4;

std::uint16_t saturating_add(std::uint16_t a, std::uint32_t b) {
  return static_cast<std::uint16_t>(std::min<std::uint32_t>(a + b, 0xFFFF));
}

}  // namespace

std::u32string characters_of(std::string_view text) {
  std::u32string characters;
  for_each_char(text, [&](UChar32 c) {
    characters.push_back(static_cast<char32_t>(c));
    return true;
  });
  return characters;
}

std::string expand_tabs(std::string_view text) {
  constexpr std::size_t TAB_STOP = 8;
  if (text.find('\t') == std::string_view::npos) return std::string(text);
  std::string expanded;
  std::size_t column = 0;
  for_each_char(text, [&](UChar32 c) {
    if (c == U'\t') {
      const std::size_t blanks = TAB_STOP - column % TAB_STOP;
      expanded.append(blanks, ' ');
      column += blanks;
    } else {
      expanded += encode_utf8(c);
      column += char_width(c);
    }
    return true;
  });
  return expanded;
}

std::size_t Span::width() const {
  return text_width(content);
}

std::size_t Line::width() const {
  std::size_t width = 0;
  for (const Span& span : spans) width += span.width();
  return width;
}

// ---- Splitting ----

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

// ---- Buffer ----

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
  first.style = legible(first.style.patch(style));
  if (width == 2) {
    Cell& second = cell(static_cast<std::uint16_t>(x + 1), y);
    second.symbol.clear();
    second.style = legible(second.style.patch(style));
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
    if (is_control(c)) {
      // One cell per character of the escape, cut at the limit like any other text.
      for (char shown : control_text(c)) {
        if (used + 1u > limit) return false;
        last_column = static_cast<std::uint16_t>(x + used);
        put(*last_column, y, std::string(1, shown), 1, style);
        used = static_cast<std::uint16_t>(used + 1);
      }
      marks = 0;
      return true;
    }
    if (used + width > limit) return false;
    const auto column = static_cast<std::uint16_t>(x + used);
    put(column, y, encode_utf8(c), width, style);
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
      target.style = legible(target.style.patch(style));
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

// ---- Widgets ----

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

}  // namespace vemo::tui
