#pragma once
// The pieces of a viewer frame, for the drawing itself and its tests; the viewer draws through
// render_frame alone.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "compare/records.hpp"
#include "trace/trace_file.hpp"
#include "tui/aligned.hpp"
#include "tui/app.hpp"
#include "tui/render.hpp"
#include "tui/source_cache.hpp"
#include "tui/widgets.hpp"

namespace vemo::tui {

// 24 with snapshots in either trace, else 18 with history in either, else 10; plus 12 while the
// source is shown.
std::uint16_t detail_panel_height(const TraceHeader& a, const TraceHeader& b, bool show_source);

// The line of one row on one side.
Line event_row_line(const AlignedRow& row, TraceSide side, bool selected, bool highlighted,
                    std::uint16_t panel_width);

// The status line, or the prompt of a warp jump or a search.
void render_bottom_line(Frame& frame, App& app, Rect area);

// The " Detail " panel explaining the row under the cursor.
void render_detail_panel(Frame& frame, App& app, Rect area);

// The text of the detail panel (may fill the source cache).
std::vector<Line> detail_lines(App& app);

// Appends the per-lane operand table of `pair`.
void render_operands_panel(std::vector<Line>& lines, const SnapshotPair& pair, bool float_operands);

// Appends the source section: the file name of `path`, then the snippet's lines or a
// placeholder when there is none.
void render_source_panel(std::vector<Line>& lines, const std::optional<SourceSnippet>& snippet,
                         std::string_view path);

}  // namespace vemo::tui
