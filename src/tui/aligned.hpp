#pragma once
// The viewer's data model and the side-by-side alignment of one warp's events in both traces.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "compare/histories.hpp"
#include "compare/records.hpp"
#include "trace/site_map.hpp"
#include "trace/trace_file.hpp"

namespace vemo::tui {

// How far the alignment looks ahead on each side for a site the other trace is at. Fixed: the
// comparison's --lookahead does not reach the viewer.
inline constexpr std::size_t ALIGN_LOOKAHEAD = 32;

// One trace's event shown on a row.
struct AlignedSide {
  // "{file}:{line}" from the site map, when it knows the site.
  std::optional<std::string> label;
  std::size_t event_index = 0;  // position in that trace's events of the warp
  std::uint32_t site_id = 0;
  std::uint32_t active_mask = 0;
  std::uint32_t value = 0;
  std::uint8_t event_type = 0;  // an EventType code
  std::uint8_t branch = 0;      // branch_dir: 0 not taken, else taken
  bool operator==(const AlignedSide&) const = default;
};

namespace marker {
struct Branch {
  std::uint8_t taken_a;
  std::uint8_t taken_b;
  bool operator==(const Branch&) const = default;
};
struct ActiveMask {
  std::uint32_t mask_a;
  std::uint32_t mask_b;
  bool operator==(const ActiveMask&) const = default;
};
struct Value {
  std::uint32_t value_a;
  std::uint32_t value_b;
  bool operator==(const Value&) const = default;
};
// Neither side's site is found ahead on the other side; the view ends here.
struct Path {
  std::uint32_t site_a;
  std::uint32_t site_b;
  bool operator==(const Path&) const = default;
};
struct ExtraA {
  bool operator==(const ExtraA&) const = default;
};
struct ExtraB {
  bool operator==(const ExtraB&) const = default;
};
}  // namespace marker

// What differs on a row; the alternatives' indices are the marker tags 0 to 5.
using RowMarker = std::variant<marker::Branch, marker::ActiveMask, marker::Value, marker::Path,
                               marker::ExtraA, marker::ExtraB>;
static_assert(std::variant_size_v<RowMarker> == 6);

struct AlignedRow {
  std::vector<RowMarker> markers;
  std::optional<AlignedSide> a;  // at least one of a and b is present
  std::optional<AlignedSide> b;
  std::size_t index = 0;  // own position in AlignedView::rows
  bool operator==(const AlignedRow&) const = default;
};

struct AlignedView {
  std::vector<AlignedRow> rows;
  std::vector<std::size_t> marked_rows;  // ascending indices of rows with markers
  std::size_t a_count = 0;               // the warp's events in trace A
  std::size_t b_count = 0;               // and in trace B
  std::uint32_t warp = 0;
};

// Everything the viewer shows. Built once; only App::aligned_view adds to `aligned_cache`
// (node-based, so references to cached views stay valid).
struct TuiModel {
  DiffResult diff;
  Trace trace_a;
  Trace trace_b;
  // Copies of each warp's divergences in result order; warps without any have no entry.
  std::unordered_map<std::uint32_t, std::vector<Divergence>> divergences_by_warp;
  std::unordered_map<std::uint32_t, AlignedView> aligned_cache;
  std::optional<SiteMap> site_map;
  HistoryPairing history_pairing;  // which warps' value history a divergence shows
};

TuiModel build_tui_model(Trace trace_a, Trace trace_b, DiffResult diff,
                         std::optional<SiteMap> site_map);

// Aligns the events of `warp` in both traces (uncached). A warp a trace cannot give counts as
// a warp without events there. The steps are those of the comparison's walk
// (compare/alignment_walk), which differs only in what it is given and what it reports: the
// look-ahead here is ALIGN_LOOKAHEAD, not --lookahead; site ids are compared as the traces
// record them, where the comparison sees trace B's ids remapped; the sequences are warp
// `warp`'s of each trace, also in cross-GPU mode, where the comparison joins a chunk's warps;
// and a Path row ends the view, where the comparison, stopped by a Path, still reports trace
// A's rest as extra events. Divergences mark matched rows at their trace-A position.
AlignedView build_aligned_view(const TuiModel& model, std::uint32_t warp);

}  // namespace vemo::tui
