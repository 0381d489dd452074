#include "tui/widgets.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vemo::tui {
namespace {

Style fg(Color color) {
  Style style;
  style.fg = color;
  return style;
}

// ---- split ----

struct SplitCase {
  const char* name;
  Rect area;
  Direction direction;
  std::vector<Constraint> constraints;
  std::vector<Rect> expected;
};

TEST(Split, CutsAreasByConstraint) {
  const auto V = Direction::Vertical;
  const auto H = Direction::Horizontal;
  using C = Constraint;
  const SplitCase cases[] = {
      {"event area takes what the fixed rows leave",
       {0, 0, 80, 40},
       V,
       {C::Min(6), C::Length(10), C::Length(1)},
       {{0, 0, 80, 29}, {0, 29, 80, 10}, {0, 39, 80, 1}}},
      {"exact fit",
       {0, 0, 80, 17},
       V,
       {C::Min(6), C::Length(10), C::Length(1)},
       {{0, 0, 80, 6}, {0, 6, 80, 10}, {0, 16, 80, 1}}},
      {"short: the largest fixed area gives way first, the bottom row survives",
       {0, 0, 80, 10},
       V,
       {C::Min(6), C::Length(10), C::Length(1)},
       {{0, 0, 80, 6}, {0, 6, 80, 3}, {0, 9, 80, 1}}},
      {"very short: fixed areas vanish before the minimum shrinks",
       {0, 0, 80, 3},
       V,
       {C::Min(6), C::Length(10), C::Length(1)},
       {{0, 0, 80, 3}, {0, 3, 80, 0}, {0, 3, 80, 0}}},
      {"zero height",
       {0, 0, 80, 0},
       V,
       {C::Min(6), C::Length(10), C::Length(1)},
       {{0, 0, 80, 0}, {0, 0, 80, 0}, {0, 0, 80, 0}}},
      {"even halves",
       {0, 0, 100, 5},
       H,
       {C::Percentage(50), C::Percentage(50)},
       {{0, 0, 50, 5}, {50, 0, 50, 5}}},
      {"odd width: the right half gets the odd column",
       {0, 0, 101, 5},
       H,
       {C::Percentage(50), C::Percentage(50)},
       {{0, 0, 50, 5}, {50, 0, 51, 5}}},
      {"one column",
       {0, 0, 1, 5},
       H,
       {C::Percentage(50), C::Percentage(50)},
       {{0, 0, 0, 5}, {0, 0, 1, 5}}},
      {"offsets are kept",
       {3, 7, 20, 10},
       H,
       {C::Percentage(50), C::Percentage(50)},
       {{3, 7, 10, 10}, {13, 7, 10, 10}}},
      {"several minimums share the space, odd rows to the later",
       {0, 0, 10, 5},
       V,
       {C::Min(1), C::Min(1), C::Length(2)},
       {{0, 0, 10, 1}, {0, 1, 10, 2}, {0, 3, 10, 2}}},
      {"without a minimum the last area takes the rest",
       {0, 0, 10, 10},
       V,
       {C::Length(2), C::Length(3)},
       {{0, 0, 10, 2}, {0, 2, 10, 8}}},
      {"equal fixed areas: the earlier gives way first",
       {0, 0, 10, 1},
       V,
       {C::Length(1), C::Length(1)},
       {{0, 0, 10, 0}, {0, 0, 10, 1}}},
      {"no constraints", {0, 0, 10, 10}, V, {}, {}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<Rect> areas = split(c.area, c.direction, c.constraints);
    ASSERT_EQ(areas.size(), c.expected.size());
    for (std::size_t i = 0; i < areas.size(); ++i) {
      EXPECT_EQ(areas[i], c.expected[i]) << "area " << i << ": " << areas[i].x << "," << areas[i].y
                                         << " " << areas[i].width << "x" << areas[i].height;
    }
  }
}

// ---- styles ----

TEST(Style, PatchReplacesSetColoursKeepsUnsetAndUnitesModifiers) {
  Style base = fg(Color::Yellow);
  base.bg = Color::DarkGray;
  base.bold = true;

  Style overlay = fg(Color::Cyan);
  overlay.reverse = true;
  Style patched = base.patch(overlay);
  EXPECT_EQ(patched.fg, Color::Cyan);
  EXPECT_EQ(patched.bg, Color::DarkGray);
  EXPECT_TRUE(patched.bold);
  EXPECT_TRUE(patched.reverse);
  EXPECT_FALSE(patched.italic);

  EXPECT_EQ(base.patch(Style{}), base);
  EXPECT_EQ(Style{}.patch(base), base);
}

TEST(Style, PaletteEntries) {
  EXPECT_EQ(static_cast<int>(Color::Red), 1);
  EXPECT_EQ(static_cast<int>(Color::Cyan), 6);
  EXPECT_EQ(static_cast<int>(Color::DarkGray), 8);
  EXPECT_EQ(static_cast<int>(Color::White), 15);
}

// ---- buffer ----

TEST(Buffer, SetStringClipsAtTheLimitAndTheRightEdge) {
  Buffer buffer(Rect{0, 0, 6, 2});
  EXPECT_EQ(buffer.set_string(1, 0, "abcdef", fg(Color::Red), 3), 3);
  EXPECT_EQ(buffer.row_text(0), " abc  ");
  EXPECT_EQ(buffer.set_string(3, 1, "abcdef", Style{}, 100), 3);
  EXPECT_EQ(buffer.row_text(1), "   abc");
  EXPECT_EQ(buffer.cell(1, 0).style.fg, Color::Red);
  EXPECT_EQ(buffer.cell(4, 0).style, Style{});
  // Outside the buffer nothing is written.
  EXPECT_EQ(buffer.set_string(6, 0, "x", Style{}, 5), 0);
  EXPECT_EQ(buffer.set_string(0, 2, "x", Style{}, 5), 0);
}

TEST(Buffer, CharactersTakeTheirColumns) {
  struct Case {
    const char* name;
    std::string text;
    std::string row;
    std::uint16_t used;
  };
  const Case cases[] = {
      {"a tab shows as a blank", "a\tb", "a b   ", 3},
      {"an escape shows escaped", "\x1b[c", "\\x1b[c", 6},
      {"an escape cut at the edge", "ab\x07\x07", "ab\\x07", 6},
      {"DEL shows escaped", "\x7f", "\\x7f  ", 4},
      {"a C1 control shows escaped", "\xC2\x9b", "\\u009b", 6},
      {"NUL and the last C0 control", std::string("\0\x1f", 2), "\\x00\\x", 6},
      {"invalid UTF-8 shows as U+FFFD",
       "a\xff"
       "b",
       "a\xEF\xBF\xBD"
       "b   ",
       3},
      {"a combining mark joins its character", "e\xCC\x81x", "e\xCC\x81x    ", 2},
      {"a wide character takes two columns", "\xE4\xB8\xADx", "\xE4\xB8\xADx   ", 3},
      {"a wide character that does not fit is left out", "abcde\xE4\xB8\xAD", "abcde ", 5},
      {"box drawing is narrow", "┌─┐", "┌─┐   ", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Buffer buffer(Rect{0, 0, 6, 1});
    EXPECT_EQ(buffer.set_string(0, 0, c.text, Style{}, 6), c.used);
    EXPECT_EQ(buffer.row_text(0), c.row);
  }
}

TEST(Buffer, OverwritingHalfAWideCharacterBlanksTheOtherHalf) {
  Buffer buffer(Rect{0, 0, 4, 1});
  buffer.set_string(0, 0, "\xE4\xB8\xAD\xE4\xB8\xAD", Style{}, 4);
  ASSERT_EQ(buffer.cell(1, 0).symbol, "");
  buffer.set_string(1, 0, "ab", Style{}, 2);
  EXPECT_EQ(buffer.row_text(0), " ab ");
}

TEST(Buffer, NoCellKeepsDarkGrayTextOnADarkGrayGround) {
  Style ground;
  ground.bg = Color::DarkGray;
  Style gray_on_gray = ground;
  gray_on_gray.fg = Color::DarkGray;
  Style shown = ground;
  shown.fg = Color::Gray;
  EXPECT_EQ(legible(gray_on_gray), shown);
  for (const Style& style : {fg(Color::DarkGray), ground, fg(Color::Cyan)}) {
    EXPECT_EQ(legible(style), style);
  }
  // Whichever comes first, the ground or the text.
  Buffer buffer(Rect{0, 0, 2, 1});
  buffer.set_style(Rect{0, 0, 1, 1}, ground);
  buffer.set_string(0, 0, "ab", fg(Color::DarkGray), 2);
  buffer.set_style(Rect{1, 0, 1, 1}, ground);
  EXPECT_EQ(buffer.cell(0, 0).style, shown);
  EXPECT_EQ(buffer.cell(1, 0).style, shown);
}

TEST(Buffer, WritesPatchTheCellStyle) {
  Buffer buffer(Rect{0, 0, 3, 1});
  Style ground;
  ground.bg = Color::DarkGray;
  buffer.set_style(Rect{0, 0, 3, 1}, ground);
  buffer.set_string(0, 0, "ab", fg(Color::Yellow), 3);
  EXPECT_EQ(buffer.cell(0, 0).style.fg, Color::Yellow);
  EXPECT_EQ(buffer.cell(0, 0).style.bg, Color::DarkGray);
  EXPECT_EQ(buffer.cell(2, 0).style, ground);
}

TEST(Buffer, AreaWithOffset) {
  Buffer buffer(Rect{10, 5, 3, 2});
  EXPECT_TRUE(buffer.contains(12, 6));
  EXPECT_FALSE(buffer.contains(13, 6));
  EXPECT_FALSE(buffer.contains(9, 5));
  buffer.set_string(11, 6, "xyz", Style{}, 10);
  EXPECT_EQ(buffer.row_text(6), " xy");
}

TEST(Text, WidthCountsColumns) {
  EXPECT_EQ(Line(std::vector<Span>{Span("ab"), Span("\xE4\xB8\xAD"), Span("e\xCC\x81")}).width(),
            5u);
  EXPECT_EQ(Line().width(), 0u);
  // As drawn: a tab one blank, escapes their length.
  EXPECT_EQ(Line(std::vector<Span>{Span("\t"), Span("\x1b"), Span("\xC2\x85")}).width(), 11u);
}

TEST(Text, TabsWidenToTheNextStopOfEightColumns) {
  const struct {
    const char* name;
    std::string text;
    std::string expanded;
  } cases[] = {
      {"no tab", "int x;", "int x;"},
      {"leading tab", "\tint x = 1;", "        int x = 1;"},
      {"tab after text", "a\tb", "a       b"},
      {"two tabs", "\t\treturn;", "                return;"},
      {"tab at a stop", "12345678\tx", "12345678        x"},
      {"tab just before a stop", "1234567\tx", "1234567 x"},
      {"a wide character takes two columns", "\xE4\xB8\xAD\tx", "\xE4\xB8\xAD      x"},
      {"a combining mark takes none", "e\xCC\x81\tx", "e\xCC\x81       x"},
      {"an escaped control takes its escape's columns", "\x1b\tx", "\x1b    x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(expand_tabs(c.text), c.expanded);
  }
}

// ---- widgets ----

std::vector<std::string> rows_of(const Buffer& buffer) {
  std::vector<std::string> rows;
  for (std::uint16_t y = buffer.area().y; y < buffer.area().bottom(); ++y) {
    rows.push_back(buffer.row_text(y));
  }
  return rows;
}

TEST(Block, BordersAndTitleInTheBorderStyle) {
  Buffer buffer(Rect{0, 0, 9, 4});
  Block block;
  block.title = Line(" Ab ");
  block.border_style = fg(Color::Cyan);
  block.render(Rect{1, 0, 8, 3}, buffer);
  EXPECT_EQ(rows_of(buffer),
            (std::vector<std::string>{" ┌ Ab ──┐", " │      │", " └──────┘", "         "}));
  for (std::uint16_t x = 1; x < 9; ++x) {
    EXPECT_EQ(buffer.cell(x, 0).style, fg(Color::Cyan)) << x;
    EXPECT_EQ(buffer.cell(x, 2).style, fg(Color::Cyan)) << x;
  }
  EXPECT_EQ(buffer.cell(2, 1).style, Style{});
  EXPECT_EQ(Block::inner(Rect{1, 0, 8, 3}), (Rect{2, 1, 6, 1}));
}

TEST(Block, TitleOwnStyleWinsAndLongTitleStopsBeforeTheCorner) {
  Buffer buffer(Rect{0, 0, 6, 2});
  Block block;
  Style title_style = fg(Color::Yellow);
  title_style.bold = true;
  block.title = Line(Span("Title!", title_style));
  block.border_style = fg(Color::DarkGray);
  block.render(buffer.area(), buffer);
  EXPECT_EQ(rows_of(buffer), (std::vector<std::string>{"┌Titl┐", "└────┘"}));
  EXPECT_EQ(buffer.cell(1, 0).style, title_style);
  EXPECT_EQ(buffer.cell(5, 0).style, fg(Color::DarkGray));
}

TEST(Block, TinyAreasDoNotBreak) {
  for (Rect area :
       {Rect{0, 0, 1, 1}, Rect{0, 0, 2, 1}, Rect{0, 0, 1, 3}, Rect{0, 0, 0, 0}, Rect{2, 2, 5, 5}}) {
    Buffer buffer(Rect{0, 0, 3, 3});
    Block block;
    block.title = Line("x");
    block.render(area, buffer);
    EXPECT_EQ(Block::inner(area).width, area.width >= 2 ? area.width - 2 : 0);
  }
}

TEST(Paragraph, CutsLinesAtTheEdgesAndOverlaysSpanStyles) {
  Buffer buffer(Rect{0, 0, 8, 5});
  Style selected;
  selected.reverse = true;
  Paragraph paragraph;
  paragraph.text = Text(std::vector<Line>{
      Line(std::vector<Span>{Span("ab", fg(Color::Cyan)), Span("cdefgh")}, selected),
      Line("xy"),
      Line("hidden"),
  });
  paragraph.block = Block{};
  paragraph.render(Rect{0, 0, 6, 4}, buffer);
  EXPECT_EQ(rows_of(buffer),
            (std::vector<std::string>{"┌────┐  ", "│abcd│  ", "│xy  │  ", "└────┘  ", "        "}));
  Style cyan_selected = fg(Color::Cyan);
  cyan_selected.reverse = true;
  EXPECT_EQ(buffer.cell(1, 1).style, cyan_selected);
  EXPECT_EQ(buffer.cell(3, 1).style, selected);
  EXPECT_EQ(buffer.cell(1, 2).style, Style{});
}

TEST(Paragraph, StyleCoversTheWholeAreaFirst) {
  Buffer buffer(Rect{0, 0, 6, 2});
  Style bar = fg(Color::White);
  bar.bg = Color::DarkGray;
  Paragraph paragraph;
  paragraph.text = Text(Line(std::vector<Span>{Span(" W", fg(Color::Cyan)), Span(" |")}));
  paragraph.style = bar;
  paragraph.render(Rect{0, 1, 6, 1}, buffer);
  EXPECT_EQ(buffer.row_text(1), " W |  ");
  Style cyan_on_gray = fg(Color::Cyan);
  cyan_on_gray.bg = Color::DarkGray;
  EXPECT_EQ(buffer.cell(1, 1).style, cyan_on_gray);
  EXPECT_EQ(buffer.cell(3, 1).style, bar);
  EXPECT_EQ(buffer.cell(5, 1).style, bar);
  EXPECT_EQ(buffer.cell(0, 0).style, Style{});
}

TEST(Paragraph, NothingDrawnInAnAreaWithoutRoom) {
  Buffer buffer(Rect{0, 0, 4, 2});
  Paragraph paragraph;
  paragraph.text = Text(Line("text"));
  paragraph.block = Block{};
  paragraph.render(Rect{0, 0, 4, 2}, buffer);
  EXPECT_EQ(rows_of(buffer), (std::vector<std::string>{"┌──┐", "└──┘"}));
}

TEST(Frame, RendersWidgetsIntoItsBuffer) {
  Buffer buffer(Rect{0, 0, 4, 1});
  Frame frame(buffer);
  EXPECT_EQ(frame.area(), (Rect{0, 0, 4, 1}));
  Paragraph paragraph;
  paragraph.text = Text(Line("hi"));
  frame.render_widget(paragraph, Rect{2, 0, 2, 1});
  EXPECT_EQ(buffer.row_text(0), "  hi");
}

}  // namespace
}  // namespace vemo::tui
