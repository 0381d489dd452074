#pragma once
// Drawing one viewer frame: the two event panels, the detail panel and the bottom line.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "compare/records.hpp"
#include "parser.hpp"
#include "tui/aligned.hpp"
#include "tui/app.hpp"
#include "tui/source_cache.hpp"
#include "tui/term.hpp"

namespace vemo::tui {

// Least height of the area holding the two event panels.
inline constexpr std::uint16_t EVENT_AREA_MIN_HEIGHT = 6;
// Detail panel heights (borders included) by what the traces carry.
inline constexpr std::uint16_t DETAIL_HEIGHT_BASE = 10;
inline constexpr std::uint16_t DETAIL_HEIGHT_HISTORY = 18;
inline constexpr std::uint16_t DETAIL_HEIGHT_SNAPSHOTS = 24;
// Added while the source snippet is shown.
inline constexpr std::uint16_t DETAIL_HEIGHT_SOURCE_EXTRA = 12;
// Narrower event panels (borders included) leave the source labels out.
inline constexpr std::uint16_t LABEL_MIN_PANEL_WIDTH = 51;
// Lanes listed in the operand table.
inline constexpr std::size_t MAX_OPERAND_LANES = 6;
// Value-history entries shown per trace.
inline constexpr std::size_t HISTORY_TAIL = 4;

// Draws the whole frame and records the terminal height in `app.viewport_height`.
void render_frame(Frame& frame, App& app);

// 24 with snapshots in either trace, else 18 with history in either, else 10; plus 12 while the
// source is shown.
std::uint16_t detail_panel_height(const TraceHeader& a, const TraceHeader& b, bool show_source);

// One event panel: the current warp's rows from `app.scroll` down, for trace `side`.
void render_event_panel(Frame& frame, App& app, Rect area, TraceSide side);

// One line per row, in order; `panel_width` includes the borders.
std::vector<Line> row_lines(std::span<const AlignedRow> rows, const App& app, TraceSide side,
                            std::uint16_t panel_width);

// The line of one row on one side.
Line event_row_line(const AlignedRow& row, TraceSide side, bool selected, bool highlighted,
                    std::uint16_t panel_width);

// The status line, or the prompt of a warp jump or a search.
void render_bottom_line(Frame& frame, App& app, Rect area);

// The " Detail " panel explaining the row under the cursor.
void render_detail_panel(Frame& frame, App& app, Rect area);

// The text of the detail panel (may fill the source cache).
std::vector<Line> detail_lines(App& app);

// `label`, one "#" or "." per lane from lane 31 down to lane 0, then the number of set lanes.
Line mask_bits_line(std::string_view label, std::uint32_t mask, std::uint32_t other);

// Appends the per-lane operand table of `pair`.
void render_operands_panel(std::vector<Line>& lines, const SnapshotPair& pair, bool float_operands);

// Appends the source section: the file name of `path`, then the snippet's lines or a
// placeholder when there is none.
void render_source_panel(std::vector<Line>& lines, const std::optional<SourceSnippet>& snippet,
                         std::string_view path);

}  // namespace vemo::tui
