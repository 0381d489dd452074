#include "tui/render_internal.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "core/overloaded.hpp"
#include "core/text.hpp"
#include "trace/site_map.hpp"
#include "trace/site_text.hpp"

namespace vemo::tui {

namespace {

// Least height of the area holding the two event panels.
constexpr std::uint16_t EVENT_AREA_MIN_HEIGHT = 6;
// Detail panel heights (borders included) by what the traces carry.
constexpr std::uint16_t DETAIL_HEIGHT_BASE = 10;
constexpr std::uint16_t DETAIL_HEIGHT_HISTORY = 18;
constexpr std::uint16_t DETAIL_HEIGHT_SNAPSHOTS = 24;
// Added while the source snippet is shown.
constexpr std::uint16_t DETAIL_HEIGHT_SOURCE_EXTRA = 12;
// Narrower event panels (borders included) leave the source labels out.
constexpr std::uint16_t LABEL_MIN_PANEL_WIDTH = 51;
// Lanes listed in the operand table.
constexpr std::size_t MAX_OPERAND_LANES = 6;
// Value-history entries shown per trace.
constexpr std::size_t HISTORY_TAIL = 4;

// Styles are built by assignment: designated initializers that leave members out trip
// -Wmissing-field-initializers.
Style fg(std::optional<Color> color) {
  Style style;
  style.fg = color;
  return style;
}
Style bold(Color color) {
  Style style = fg(color);
  style.bold = true;
  return style;
}

Line labelled(std::string label, std::string value, Style value_style) {
  return Line({Span(std::move(label), fg(Color::White)), Span(std::move(value), value_style)});
}

// ---- event panels ----

// A bordered panel whose title shows in the border's colour: cyan when focused.
Block titled_block(std::string title, bool focused) {
  Block block;
  block.title = Line(std::move(title));
  block.border_style = fg(focused ? Color::Cyan : Color::DarkGray);
  return block;
}

Paragraph paragraph(Text text, std::optional<Block> block) {
  Paragraph result;
  result.text = std::move(text);
  result.block = std::move(block);
  return result;
}

const std::optional<AlignedSide>& side_of(const AlignedRow& row, TraceSide side) {
  return side == TraceSide::A ? row.a : row.b;
}

// A marked row's kind colour: red for a path divergence, else by its first marker.
std::optional<Color> kind_color(const AlignedRow& row) {
  if (row.markers.empty()) return std::nullopt;
  const bool has_path = std::any_of(row.markers.begin(), row.markers.end(), [](const auto& m) {
    return std::holds_alternative<marker::Path>(m);
  });
  if (has_path) return Color::Red;
  return std::visit(Overloaded{
                        [](const marker::Branch&) { return Color::Yellow; },
                        [](const marker::ActiveMask&) { return Color::Magenta; },
                        [](const marker::Value&) { return Color::Blue; },
                        [](const marker::Path&) { return Color::Red; },
                        [](const marker::ExtraA&) { return Color::Cyan; },
                        [](const marker::ExtraB&) { return Color::Cyan; },
                    },
                    row.markers.front());
}

std::pair<std::string_view, Color> event_code(std::uint8_t event_type) {
  switch (event_type) {
    case 0:
      return {"BRN", Color::Yellow};
    case 1:
      return {"SHM", Color::Magenta};
    case 2:
      return {"ATM", Color::Blue};
    case 3:
      return {"FEN", Color::Green};
    case 4:
      return {"FEX", Color::Green};
    case 5:
      return {"SWT", Color::White};
    case 6:
      return {"GLB", Color::White};
    default:
      return {"???", Color::White};
  }
}

Line absent_side_line(std::size_t index, bool selected) {
  Style style = fg(Color::DarkGray);
  if (selected) {
    style.reverse = true;
  } else {
    style.italic = true;
  }
  return Line(Span(fmt::format("{:>4} --- (no event) ---", index), style));
}

Line present_side_line(const AlignedRow& row, const AlignedSide& event, bool selected,
                       bool highlighted, std::uint16_t panel_width) {
  const auto [code, code_color] = event_code(event.event_type);
  std::vector<Span> spans{
      Span(fmt::format("{:>4} ", row.index), fg(Color::DarkGray)),
      Span(fmt::format("{} ", code), fg(code_color)),
      Span(fmt::format("{:08x} ", event.site_id), fg(Color::Cyan)),
  };
  if (event.event_type == static_cast<std::uint8_t>(EventType::Branch)) {
    spans.emplace_back(event.branch == 0 ? "NT " : "TK ", fg(Color::White));
  }
  spans.emplace_back(fmt::format("m:{:08x} ", event.active_mask), fg(Color::DarkGray));
  if (panel_width >= LABEL_MIN_PANEL_WIDTH && event.label) {
    spans.emplace_back(*event.label, fg(Color::Green));
  }

  // The kind colour goes in the base foreground, where every span's own colour covers it: marked
  // rows look like the others and only the selection and search grounds show.
  Style base = fg(kind_color(row));
  if (selected) {
    base.reverse = true;
  } else if (highlighted) {
    base.bg = Color::DarkGray;
  }
  return Line(std::move(spans), base);
}

// The rows a panel of `height` lists from `scroll`: none when scroll lies past the last row.
std::span<const AlignedRow> listed_rows(const std::vector<AlignedRow>& rows, std::size_t scroll,
                                        std::uint16_t height) {
  const std::size_t capacity = height > 2 ? height - 2u : 0u;
  if (scroll >= rows.size()) return {};
  const std::size_t count = std::min(rows.size() - scroll, capacity);
  return std::span<const AlignedRow>(rows).subspan(scroll, count);
}

// One line per row, in order; `panel_width` includes the borders.
std::vector<Line> row_lines(std::span<const AlignedRow> rows, const App& app, TraceSide side,
                            std::uint16_t panel_width) {
  std::vector<Line> lines;
  lines.reserve(rows.size());
  for (const AlignedRow& row : rows) {
    const bool selected = row.index == app.cursor;
    const bool highlighted =
        app.search_active && std::find(app.search_matches.begin(), app.search_matches.end(),
                                       row.index) != app.search_matches.end();
    lines.push_back(event_row_line(row, side, selected, highlighted, panel_width));
  }
  return lines;
}

// One event panel: the current warp's rows from `app.scroll` down, for trace `side`.
void render_event_panel(Frame& frame, App& app, Rect area, TraceSide side) {
  const AlignedView& view = app.aligned_view(app.current_warp);
  Text text;
  if (view.rows.empty()) {
    text = Text(Line(Span("  (no events)", fg(Color::DarkGray))));
  } else {
    text = Text(row_lines(listed_rows(view.rows, app.scroll, area.height), app, side, area.width));
  }
  const bool focused = app.focus == (side == TraceSide::A ? Focus::TraceA : Focus::TraceB);
  const Block block = titled_block(
      fmt::format(" Trace {} -- Warp {} ", trace_side_name(side), app.current_warp), focused);
  frame.render_widget(paragraph(std::move(text), block), area);
}

// ---- bottom line ----

Line prompt_line(std::string_view prompt, const std::string& input, std::string hint) {
  return Line({Span(std::string(prompt), fg(Color::Yellow)), Span(input, bold(Color::White)),
               Span(std::move(hint), fg(Color::DarkGray))});
}

Line status_line(App& app) {
  const std::size_t rows = app.aligned_view(app.current_warp).rows.size();
  const auto [ordinal, total] = app.divergence_position();
  const TraceHeader& header = app.model.trace_a.header;
  const Span separator(" | ", fg(Color::DarkGray));

  std::vector<Span> spans{
      Span(fmt::format(" Warp {}/{}", app.current_warp, header.num_warps), fg(Color::Cyan)),
      separator,
      Span(fmt::format("Row {}/{}", app.cursor + 1, rows), fg(Color::White)),
      separator,
      Span(fmt::format("Div {}/{}", ordinal, total), fg(total == 0 ? Color::Green : Color::Red)),
  };
  if (app.search_active) {
    spans.emplace_back(fmt::format(" [?\"{}\" {}/{}]", app.search_query, app.match_index + 1,
                                   app.search_matches.size()),
                       fg(Color::Yellow));
  }
  spans.push_back(separator);
  spans.emplace_back("[n]ext [N]prev [/]warp [?]search [s]ource [q]uit ", fg(Color::DarkGray));
  spans.emplace_back(std::string(header.kernel_name_text()), fg(Color::DarkGray));
  return Line(std::move(spans));
}

// ---- detail panel ----

std::string taken_text(std::uint8_t direction) {
  return direction != 0 ? "TAKEN" : "NOT-TAKEN";
}

std::string value_text(std::uint32_t value) {
  return fmt::format("{0} (0x{0:08x})", value);
}

// `label`, one "#" or "." per lane from lane 31 down to lane 0, then the number of set lanes.
Line mask_bits_line(std::string_view label, std::uint32_t mask, std::uint32_t other) {
  std::vector<Span> spans;
  spans.reserve(34);
  spans.emplace_back(std::string(label), fg(Color::White));
  for (int lane = 31; lane >= 0; --lane) {
    const std::uint32_t bit = std::uint32_t{1} << lane;
    const bool set = (mask & bit) != 0;
    const bool other_set = (other & bit) != 0;
    const Color color = set != other_set ? Color::Red : (set ? Color::Green : Color::DarkGray);
    spans.emplace_back(set ? "#" : ".", fg(color));
  }
  spans.emplace_back(fmt::format(" ({})", std::popcount(mask)), fg(Color::DarkGray));
  return Line(std::move(spans));
}

void append_marker_section(std::vector<Line>& lines, const RowMarker& row_marker) {
  std::visit(
      Overloaded{
          [&](const marker::Branch& m) {
            lines.emplace_back(Span("  Branch Direction Divergence", bold(Color::Yellow)));
            lines.push_back(labelled("  Trace A: ", taken_text(m.taken_a), fg(Color::Cyan)));
            lines.push_back(labelled("  Trace B: ", taken_text(m.taken_b), fg(Color::Magenta)));
          },
          [&](const marker::ActiveMask& m) {
            const std::uint32_t differ = m.mask_a ^ m.mask_b;
            lines.emplace_back(Span("  Active Mask Mismatch", bold(Color::Magenta)));
            lines.push_back(mask_bits_line("  A: ", m.mask_a, m.mask_b));
            lines.push_back(mask_bits_line("  B: ", m.mask_b, m.mask_a));
            lines.push_back(labelled(
                "  Differ: ", fmt::format("0x{:08x} ({} lanes)", differ, std::popcount(differ)),
                fg(Color::Red)));
          },
          [&](const marker::Value& m) {
            lines.emplace_back(Span("  Value Mismatch", bold(Color::Blue)));
            lines.push_back(labelled("  Trace A: ", value_text(m.value_a), fg(Color::Cyan)));
            lines.push_back(labelled("  Trace B: ", value_text(m.value_b), fg(Color::Magenta)));
          },
          [&](const marker::Path& m) {
            lines.emplace_back(Span("  TRUE PATH DIVERGENCE", bold(Color::Red)));
            lines.push_back(
                labelled("  Trace A reached: ", site_id_text(m.site_a), fg(Color::Cyan)));
            lines.push_back(
                labelled("  Trace B reached: ", site_id_text(m.site_b), fg(Color::Magenta)));
            lines.emplace_back(Span("  Control flow has truly diverged", fg(Color::Red)));
          },
          [&](const marker::ExtraA&) {
            lines.emplace_back(Span("  Extra Event (Drift) -- only in Trace A", fg(Color::Cyan)));
          },
          [&](const marker::ExtraB&) {
            lines.emplace_back(Span("  Extra Event (Drift) -- only in Trace B", fg(Color::Cyan)));
          },
      },
      row_marker);
}

void append_source_label(std::vector<Line>& lines, const AlignedSide& event) {
  if (event.label) lines.push_back(labelled("  Source: ", *event.label, fg(Color::Green)));
}

bool either_has_snapshots(const TuiModel& model) {
  return model.trace_a.header.has_snapshots() || model.trace_b.header.has_snapshots();
}

bool either_has_history(const TuiModel& model) {
  return model.trace_a.header.has_history() || model.trace_b.header.has_history();
}

// The snapshot of the first divergence of the warp at the site: chosen by warp and site alone.
const SnapshotPair* site_snapshot(const TuiModel& model, std::uint32_t warp,
                                  std::uint32_t site_id) {
  for (const Divergence& divergence : model.warp_divergences(warp)) {
    if (divergence.site_id == site_id && divergence.snapshot) {
      return &*divergence.snapshot;
    }
  }
  return nullptr;
}

void append_history_block(std::vector<Line>& lines, std::string heading, Color color,
                          const std::vector<HistoryEntry>& entries, const SiteMap* site_map) {
  if (entries.empty()) return;
  lines.emplace_back(Span(std::move(heading), fg(color)));
  const std::size_t shown = std::min(HISTORY_TAIL, entries.size());
  for (std::size_t i = entries.size() - shown; i < entries.size(); ++i) {
    const HistoryEntry& entry = entries[i];
    // Counted back from the newest shown: -shown ... -1.
    const auto back = static_cast<long long>(entries.size() - i);
    lines.push_back(Line({
        Span(fmt::format("      [{}] ", -back), fg(Color::DarkGray)),
        Span(fmt::format("val={:<10} ", entry.value), fg(color)),
        Span(site_label(site_map, entry.site_id), fg(Color::Green)),
    }));
  }
}

// The histories the console report shows for a divergence at the row's trace-A position (a row
// without a trace-A event stands past trace A's end).
void append_history(std::vector<Line>& lines, const TuiModel& model, std::uint32_t warp,
                    std::uint64_t position) {
  const auto [entries_a, entries_b] =
      model.history_pairing.histories(model.trace_a, model.trace_b, warp, position);
  if (entries_a.empty() && entries_b.empty()) return;
  const SiteMap* site_map = model.site_map ? &*model.site_map : nullptr;
  lines.emplace_back();
  lines.emplace_back(Span("  Value History:", bold(Color::White)));
  append_history_block(lines, "    Trace A:", Color::Cyan, entries_a, site_map);
  append_history_block(lines, "    Trace B:", Color::Magenta, entries_b, site_map);
}

void append_source(std::vector<Line>& lines, App& app, const AlignedRow& row) {
  const AlignedSide& event = row.a ? *row.a : *row.b;
  const SiteMap* site_map = app.model.site_map ? &*app.model.site_map : nullptr;
  const SourceLocation* location = find_location(site_map, event.site_id);
  if (location == nullptr) {
    lines.emplace_back();
    lines.emplace_back(Span("  [source: no site mapping available]", fg(Color::DarkGray)));
    return;
  }
  const auto snippet =
      app.source_cache.snippet(location->filename, location->line, SOURCE_CONTEXT_LINES);
  render_source_panel(lines, snippet, location->filename);
}

void append_marked_row(std::vector<Line>& lines, App& app, const AlignedRow& row) {
  for (const RowMarker& row_marker : row.markers) append_marker_section(lines, row_marker);
  if (row.a) append_source_label(lines, *row.a);
  if (row.a && either_has_snapshots(app.model)) {
    const SnapshotPair* pair = site_snapshot(app.model, app.current_warp, row.a->site_id);
    if (pair != nullptr) render_operands_panel(lines, *pair, app.float_operands);
  }
  if (either_has_history(app.model)) {
    const std::uint64_t position =
        row.a ? row.a->event_index : app.aligned_view(app.current_warp).a_count;
    append_history(lines, app.model, app.current_warp, position);
  }
  if (app.show_source) append_source(lines, app, row);
}

void append_event_information(std::vector<Line>& lines, const AlignedSide& event) {
  lines.push_back(labelled(
      "  Event: ",
      fmt::format("{} at site {}", event_type_name(event.event_type), site_id_text(event.site_id)),
      fg(Color::Cyan)));
  append_source_label(lines, event);
  lines.push_back(labelled("  Value: ", value_text(event.value), fg(Color::White)));
  lines.push_back(labelled("  Mask:  ",
                           fmt::format("0x{:08x} ({} threads active)", event.active_mask,
                                       std::popcount(event.active_mask)),
                           fg(Color::White)));
}

// ---- operands and source ----

bool float_predicate(CmpPredicate predicate) {
  // fcmp oeq, ogt, olt, une: the comparisons the recording runtime makes on floats.
  return predicate == 1 || predicate == 2 || predicate == 4 || predicate == 14;
}

Line operand_lane_line(const SnapshotPair& pair, std::size_t lane, bool as_float) {
  const bool differs = pair.lhs_a[lane] != pair.lhs_b[lane] || pair.rhs_a[lane] != pair.rhs_b[lane];
  return Line(Span(fmt::format("    {:>4}  {:<10}{:<10}{:<10}{}{}", lane,
                               operand_text(pair.lhs_a[lane], as_float),
                               operand_text(pair.rhs_a[lane], as_float),
                               operand_text(pair.lhs_b[lane], as_float),
                               operand_text(pair.rhs_b[lane], as_float), differs ? " <<<" : ""),
                   fg(differs ? Color::Red : Color::White)));
}

// The file name of `path`: its last normal component, or the whole path when it has none or
// that component is not UTF-8.
std::string_view file_name(std::string_view path) {
  std::string_view rest = path;
  while (!rest.empty()) {
    while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    const std::size_t slash = rest.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? rest : rest.substr(slash + 1);
    if (last != ".") {
      if (last.empty() || last == ".." || !is_valid_utf8(last)) return path;
      return last;
    }
    rest.remove_suffix(last.size());
  }
  return path;
}

Line snippet_line(std::size_t number, const std::string& text, bool target) {
  const Style prefix_style = target ? bold(Color::Yellow) : fg(Color::DarkGray);
  const Style text_style = target ? bold(Color::Yellow) : fg(Color::White);
  return Line({Span(fmt::format("  {} {:>4} ", target ? ">" : " ", number), prefix_style),
               Span(expand_tabs(text), text_style)});
}

}  // namespace

void render_frame(Frame& frame, App& app) {
  const TuiModel& model = app.model;
  const std::uint16_t detail_height =
      detail_panel_height(model.trace_a.header, model.trace_b.header, app.show_source);
  const auto areas = split(frame.area(), Direction::Vertical,
                           {Constraint::Min(EVENT_AREA_MIN_HEIGHT),
                            Constraint::Length(detail_height), Constraint::Length(1)});
  const auto halves = split(areas[0], Direction::Horizontal,
                            {Constraint::Percentage(50), Constraint::Percentage(50)});
  app.viewport_height = frame.area().height;

  render_event_panel(frame, app, halves[0], TraceSide::A);
  render_event_panel(frame, app, halves[1], TraceSide::B);
  render_detail_panel(frame, app, areas[1]);
  render_bottom_line(frame, app, areas[2]);
}

std::uint16_t detail_panel_height(const TraceHeader& a, const TraceHeader& b, bool show_source) {
  std::uint16_t height = DETAIL_HEIGHT_BASE;
  if (a.has_snapshots() || b.has_snapshots()) {
    height = DETAIL_HEIGHT_SNAPSHOTS;
  } else if (a.has_history() || b.has_history()) {
    height = DETAIL_HEIGHT_HISTORY;
  }
  return show_source ? height + DETAIL_HEIGHT_SOURCE_EXTRA : height;
}

Line event_row_line(const AlignedRow& row, TraceSide side, bool selected, bool highlighted,
                    std::uint16_t panel_width) {
  const auto& event = side_of(row, side);
  if (!event) return absent_side_line(row.index, selected);
  return present_side_line(row, *event, selected, highlighted, panel_width);
}

void render_bottom_line(Frame& frame, App& app, Rect area) {
  Line line;
  switch (app.input_mode) {
    case InputMode::WarpJump:
      line = prompt_line(" Jump to warp: ", app.warp_input, "_  (Enter=confirm, Esc=cancel)");
      break;
    case InputMode::Search:
      line = prompt_line(
          " Search: ", app.search_query,
          fmt::format("_  ({} matches, Enter=confirm, Esc=cancel)", app.search_matches.size()));
      break;
    case InputMode::Normal:
      line = status_line(app);
      break;
  }
  Style ground = fg(Color::White);
  ground.bg = Color::DarkGray;
  Paragraph bottom = paragraph(Text(std::move(line)), std::nullopt);
  bottom.style = ground;
  frame.render_widget(bottom, area);
}

std::vector<Line> detail_lines(App& app) {
  std::vector<Line> lines;
  if (app.total_divergences == 0) {
    lines.emplace_back(Span("  Traces are IDENTICAL -- no divergences found", bold(Color::Green)));
    return lines;
  }
  const AlignedView& view = app.aligned_view(app.current_warp);
  if (app.cursor >= view.rows.size()) {
    lines.emplace_back("  No event selected");
    return lines;
  }
  const AlignedRow& row = view.rows[app.cursor];
  if (!row.markers.empty()) {
    append_marked_row(lines, app, row);
  } else if (row.a) {
    append_event_information(lines, *row.a);
  }
  return lines;
}

void render_detail_panel(Frame& frame, App& app, Rect area) {
  const Block block = titled_block(" Detail ", app.focus == Focus::Detail);
  frame.render_widget(paragraph(Text(detail_lines(app)), block), area);
}

void render_operands_panel(std::vector<Line>& lines, const SnapshotPair& pair,
                           bool float_operands) {
  const bool as_float = float_operands || float_predicate(pair.predicate);
  lines.emplace_back();
  lines.emplace_back(Span("  Per-Lane Operands:", bold(Color::White)));
  lines.push_back(Line({
      Span("    Lane  ", fg(Color::DarkGray)),
      Span("A:lhs     ", fg(Color::Cyan)),
      Span("A:rhs     ", fg(Color::Cyan)),
      Span("B:lhs     ", fg(Color::Magenta)),
      Span("B:rhs", fg(Color::Magenta)),
  }));
  const std::uint32_t lanes = pair.lane_mask_a | pair.lane_mask_b;
  std::size_t listed = 0;
  for (std::size_t lane = 0; lane < SNAPSHOT_LANES && listed < MAX_OPERAND_LANES; ++lane) {
    if ((lanes >> lane & 1u) == 0) continue;
    lines.push_back(operand_lane_line(pair, lane, as_float));
    ++listed;
  }
  const auto active = static_cast<std::size_t>(std::popcount(lanes));
  if (active > listed) {
    lines.emplace_back(
        Span(fmt::format("    ... {} more active lanes", active - listed), fg(Color::DarkGray)));
  }
}

void render_source_panel(std::vector<Line>& lines, const std::optional<SourceSnippet>& snippet,
                         std::string_view path) {
  lines.emplace_back();
  lines.push_back(Line({Span("  Source: ", bold(Color::White)),
                        Span(std::string(file_name(path)), fg(Color::Green))}));
  if (!snippet) {
    lines.emplace_back(Span("  [source: file not found]", fg(Color::DarkGray)));
    return;
  }
  for (const auto& [number, text] : snippet->lines) {
    lines.push_back(snippet_line(number, text, number == snippet->line));
  }
}

}  // namespace vemo::tui
