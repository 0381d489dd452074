#include "tui/render_internal.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

using tui::App;
using tui::Buffer;
using tui::Color;
using tui::Focus;
using tui::Frame;
using tui::InputMode;
using tui::Line;
using tui::Rect;
using tui::Style;

// ---- styles ----

Style fg(Color color) {
  Style style;
  style.fg = color;
  return style;
}
Style on_gray(Style style) {
  style.bg = Color::DarkGray;
  return style;
}
Style bold(Style style) {
  style.bold = true;
  return style;
}
Style italic(Style style) {
  style.italic = true;
  return style;
}
Style reversed(Style style) {
  style.reverse = true;
  return style;
}

std::string describe(const Style& style) {
  static const char* const names[] = {"black", "red",      "green",  "yellow", "blue",   "magenta",
                                      "cyan",  "gray",     "dkgray", "lred",   "lgreen", "lyellow",
                                      "lblue", "lmagenta", "lcyan",  "white"};
  std::string text;
  if (style.fg) text += std::string("fg=") + names[static_cast<int>(*style.fg)];
  if (style.bg) text += std::string(" bg=") + names[static_cast<int>(*style.bg)];
  if (style.bold) text += " bold";
  if (style.italic) text += " italic";
  if (style.reverse) text += " reverse";
  return text;
}

// ---- lines ----

using Spans = std::vector<std::pair<std::string, Style>>;

// "[text|style]" per span, so a mismatch shows where.
std::string describe(const Spans& spans) {
  std::string text;
  for (const auto& [content, style] : spans) text += "[" + content + "|" + describe(style) + "]";
  return text;
}
std::string describe(const Line& line) {
  Spans spans;
  for (const auto& span : line.spans) spans.emplace_back(span.content, span.style);
  return describe(spans);
}

std::string text_of(const Line& line) {
  std::string text;
  for (const auto& span : line.spans) text += span.content;
  return text;
}
std::vector<std::string> texts_of(const std::vector<Line>& lines) {
  std::vector<std::string> texts;
  for (const Line& line : lines) texts.push_back(text_of(line));
  return texts;
}

// ---- cells ----

// The symbols of row `y` from column `x` on, `width` of them, with trailing blanks removed.
std::string cells_text(const Buffer& buffer, std::uint16_t x, std::uint16_t y,
                       std::uint16_t width) {
  std::string text;
  for (std::uint16_t i = 0; i < width; ++i) text += buffer.cell(x + i, y).symbol;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// The rows inside the borders of a panel drawn at `area`.
std::vector<std::string> panel_rows(const Buffer& buffer, Rect area) {
  std::vector<std::string> rows;
  for (std::uint16_t y = area.y + 1; y + 1 < area.y + area.height; ++y) {
    rows.push_back(cells_text(buffer, area.x + 1, y, area.width - 2));
  }
  while (!rows.empty() && rows.back().empty()) rows.pop_back();
  return rows;
}

// The ASCII `text` from (x, y) on, every cell in `style`.
::testing::AssertionResult has_run(const Buffer& buffer, std::uint16_t x, std::uint16_t y,
                                   std::string_view text, const Style& style) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto& cell = buffer.cell(static_cast<std::uint16_t>(x + i), y);
    if (cell.symbol != std::string(1, text[i]) || cell.style != style) {
      return ::testing::AssertionFailure() << "at (" << x + i << ", " << y << "): \"" << cell.symbol
                                           << "\" {" << describe(cell.style) << "}, expected \""
                                           << text[i] << "\" {" << describe(style) << "}";
    }
  }
  return ::testing::AssertionSuccess();
}

// The spans one after another from (x, y) on.
::testing::AssertionResult has_runs(const Buffer& buffer, std::uint16_t x, std::uint16_t y,
                                    const Spans& spans) {
  for (const auto& [text, style] : spans) {
    auto result = has_run(buffer, x, y, text, style);
    if (!result) return result;
    x = static_cast<std::uint16_t>(x + text.size());
  }
  return ::testing::AssertionSuccess();
}

Buffer draw_frame(App& app, std::uint16_t width, std::uint16_t height) {
  Buffer buffer(Rect{0, 0, width, height});
  Frame frame(buffer);
  tui::render_frame(frame, app);
  return buffer;
}

Buffer draw_detail(App& app, std::uint16_t width, std::uint16_t height) {
  Buffer buffer(Rect{0, 0, width, height});
  Frame frame(buffer);
  tui::render_detail_panel(frame, app, buffer.area());
  return buffer;
}

Buffer draw_bottom(App& app, std::uint16_t width) {
  Buffer buffer(Rect{0, 0, width, 1});
  Frame frame(buffer);
  tui::render_bottom_line(frame, app, buffer.area());
  return buffer;
}

// ---- fixtures ----

constexpr std::uint32_t ALL = 0xffffffff;

// Two warps; warp 0 of trace A: 0x10 branch taken (mask 0xf, value 42), 0x20 atomic, 0x30 branch
// not taken; trace B lacks the atomic. Rows: 0x10/0x10, 0x20/- (ExtraA), 0x30/0x30.
TraceBuilder trace_a() {
  return TraceBuilder{}.shape(2, 8).warp(
      0, {event(0x10, 0, 1, 0xf, 42), event(0x20, 2), event(0x30, 0, 0)});
}
TraceBuilder trace_b() {
  return TraceBuilder{}.shape(2, 8).warp(0, {event(0x10, 0, 0, 0xf, 42), event(0x30, 0, 0)});
}

Divergence at(std::uint64_t event_idx, std::uint32_t site, DivergenceKind kind,
              std::optional<SnapshotPair> snapshot = std::nullopt) {
  Divergence divergence;
  divergence.warp_idx = 0;
  divergence.event_idx = event_idx;
  divergence.site_id = site;
  divergence.kind = kind;
  divergence.snapshot = snapshot;
  return divergence;
}

Divergence branch_at_0() {
  return at(0, 0x10, DivergenceKind{BranchKind{1, 0}});
}

SiteMap site_map_of(const std::vector<std::tuple<std::uint32_t, std::string, std::uint32_t>>& s) {
  SiteMap map;
  for (const auto& [site, file, line] : s) {
    SourceLocation location;
    location.site_id = site;
    location.filename = file;
    location.line = line;
    map.insert(location);
  }
  return map;
}

struct Scenario {
  TraceBuilder a = trace_a();
  TraceBuilder b = trace_b();
  std::vector<Divergence> divergences = {branch_at_0()};
  std::optional<SiteMap> site_map = std::nullopt;
  bool float_operands = false;
  bool cross_gpu = false;
};

App make_app(const Scenario& setup) {
  DiffResult diff;
  diff.divergences = setup.divergences;
  diff.total_warps = setup.a.header.num_warps;
  diff.warps_compared = diff.total_warps;
  if (setup.cross_gpu) diff.cross_gpu = CrossGpuInfo{};
  return App(setup.a.build(), setup.b.build(), std::move(diff), setup.site_map,
             setup.float_operands);
}

// ---- frame layout ----

TEST(RenderFrame, LaysOutPanelsDetailAndBottomLine) {
  App app = make_app({});
  app.viewport_height = 24;
  const Buffer buffer = draw_frame(app, 100, 40);

  EXPECT_EQ(app.viewport_height, 40);
  // Event panels take rows 0-28, the detail panel (10 rows) 29-38, the bottom line row 39.
  const struct {
    std::uint16_t x, y;
    const char* symbol;
  } corners[] = {{0, 0, "┌"},   {49, 0, "┐"}, {50, 0, "┌"},  {99, 0, "┐"}, {0, 28, "└"},
                 {99, 28, "┘"}, {0, 29, "┌"}, {99, 29, "┐"}, {0, 38, "└"}, {99, 38, "┘"},
                 {1, 28, "─"},  {0, 1, "│"},  {49, 1, "│"}};
  for (const auto& c : corners) {
    EXPECT_EQ(buffer.cell(c.x, c.y).symbol, c.symbol) << c.x << "," << c.y;
  }
  EXPECT_TRUE(has_run(buffer, 1, 0, " Trace A -- Warp 0 ", fg(Color::Cyan)));
  EXPECT_TRUE(has_run(buffer, 51, 0, " Trace B -- Warp 0 ", fg(Color::DarkGray)));
  EXPECT_TRUE(has_run(buffer, 1, 29, " Detail ", fg(Color::DarkGray)));
  EXPECT_EQ(buffer.cell(0, 39).style.bg, Color::DarkGray);
  EXPECT_EQ(cells_text(buffer, 0, 39, 10), " Warp 0/2");

  EXPECT_EQ(
      panel_rows(buffer, {0, 0, 50, 29}),
      (std::vector<std::string>{"   0 BRN 00000010 TK m:0000000f", "   1 ATM 00000020 m:ffffffff",
                                "   2 BRN 00000030 NT m:ffffffff"}));
  EXPECT_EQ(panel_rows(buffer, {50, 0, 50, 29}),
            (std::vector<std::string>{"   0 BRN 00000010 NT m:0000000f", "   1 --- (no event) ---",
                                      "   2 BRN 00000030 NT m:ffffffff"}));
  EXPECT_EQ(panel_rows(buffer, {0, 29, 100, 10})[0], "  Branch Direction Divergence");

  draw_frame(app, 80, 50);
  EXPECT_EQ(app.viewport_height, 50);
}

TEST(RenderFrame, FocusedPanelHasCyanBorder) {
  const struct {
    Focus focus;
    Color a, b, detail;
  } cases[] = {
      {Focus::TraceA, Color::Cyan, Color::DarkGray, Color::DarkGray},
      {Focus::TraceB, Color::DarkGray, Color::Cyan, Color::DarkGray},
      {Focus::Detail, Color::DarkGray, Color::DarkGray, Color::Cyan},
  };
  App app = make_app({});
  for (const auto& c : cases) {
    app.focus = c.focus;
    const Buffer buffer = draw_frame(app, 100, 40);
    EXPECT_EQ(buffer.cell(0, 0).style, fg(c.a));
    EXPECT_EQ(buffer.cell(99, 28).style, fg(c.b));
    EXPECT_EQ(buffer.cell(0, 38).style, fg(c.detail));
    EXPECT_EQ(buffer.cell(2, 29).style, fg(c.detail));  // title
  }
}

TEST(RenderFrame, DetailHeightFollowsTraceSectionsAndSource) {
  const HistorySpec two_entries{{}, {history_entry(1, 1, 1), history_entry(1, 2, 2)}};
  const struct {
    bool snapshots_b, history_a, history_b, show_source;
    std::uint16_t height;
  } cases[] = {
      {false, false, false, false, 10}, {false, false, true, false, 18},
      {true, false, false, false, 24},  {false, false, false, true, 22},
      {false, false, true, true, 30},   {true, true, false, true, 36},
  };
  for (const auto& c : cases) {
    Scenario setup;
    if (c.snapshots_b) setup.b.snapshots(1, {});
    if (c.history_a) setup.a.history(2, {{0, two_entries}});
    if (c.history_b) setup.b.history(2, {{0, two_entries}});
    App app = make_app(setup);
    app.show_source = c.show_source;
    EXPECT_EQ(
        tui::detail_panel_height(app.model.trace_a.header, app.model.trace_b.header, c.show_source),
        c.height);

    const std::uint16_t top = 59 - c.height;
    const Buffer buffer = draw_frame(app, 100, 60);
    EXPECT_EQ(buffer.cell(0, top).symbol, "┌") << c.height;
    EXPECT_EQ(cells_text(buffer, 1, top, 8), " Detail") << c.height;
    EXPECT_EQ(buffer.cell(0, top - 1).symbol, "└") << c.height;
  }
}

TEST(RenderFrame, TinyTerminalsGetWhatFits) {
  App app = make_app({});
  app.show_source = true;
  const struct {
    std::uint16_t width, height;
  } sizes[] = {{0, 0}, {1, 1}, {3, 2}, {20, 8}, {200, 3}};
  for (const auto& size : sizes) {
    const Buffer buffer = draw_frame(app, size.width, size.height);
    EXPECT_EQ(app.viewport_height, size.height);
    EXPECT_EQ(buffer.area().width, size.width);
  }
}

// ---- event panels ----

TEST(EventPanel, LabelsNeedAPanelOf51Columns) {
  Scenario setup;
  setup.site_map = site_map_of({{0x10, "k.cu", 3}});
  App app = make_app(setup);
  const struct {
    std::uint16_t width;
    bool label_a, label_b;
  } cases[] = {{100, false, false}, {101, false, true}, {102, true, true}};
  for (const auto& c : cases) {
    const Buffer buffer = draw_frame(app, c.width, 40);
    const std::uint16_t right = c.width / 2;
    const std::string a = cells_text(buffer, 1, 1, right - 2);
    const std::string b = cells_text(buffer, right + 1, 1, c.width - right - 2);
    EXPECT_EQ(
        a, c.label_a ? "   0 BRN 00000010 TK m:0000000f k.cu:3" : "   0 BRN 00000010 TK m:0000000f")
        << c.width;
    EXPECT_EQ(
        b, c.label_b ? "   0 BRN 00000010 NT m:0000000f k.cu:3" : "   0 BRN 00000010 NT m:0000000f")
        << c.width;
    if (c.label_a) {
      // Reverse video: row 0 is the cursor row.
      EXPECT_TRUE(has_run(buffer, 33, 1, "k.cu:3", reversed(fg(Color::Green))));
    }
  }
}

TEST(EventPanel, RowLineColumnsByEventType) {
  const struct {
    std::uint8_t type, dir;
    const char* text;
    Color code_color;
  } cases[] = {
      {0, 1, "   7 BRN 0000abcd TK m:0000000f ", Color::Yellow},
      {0, 0, "   7 BRN 0000abcd NT m:0000000f ", Color::Yellow},
      {1, 1, "   7 SHM 0000abcd m:0000000f ", Color::Magenta},
      {2, 0, "   7 ATM 0000abcd m:0000000f ", Color::Blue},
      {3, 0, "   7 FEN 0000abcd m:0000000f ", Color::Green},
      {4, 0, "   7 FEX 0000abcd m:0000000f ", Color::Green},
      {5, 0, "   7 SWT 0000abcd m:0000000f ", Color::White},
      {6, 0, "   7 GLB 0000abcd m:0000000f ", Color::White},
      {200, 0, "   7 ??? 0000abcd m:0000000f ", Color::White},
  };
  for (const auto& c : cases) {
    tui::AlignedRow row;
    row.index = 7;
    row.a = tui::AlignedSide{.label = "x.cu:1",
                             .event_index = 0,
                             .site_id = 0xabcd,
                             .active_mask = 0xf,
                             .value = 0,
                             .event_type = c.type,
                             .branch = c.dir};
    const Line line = tui::event_row_line(row, TraceSide::A, false, false, 50);
    EXPECT_EQ(text_of(line), c.text);
    Spans expected{{"   7 ", fg(Color::DarkGray)},
                   {std::string(c.text).substr(5, 4), fg(c.code_color)},
                   {"0000abcd ", fg(Color::Cyan)}};
    if (c.type == 0) expected.push_back({c.dir ? "TK " : "NT ", fg(Color::White)});
    expected.push_back({"m:0000000f ", fg(Color::DarkGray)});
    EXPECT_EQ(describe(line), describe(expected));
    EXPECT_EQ(line.style, Style{});
  }
}

TEST(EventPanel, OneSidedRowShowsPlaceholderItalicOrReversed) {
  App app = make_app({});
  Buffer buffer = draw_frame(app, 100, 40);
  EXPECT_TRUE(has_run(buffer, 51, 2, "   1 --- (no event) ---", italic(fg(Color::DarkGray))));

  app.cursor = 1;
  buffer = draw_frame(app, 100, 40);
  EXPECT_TRUE(has_run(buffer, 51, 2, "   1 --- (no event) ---", reversed(fg(Color::DarkGray))));
  // The present side is drawn normally, in reverse video on the cursor row.
  EXPECT_TRUE(has_runs(buffer, 1, 2,
                       {{"   1 ", reversed(fg(Color::DarkGray))},
                        {"ATM ", reversed(fg(Color::Blue))},
                        {"00000020 ", reversed(fg(Color::Cyan))},
                        {"m:ffffffff ", reversed(fg(Color::DarkGray))}}));
}

TEST(EventPanel, CursorRowReversedAndSearchMatchesOnDarkGray) {
  App app = make_app({});  // row 0 carries the Branch marker
  app.search_active = true;
  app.search_matches = {0, 1, 2};  // the cursor row matches too: reverse video wins
  const Buffer buffer = draw_frame(app, 100, 40);

  for (const std::uint16_t x : {1, 51}) {
    EXPECT_TRUE(has_runs(buffer, x, 1,
                         {{"   0 ", reversed(fg(Color::DarkGray))},
                          {"BRN ", reversed(fg(Color::Yellow))},
                          {"00000010 ", reversed(fg(Color::Cyan))}}));
    EXPECT_TRUE(has_runs(buffer, x, 3,
                         {{"   2 ", on_gray(fg(Color::Gray))},
                          {"BRN ", on_gray(fg(Color::Yellow))},
                          {"00000030 ", on_gray(fg(Color::Cyan))},
                          {"NT ", on_gray(fg(Color::White))},
                          {"m:ffffffff ", on_gray(fg(Color::Gray))}}));
  }
  // Dark gray text shows as gray on the dark gray ground.
  EXPECT_TRUE(has_run(buffer, 1, 2, "   1 ", on_gray(fg(Color::Gray))));
  // The absent side of a match gets no highlight.
  EXPECT_TRUE(has_run(buffer, 51, 2, "   1 --- (no event) ---", italic(fg(Color::DarkGray))));

  // Matches kept without an active search are not highlighted.
  app.search_active = false;
  const Buffer plain = draw_frame(app, 100, 40);
  EXPECT_TRUE(has_run(plain, 1, 3, "   2 ", fg(Color::DarkGray)));
}

TEST(EventPanel, ListsRowsFromScrollWithinItsHeight) {
  Scenario setup;
  std::vector<TraceEvent> events;
  for (std::uint32_t site = 1; site <= 6; ++site) events.push_back(event(site, 2));
  setup.a = TraceBuilder{}.shape(2, 8).warp(0, events);
  setup.b = setup.a;
  setup.divergences = {at(0, 1, DivergenceKind{ValueKind{1, 2}})};
  App app = make_app(setup);
  app.scroll = 1;
  // 17 rows: event area 6 (4 rows listed), detail 10, bottom line 1.
  Buffer buffer = draw_frame(app, 100, 17);
  EXPECT_EQ(
      panel_rows(buffer, {0, 0, 50, 6}),
      (std::vector<std::string>{"   1 ATM 00000002 m:ffffffff", "   2 ATM 00000003 m:ffffffff",
                                "   3 ATM 00000004 m:ffffffff", "   4 ATM 00000005 m:ffffffff"}));

  // A scroll past the last row (a stale search match) leaves the panels empty.
  app.scroll = 6;
  app.cursor = 6;
  buffer = draw_frame(app, 100, 17);
  EXPECT_TRUE(panel_rows(buffer, {0, 0, 50, 6}).empty());
  EXPECT_TRUE(panel_rows(buffer, {50, 0, 50, 6}).empty());
  EXPECT_EQ(buffer.cell(0, 0).symbol, "┌");
  EXPECT_EQ(panel_rows(buffer, {0, 6, 100, 10}), (std::vector<std::string>{"  No event selected"}));
}

TEST(EventPanel, WarpWithoutRows) {
  App app = make_app({});
  app.current_warp = 1;
  const Buffer buffer = draw_frame(app, 100, 40);
  EXPECT_TRUE(has_run(buffer, 1, 1, "  (no events)", fg(Color::DarkGray)));
  EXPECT_TRUE(has_run(buffer, 51, 1, "  (no events)", fg(Color::DarkGray)));
  EXPECT_TRUE(has_run(buffer, 1, 0, " Trace A -- Warp 1 ", fg(Color::Cyan)));
  EXPECT_EQ(cells_text(buffer, 0, 39, 20), " Warp 1/2 | Row 1/0");
  EXPECT_EQ(panel_rows(buffer, {0, 29, 100, 10}),
            (std::vector<std::string>{"  No event selected"}));
  EXPECT_EQ(buffer.cell(3, 30).style, Style{});
}

// ---- bottom line ----

const Style GROUND = on_gray(fg(Color::White));
// Separators, hints and the kernel name: dark gray, which shows as gray on the dark gray ground.
const Style HINT = on_gray(fg(Color::Gray));

TEST(BottomLine, NormalModeSegments) {
  Scenario setup;
  setup.a.kernel("saxpy", 1);
  App app = make_app(setup);
  const auto status = [&](std::string_view search) {
    Spans spans{{" Warp 0/2", on_gray(fg(Color::Cyan))},
                {" | ", HINT},
                {"Row 1/3", GROUND},
                {" | ", HINT},
                {"Div 1/1", on_gray(fg(Color::Red))}};
    if (!search.empty()) spans.push_back({std::string(search), on_gray(fg(Color::Yellow))});
    spans.push_back({" | ", HINT});
    spans.push_back({"[n]ext [N]prev [/]warp [?]search [s]ource [q]uit ", HINT});
    spans.push_back({"saxpy", HINT});
    spans.push_back({"   ", GROUND});  // the rest of the row
    return spans;
  };
  EXPECT_TRUE(has_runs(draw_bottom(app, 120), 0, 0, status("")));

  app.search_active = true;
  app.search_query = "br";
  app.search_matches = {0, 1, 2};
  app.match_index = 0;
  EXPECT_TRUE(has_runs(draw_bottom(app, 120), 0, 0, status(" [?\"br\" 1/3]")));
}

TEST(BottomLine, DivergenceSegmentGreenWithoutDivergences) {
  Scenario setup;
  setup.divergences = {};
  App app = make_app(setup);
  EXPECT_TRUE(has_run(draw_bottom(app, 120), 22, 0, "Div 0/0", on_gray(fg(Color::Green))));
}

TEST(BottomLine, InputPrompts) {
  App app = make_app({});
  app.input_mode = InputMode::WarpJump;
  app.warp_input = "12";
  EXPECT_TRUE(has_runs(draw_bottom(app, 80), 0, 0,
                       {{" Jump to warp: ", on_gray(fg(Color::Yellow))},
                        {"12", bold(GROUND)},
                        {"_  (Enter=confirm, Esc=cancel)", HINT},
                        {"  ", GROUND}}));

  app.input_mode = InputMode::Search;
  app.search_query = "ab";
  app.search_matches = {0, 2};
  EXPECT_TRUE(has_runs(draw_bottom(app, 80), 0, 0,
                       {{" Search: ", on_gray(fg(Color::Yellow))},
                        {"ab", bold(GROUND)},
                        {"_  (2 matches, Enter=confirm, Esc=cancel)", HINT},
                        {"  ", GROUND}}));
}

// ---- detail panel ----

TEST(DetailPanel, IdenticalTracesShowOnlyTheVerdict) {
  Scenario setup;
  setup.divergences = {};
  App app = make_app(setup);
  app.cursor = 1;  // a one-sided row
  const Buffer buffer = draw_detail(app, 60, 10);
  EXPECT_EQ(panel_rows(buffer, buffer.area()),
            (std::vector<std::string>{"  Traces are IDENTICAL -- no divergences found"}));
  EXPECT_TRUE(has_run(buffer, 1, 1, "  Traces are IDENTICAL -- no divergences found",
                      bold(fg(Color::Green))));
}

TEST(DetailPanel, ActiveMaskBitsAndSourceLabelFitTenRows) {
  Scenario setup;
  setup.divergences = {at(0, 0x10, DivergenceKind{ActiveMaskKind{0xf, 0x7}})};
  setup.site_map = site_map_of({{0x10, "k.cu", 3}});
  App app = make_app(setup);
  const Buffer buffer = draw_detail(app, 60, 10);
  EXPECT_EQ(panel_rows(buffer, buffer.area()),
            (std::vector<std::string>{"  Active Mask Mismatch",
                                      "  A: ............................#### (4)",
                                      "  B: .............................### (3)",
                                      "  Differ: 0x00000008 (1 lanes)", "  Source: k.cu:3"}));
  EXPECT_TRUE(has_run(buffer, 1, 1, "  Active Mask Mismatch", bold(fg(Color::Magenta))));
  const std::string clear(28, '.');
  EXPECT_TRUE(has_runs(buffer, 1, 2,
                       {{"  A: ", fg(Color::White)},
                        {clear, fg(Color::DarkGray)},
                        {"#", fg(Color::Red)},
                        {"###", fg(Color::Green)},
                        {" (4)", fg(Color::DarkGray)}}));
  EXPECT_TRUE(has_runs(buffer, 1, 3,
                       {{"  B: ", fg(Color::White)},
                        {clear, fg(Color::DarkGray)},
                        {".", fg(Color::Red)},
                        {"###", fg(Color::Green)},
                        {" (3)", fg(Color::DarkGray)}}));
  EXPECT_TRUE(has_runs(
      buffer, 1, 4, {{"  Differ: ", fg(Color::White)}, {"0x00000008 (1 lanes)", fg(Color::Red)}}));
  EXPECT_TRUE(
      has_runs(buffer, 1, 5, {{"  Source: ", fg(Color::White)}, {"k.cu:3", fg(Color::Green)}}));
}

TEST(DetailPanel, TenRowPanelCutsLongTextAtItsBorders) {
  Scenario setup;
  setup.divergences = {branch_at_0(), at(0, 0x10, DivergenceKind{ActiveMaskKind{0xf, 0x7}}),
                       at(0, 0x10, DivergenceKind{ValueKind{1, 2}})};
  App app = make_app(setup);
  const Buffer buffer = draw_detail(app, 30, 10);
  EXPECT_EQ(
      panel_rows(buffer, buffer.area()),
      (std::vector<std::string>{"  Branch Direction Divergenc", "  Trace A: TAKEN",
                                "  Trace B: NOT-TAKEN", "  Active Mask Mismatch",
                                "  A: .......................", "  B: .......................",
                                "  Differ: 0x00000008 (1 lane", "  Value Mismatch"}));
  EXPECT_EQ(buffer.cell(29, 5).symbol, "│");
  EXPECT_EQ(buffer.cell(0, 9).symbol, "└");
  EXPECT_EQ(buffer.cell(5, 9).symbol, "─");
}

TEST(DetailPanel, MarkerSectionsInMarkerOrder) {
  const Spans trace_values_a{{"  Trace A: ", fg(Color::White)},
                             {"1 (0x00000001)", fg(Color::Cyan)}};
  const struct {
    const char* name;
    TraceBuilder a, b;
    std::vector<Divergence> divergences;
    std::size_t cursor;
    std::vector<Spans> lines;
  } cases[] = {
      {"value then branch",
       trace_a(),
       trace_b(),
       {at(0, 0x10, DivergenceKind{ValueKind{1, 4294967295u}}), branch_at_0()},
       0,
       {{{"  Value Mismatch", bold(fg(Color::Blue))}},
        trace_values_a,
        {{"  Trace B: ", fg(Color::White)}, {"4294967295 (0xffffffff)", fg(Color::Magenta)}},
        {{"  Branch Direction Divergence", bold(fg(Color::Yellow))}},
        {{"  Trace A: ", fg(Color::White)}, {"TAKEN", fg(Color::Cyan)}},
        {{"  Trace B: ", fg(Color::White)}, {"NOT-TAKEN", fg(Color::Magenta)}}}},
      {"extra in A",
       trace_a(),
       trace_b(),
       {branch_at_0()},
       1,
       {{{"  Extra Event (Drift) -- only in Trace A", fg(Color::Cyan)}}}},
      {"extra in B",
       trace_b(),
       trace_a(),
       {branch_at_0()},
       1,
       {{{"  Extra Event (Drift) -- only in Trace B", fg(Color::Cyan)}}}},
      {"path",
       TraceBuilder{}.shape(1, 4).warp(0, {event(0xa1), event(0xa2)}),
       TraceBuilder{}.shape(1, 4).warp(0, {event(0xb1), event(0xb2)}),
       {at(0, 0xa1, DivergenceKind{PathKind{0xa1, 0xb1}})},
       0,
       {{{"  TRUE PATH DIVERGENCE", bold(fg(Color::Red))}},
        {{"  Trace A reached: ", fg(Color::White)}, {"0x000000a1", fg(Color::Cyan)}},
        {{"  Trace B reached: ", fg(Color::White)}, {"0x000000b1", fg(Color::Magenta)}},
        {{"  Control flow has truly diverged", fg(Color::Red)}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    App app = make_app({.a = c.a, .b = c.b, .divergences = c.divergences});
    app.cursor = c.cursor;
    const auto lines = tui::detail_lines(app);
    ASSERT_EQ(lines.size(), c.lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(describe(lines[i]), describe(c.lines[i])) << i;
    }
  }
}

TEST(DetailPanel, UnmarkedRowDescribesTheTraceAEventOnly) {
  Scenario setup;
  setup.a = TraceBuilder{}.shape(2, 8).warp(0, {event(0x10, 3, 0, 0xf0f, 42)});
  setup.a.history(2, {{0, HistorySpec{{}, {history_entry(0x10, 5, 1)}}}});
  setup.b = TraceBuilder{}.shape(2, 8).warp(0, {event(0x10, 3, 0, 0, 7)});
  Divergence elsewhere = at(0, 0x99, DivergenceKind{ValueKind{1, 2}});
  elsewhere.warp_idx = 1;
  setup.divergences = {elsewhere};
  setup.site_map = site_map_of({{0x10, "dir/k.cu", 12}});
  App app = make_app(setup);
  app.current_warp = 0;    // the viewer opens on the diverged warp 1
  app.show_source = true;  // no effect on unmarked rows
  const auto lines = tui::detail_lines(app);
  const std::vector<Spans> expected = {
      {{"  Event: ", fg(Color::White)}, {"Function Entry at site 0x00000010", fg(Color::Cyan)}},
      {{"  Source: ", fg(Color::White)}, {"dir/k.cu:12", fg(Color::Green)}},
      {{"  Value: ", fg(Color::White)}, {"42 (0x0000002a)", fg(Color::White)}},
      {{"  Mask:  ", fg(Color::White)}, {"0x00000f0f (8 threads active)", fg(Color::White)}},
  };
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(describe(lines[i]), describe(expected[i])) << i;
  }
}

TEST(DetailPanel, NoEventSelectedPastTheLastRow) {
  App app = make_app({});
  app.cursor = 3;
  const Buffer buffer = draw_detail(app, 60, 10);
  EXPECT_EQ(panel_rows(buffer, buffer.area()), (std::vector<std::string>{"  No event selected"}));
  EXPECT_TRUE(has_run(buffer, 1, 1, "  No event selected", Style{}));
}

// ---- operands ----

SnapshotPair operands(std::uint32_t lanes, std::uint32_t predicate, std::uint32_t value,
                      std::uint32_t lhs_b) {
  SnapshotPair pair;
  pair.lhs_a.fill(value);
  pair.rhs_a.fill(value);
  pair.lhs_b.fill(lhs_b);
  pair.rhs_b.fill(value);
  pair.predicate = predicate;
  pair.lane_mask_a = lanes;
  return pair;
}

TEST(OperandsPanel, HeaderAndLaneTextsByPredicate) {
  constexpr std::uint32_t ONE = 0x3f800000;  // 1.0f
  const struct {
    std::uint32_t predicate;
    bool float_operands;
    std::uint32_t bits;
    const char* text;
  } cases[] = {
      {4, false, ONE, "1.0000"},
      {3, false, ONE, "1065353216"},
      {3, true, ONE, "1.0000"},
      {1, false, ONE, "1.0000"},
      {2, false, 0xbfc00000, "-1.5000"},
      {14, false, 0x3dcccccd, "0.1000"},
      {40, false, ALL, "-1"},
      {0, false, ALL, "-1"},
      {4, false, 0x7fc00000, "NaN"},
      {4, false, 0xffc00000, "NaN"},
      {4, false, 0x7f800000, "inf"},
      {4, false, 0xff800000, "-inf"},
  };
  for (const auto& c : cases) {
    std::vector<Line> lines;
    tui::render_operands_panel(lines, operands(1, c.predicate, c.bits, c.bits), c.float_operands);
    ASSERT_EQ(lines.size(), 4u);
    const std::string t = c.text;
    const std::string pad(10 - t.size(), ' ');
    EXPECT_EQ(describe(lines[3]),
              describe(Spans{{"       0  " + t + pad + t + pad + t + pad + t, fg(Color::White)}}))
        << c.predicate << " " << c.bits;
  }

  std::vector<Line> lines;
  tui::render_operands_panel(lines, operands(1, 40, 5, 6), false);
  EXPECT_EQ(text_of(lines[0]), "");
  EXPECT_EQ(describe(lines[1]), describe(Spans{{"  Per-Lane Operands:", bold(fg(Color::White))}}));
  EXPECT_EQ(describe(lines[2]), describe(Spans{{"    Lane  ", fg(Color::DarkGray)},
                                               {"A:lhs     ", fg(Color::Cyan)},
                                               {"A:rhs     ", fg(Color::Cyan)},
                                               {"B:lhs     ", fg(Color::Magenta)},
                                               {"B:rhs", fg(Color::Magenta)}}));
  EXPECT_EQ(describe(lines[3]),
            describe(Spans{{"       0  5         5         6         5 <<<", fg(Color::Red)}}));
}

// The lane number of an operand line ("    {:>4}  ...").
std::string lane_of(const std::string& text) {
  std::string lane = text.substr(4, 4);
  lane.erase(0, lane.find_first_not_of(' '));
  return lane;
}

TEST(OperandsPanel, ListsAtMostSixLanesOfBothMasks) {
  const struct {
    std::uint32_t mask_a, mask_b;
    std::vector<std::string> lanes;
    const char* more;
  } cases[] = {
      {0x1ff, 0, {"0", "1", "2", "3", "4", "5"}, "    ... 3 more active lanes"},
      {0x80000003, 0x0c, {"0", "1", "2", "3", "31"}, nullptr},
      {0x15, 0x2a, {"0", "1", "2", "3", "4", "5"}, nullptr},
      {0, 0x80000000 | 0x7f, {"0", "1", "2", "3", "4", "5"}, "    ... 2 more active lanes"},
      {0, 0, {}, nullptr},
  };
  for (const auto& c : cases) {
    SnapshotPair pair = operands(c.mask_a, 40, 0, 0);
    pair.lane_mask_b = c.mask_b;
    std::vector<Line> lines;
    tui::render_operands_panel(lines, pair, false);
    std::vector<std::string> lanes;
    for (std::size_t i = 3; i < lines.size() && i < 3 + c.lanes.size(); ++i) {
      lanes.push_back(lane_of(text_of(lines[i])));
    }
    EXPECT_EQ(lanes, c.lanes);
    const std::size_t expected_size = 3 + c.lanes.size() + (c.more ? 1 : 0);
    ASSERT_EQ(lines.size(), expected_size);
    if (c.more) {
      EXPECT_EQ(describe(lines.back()), describe(Spans{{c.more, fg(Color::DarkGray)}}));
    }
  }
}

TEST(DetailPanel, OperandsComeFromTheFirstSnapshotOfTheSite) {
  Scenario setup;
  // Two rows at site 0x10 with branch divergences; the first snapshot of the site belongs to the
  // second row's, a later one (at an event index without a row) differs. The value divergence at
  // 0x30 has no snapshot. Warp 1's snapshot at 0x10, listed first, belongs to another warp.
  setup.a = TraceBuilder{}.shape(2, 8).warp(0, {event(0x10), event(0x10), event(0x30)});
  setup.a.snapshots(1, {});
  setup.b = setup.a;
  Divergence other_warp = at(0, 0x10, DivergenceKind{BranchKind{1, 0}}, operands(1, 40, 3, 3));
  other_warp.warp_idx = 1;
  setup.divergences = {other_warp, at(0, 0x10, DivergenceKind{BranchKind{1, 0}}),
                       at(1, 0x10, DivergenceKind{BranchKind{1, 0}}, operands(1, 40, 7, 7)),
                       at(5, 0x10, DivergenceKind{BranchKind{1, 0}}, operands(1, 40, 9, 9)),
                       at(2, 0x30, DivergenceKind{ValueKind{1, 2}})};
  App app = make_app(setup);
  for (const std::size_t row : {0u, 1u}) {
    app.cursor = row;
    const auto texts = texts_of(tui::detail_lines(app));
    ASSERT_GE(texts.size(), 7u) << row;
    EXPECT_EQ(texts[4], "  Per-Lane Operands:");
    EXPECT_EQ(texts[6], "       0  7         7         7         7");
  }
  app.cursor = 2;
  EXPECT_EQ(texts_of(tui::detail_lines(app)),
            (std::vector<std::string>{"  Value Mismatch", "  Trace A: 1 (0x00000001)",
                                      "  Trace B: 2 (0x00000002)"}));
}

// ---- value history ----

TEST(DetailPanel, ValueHistoryShowsTheLastFourEntriesOfEachTrace) {
  std::vector<HistoryEntry> ten;
  for (std::uint32_t seq = 10; seq >= 1; --seq) ten.push_back(history_entry(0x10, 100 + seq, seq));
  const HistorySpec two{{}, {history_entry(0xabcd, 7, 1), history_entry(0xabcd, 4294967295u, 2)}};
  Scenario setup;
  setup.a.history(10, {{0, HistorySpec{{}, ten}}});
  setup.b.history(10, {{0, two}});
  setup.site_map = site_map_of({{0x10, "k.cu", 3}});
  App app = make_app(setup);
  const auto lines = tui::detail_lines(app);
  const std::vector<std::string> expected = {
      "  Branch Direction Divergence",
      "  Trace A: TAKEN",
      "  Trace B: NOT-TAKEN",
      "  Source: k.cu:3",
      "",
      "  Value History:",
      "    Trace A:",
      "      [-4] val=107        k.cu:3",
      "      [-3] val=108        k.cu:3",
      "      [-2] val=109        k.cu:3",
      "      [-1] val=110        k.cu:3",
      "    Trace B:",
      "      [-2] val=7          0x0000abcd",
      "      [-1] val=4294967295 0x0000abcd",
  };
  EXPECT_EQ(texts_of(lines), expected);
  ASSERT_EQ(lines.size(), expected.size());
  EXPECT_EQ(describe(lines[5]), describe(Spans{{"  Value History:", bold(fg(Color::White))}}));
  EXPECT_EQ(describe(lines[6]), describe(Spans{{"    Trace A:", fg(Color::Cyan)}}));
  EXPECT_EQ(describe(lines[7]), describe(Spans{{"      [-4] ", fg(Color::DarkGray)},
                                               {"val=107        ", fg(Color::Cyan)},
                                               {"k.cu:3", fg(Color::Green)}}));
  EXPECT_EQ(describe(lines[11]), describe(Spans{{"    Trace B:", fg(Color::Magenta)}}));
  EXPECT_EQ(describe(lines[12]), describe(Spans{{"      [-2] ", fg(Color::DarkGray)},
                                                {"val=7          ", fg(Color::Magenta)},
                                                {"0x0000abcd", fg(Color::Green)}}));
}

TEST(DetailPanel, ValueHistoryOfTraceBAlone) {
  Scenario setup;
  setup.b.history(4, {{0, HistorySpec{{}, {history_entry(0x30, 1, 5)}}}});
  App app = make_app(setup);
  const auto texts = texts_of(tui::detail_lines(app));
  EXPECT_EQ(std::vector<std::string>(texts.begin() + 3, texts.end()),
            (std::vector<std::string>{
                "", "  Value History:", "    Trace B:", "      [-1] val=1          0x00000030"}));

  // History flagged but empty for the warp adds nothing.
  Scenario empty;
  empty.b.history(4, {});
  App quiet = make_app(empty);
  EXPECT_EQ(tui::detail_lines(quiet).size(), 3u);
}

TEST(DetailPanel, CrossGpuValueHistoryComesFromTheDivergencesChunk) {
  // Trace A on AMD (one 64-lane warp), trace B on NVIDIA (two 32-lane warps): chunk 0 is A's
  // warp 0 and B's warps 0 and 1, of which only warp 1 has history.
  Scenario setup;
  setup.cross_gpu = true;
  setup.a.header.cuda_arch = 4096;
  setup.a.shape(1, 8).history(4, {{0, HistorySpec{{}, {history_entry(0x10, 3, 1)}}}});
  setup.b.header.cuda_arch = 80;
  setup.b.history(4, {{1, HistorySpec{{}, {history_entry(0x30, 9, 2)}}}});
  App app = make_app(setup);
  const auto texts = texts_of(tui::detail_lines(app));
  EXPECT_EQ(std::vector<std::string>(texts.begin() + 3, texts.end()),
            (std::vector<std::string>{
                "", "  Value History:", "    Trace A:", "      [-1] val=3          0x00000010",
                "    Trace B:", "      [-1] val=9          0x00000030"}));
}

// ---- source ----

std::string numbered_file(const std::string& name, std::size_t count) {
  std::string text;
  for (std::size_t n = 1; n <= count; ++n) text += "line " + std::to_string(n) + "\n";
  const std::filesystem::path path = scratch_dir() / name;
  write_file(path, text);
  return path.string();
}

TEST(DetailPanel, SourceSnippetMarksTheSiteLine) {
  Scenario setup;
  setup.divergences = {at(0, 0x10, DivergenceKind{ValueKind{1, 2}})};
  setup.site_map = site_map_of({{0x10, numbered_file("kernel.cu", 20), 3}});
  App app = make_app(setup);
  app.show_source = true;
  const Buffer buffer = draw_frame(app, 100, 40);
  // Detail panel: 22 rows from row 17.
  const auto rows = panel_rows(buffer, {0, 17, 100, 22});
  ASSERT_EQ(rows.size(), 14u);
  EXPECT_EQ(
      std::vector<std::string>(rows.begin() + 4, rows.end()),
      (std::vector<std::string>{"", "  Source: kernel.cu", "       1 line 1", "       2 line 2",
                                "  >    3 line 3", "       4 line 4", "       5 line 5",
                                "       6 line 6", "       7 line 7", "       8 line 8"}));
  EXPECT_TRUE(has_runs(buffer, 1, 23,
                       {{"  Source: ", bold(fg(Color::White))}, {"kernel.cu", fg(Color::Green)}}));
  EXPECT_TRUE(
      has_runs(buffer, 1, 24, {{"       1 ", fg(Color::DarkGray)}, {"line 1", fg(Color::White)}}));
  EXPECT_TRUE(
      has_runs(buffer, 1, 26,
               {{"  >    3 ", bold(fg(Color::Yellow))}, {"line 3", bold(fg(Color::Yellow))}}));
}

TEST(DetailPanel, SourceLinesWidenTabsAndShowControlsEscaped) {
  // Tab stops count from the start of the line's text, after the marker and the number.
  const std::string source =
      "\tint x = 1;\n"
      "a\tb\n"
      "\t\treturn;\n"
      "\xE4\xB8\xAD\tw\n"
      "t\x1b]0;X\x07\tend\n"
      "c1 \xC2\x9b\x7f\n";
  const std::filesystem::path path = scratch_dir() / "tabs.cu";
  write_file(path, source);
  Scenario setup;
  setup.divergences = {at(0, 0x10, DivergenceKind{ValueKind{1, 2}})};
  setup.site_map = site_map_of({{0x10, path.string(), 1}});
  const struct {
    std::uint16_t width;
    std::vector<std::string> rows;
  } cases[] = {
      {100,
       {"  >    1         int x = 1;", "       2 a       b", "       3                 return;",
        "       4 \xE4\xB8\xAD      w", "       5 t\\x1b]0;X\\x07   end",
        "       6 c1 \\u009b\\x7f"}},
      // Cut at the panel's right border: 19 columns of text.
      {30,
       {"  >    1         int x = 1;", "       2 a       b", "       3                 ret",
        "       4 \xE4\xB8\xAD      w", "       5 t\\x1b]0;X\\x07   end",
        "       6 c1 \\u009b\\x7f"}},
      // 8 columns: an escape is cut like any other text.
      {19,
       {"  >    1", "       2 a", "       3", "       4 \xE4\xB8\xAD", "       5 t\\x1b]0;",
        "       6 c1 \\u009"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    App app = make_app(setup);
    app.show_source = true;
    const Buffer buffer = draw_frame(app, c.width, 40);
    const auto rows = panel_rows(buffer, {0, 17, c.width, 22});
    ASSERT_GE(rows.size(), 12u);
    EXPECT_EQ(std::vector<std::string>(rows.begin() + 6, rows.begin() + 12), c.rows);
  }
}

TEST(DetailPanel, SourceOfATraceBRowWithoutMappingOrFile) {
  // Row 1 holds only trace B's 0x20 event.
  Scenario base;
  base.a = trace_b();
  base.b = trace_a();
  const struct {
    const char* name;
    std::optional<SiteMap> site_map;
    std::vector<std::string> tail;
  } cases[] = {
      {"no site map", std::nullopt, {"", "  [source: no site mapping available]"}},
      {"site not in map",
       site_map_of({{0x10, "k.cu", 1}}),
       {"", "  [source: no site mapping available]"}},
      {"missing file",
       site_map_of({{0x20, (scratch_dir() / "gone" / "missing.cu").string(), 4}}),
       {"", "  Source: missing.cu", "  [source: file not found]"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scenario setup = base;
    setup.site_map = c.site_map;
    App app = make_app(setup);
    app.cursor = 1;
    app.show_source = true;
    const auto lines = tui::detail_lines(app);
    std::vector<std::string> expected{"  Extra Event (Drift) -- only in Trace B"};
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(texts_of(lines), expected);
    EXPECT_EQ(lines.back().spans.back().style, fg(Color::DarkGray));
  }
}

TEST(SourcePanel, FileNameIsTheLastComponent) {
  const struct {
    std::string path, name;
  } cases[] = {
      {"dir/sub/k.cu", "k.cu"},
      {"k.cu", "k.cu"},
      {"/abs/k.cu", "k.cu"},
      {"dir/", "dir"},
      {"dir/./", "dir"},
      {"/", "/"},
      {"..", ".."},
      {"a/..", "a/.."},
      {"", ""},
      {"d/\xff.cu", "d/\xff.cu"},
  };
  for (const auto& c : cases) {
    std::vector<Line> lines;
    tui::render_source_panel(lines, std::nullopt, c.path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(describe(lines[1]),
              describe(Spans{{"  Source: ", bold(fg(Color::White))}, {c.name, fg(Color::Green)}}))
        << c.path;
  }
}

}  // namespace
}  // namespace vemo::testing
