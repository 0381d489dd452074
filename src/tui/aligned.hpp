#pragma once
// The viewer's data model and the side-by-side alignment of one warp's events in both traces.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
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

class WarpDivergences;

// The result's divergences by ascending warp, each warp's in result order, read in place. A
// divergence's rank is its place in that order: the result's own position when the result is in
// warp order (as the comparison gives it), else the position that `positions` holds at the rank.
// Cheap to copy; valid while the divergences and positions it views are.
class DivergencesByWarp {
 public:
  DivergencesByWarp() = default;
  DivergencesByWarp(std::span<const Divergence> divergences, std::span<const std::size_t> positions)
      : divergences_(divergences), positions_(positions) {}

  std::size_t size() const { return divergences_.size(); }
  const Divergence& operator[](std::size_t rank) const {
    return divergences_[positions_.empty() ? rank : positions_[rank]];
  }
  // The number of divergences of warps below `warp`, and of warps up to `warp`: the ranks
  // where its divergences start and end.
  std::size_t below(std::uint32_t warp) const { return first_rank_at_or_above(warp); }
  std::size_t up_to(std::uint32_t warp) const {
    return first_rank_at_or_above(std::uint64_t{warp} + 1);
  }
  WarpDivergences of_warp(std::uint32_t warp) const;

 private:
  std::size_t first_rank_at_or_above(std::uint64_t warp) const;

  std::span<const Divergence> divergences_;
  std::span<const std::size_t> positions_;  // empty when the result is in warp order
};

// One warp's divergences, in result order: ranks [first, last) of a DivergencesByWarp.
class WarpDivergences {
 public:
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Divergence;
    using difference_type = std::ptrdiff_t;
    using pointer = const Divergence*;
    using reference = const Divergence&;

    Iterator() = default;
    Iterator(DivergencesByWarp all, std::size_t rank) : all_(all), rank_(rank) {}
    reference operator*() const { return all_[rank_]; }
    pointer operator->() const { return &all_[rank_]; }
    Iterator& operator++() {
      ++rank_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++rank_;
      return before;
    }
    bool operator==(const Iterator& other) const { return rank_ == other.rank_; }

   private:
    DivergencesByWarp all_;
    std::size_t rank_ = 0;
  };

  WarpDivergences(DivergencesByWarp all, std::size_t first, std::size_t last)
      : all_(all), first_(first), last_(last) {}

  std::size_t size() const { return last_ - first_; }
  bool empty() const { return first_ == last_; }
  const Divergence& operator[](std::size_t k) const { return all_[first_ + k]; }
  Iterator begin() const { return {all_, first_}; }
  Iterator end() const { return {all_, last_}; }

 private:
  DivergencesByWarp all_;
  std::size_t first_;
  std::size_t last_;
};

// Everything the viewer shows. Built once; only App::aligned_view adds to `aligned_cache`
// (node-based, so references to cached views stay valid).
struct TuiModel {
  DiffResult diff;
  Trace trace_a;
  Trace trace_b;
  // Positions in `diff.divergences` stably sorted by warp, so that each warp's divergences can
  // be found by binary search; empty when the result is in warp order already, as the
  // comparison gives it, so a result of any size costs nothing here.
  std::vector<std::size_t> warp_order;
  std::unordered_map<std::uint32_t, AlignedView> aligned_cache;
  std::optional<SiteMap> site_map;
  HistoryPairing history_pairing;  // which warps' value history a divergence shows

  DivergencesByWarp divergences_by_warp() const { return {diff.divergences, warp_order}; }
  // The warp's divergences in result order; empty for a warp without any.
  WarpDivergences warp_divergences(std::uint32_t warp) const {
    return divergences_by_warp().of_warp(warp);
  }
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
