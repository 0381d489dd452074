#include "tui/aligned.hpp"

#include <algorithm>
#include <numeric>
#include <ranges>
#include <span>
#include <utility>

#include "compare/alignment_walk.hpp"
#include "trace/site_text.hpp"

namespace vemo::tui {

namespace {

bool by_warp(const Divergence& x, const Divergence& y) {
  return x.warp_idx < y.warp_idx;
}

// None when the divergences are in warp order already, which is how the comparison lists them.
std::vector<std::size_t> warp_order_of(const std::vector<Divergence>& divergences) {
  if (std::is_sorted(divergences.begin(), divergences.end(), by_warp)) return {};
  std::vector<std::size_t> positions(divergences.size());
  std::iota(positions.begin(), positions.end(), std::size_t{0});
  std::stable_sort(positions.begin(), positions.end(), [&](std::size_t x, std::size_t y) {
    return by_warp(divergences[x], divergences[y]);
  });
  return positions;
}

}  // namespace

std::size_t DivergencesByWarp::first_rank_at_or_above(std::uint64_t warp) const {
  return *std::ranges::partition_point(
      std::views::iota(std::size_t{0}, size()),
      [&](std::size_t rank) { return (*this)[rank].warp_idx < warp; });
}

WarpDivergences DivergencesByWarp::of_warp(std::uint32_t warp) const {
  return {*this, below(warp), up_to(warp)};
}

TuiModel build_tui_model(Trace trace_a, Trace trace_b, DiffResult diff,
                         std::optional<SiteMap> site_map) {
  std::vector<std::size_t> warp_order = warp_order_of(diff.divergences);
  HistoryPairing pairing(trace_a, trace_b, diff.cross_gpu.has_value());
  return TuiModel{
      std::move(diff),     std::move(trace_a), std::move(trace_b), std::move(warp_order), {},
      std::move(site_map), std::move(pairing)};
}

namespace {

std::span<const TraceEvent> events_or_none(const Trace& trace, std::uint32_t warp) {
  auto view = warp_events(trace, warp);
  if (!view) return {};
  return view->events;
}

// The divergence markers of a matched row; Path and ExtraEvents divergences have none.
std::optional<RowMarker> divergence_marker(const DivergenceKind& kind) {
  if (const auto* k = kind.get<BranchKind>()) return marker::Branch{k->dir_a, k->dir_b};
  if (const auto* k = kind.get<ActiveMaskKind>()) return marker::ActiveMask{k->mask_a, k->mask_b};
  if (const auto* k = kind.get<ValueKind>()) return marker::Value{k->val_a, k->val_b};
  return std::nullopt;
}

class ViewBuilder {
 public:
  ViewBuilder(const TuiModel& model, std::uint32_t warp) : model_(model) {
    view_.warp = warp;
    // Indexed by trace-A position, so each matched row finds its divergences directly.
    for (const Divergence& divergence : model.warp_divergences(warp)) {
      if (auto m = divergence_marker(divergence.kind)) {
        markers_at_[divergence.event_idx].push_back(*m);
      }
    }
  }

  AlignedView build(std::span<const TraceEvent> a, std::span<const TraceEvent> b) && {
    view_.a_count = a.size();
    view_.b_count = b.size();
    AlignmentWalk walk(a, b, ALIGN_LOOKAHEAD, AfterPath::Stop);
    while (const auto step = walk.next()) {
      const std::size_t i = step->i;
      const std::size_t j = step->j;
      switch (step->kind) {
        case WalkStepKind::Matched:
          push_matched(a[i], i, b[j], j);
          break;
        case WalkStepKind::ExtraA:
          for (std::size_t k = i; k < i + step->count; ++k) push_only_a(a[k], k);
          break;
        case WalkStepKind::ExtraB:
          for (std::size_t k = j; k < j + step->count; ++k) push_only_b(b[k], k);
          break;
        case WalkStepKind::Path:
          // Past this point the sequences no longer correspond; nothing after it is shown.
          push_row({marker::Path{a[i].site_id, b[j].site_id}}, side(a[i], i), side(b[j], j));
          return std::move(view_);
      }
    }
    for (std::size_t i = walk.i(); i < a.size(); ++i) push_only_a(a[i], i);
    for (std::size_t j = walk.j(); j < b.size(); ++j) push_only_b(b[j], j);
    return std::move(view_);
  }

 private:
  AlignedSide side(const TraceEvent& event, std::size_t index) const {
    AlignedSide s;
    const SiteMap* map = model_.site_map ? &*model_.site_map : nullptr;
    if (const SourceLocation* location = find_location(map, event.site_id)) {
      s.label = file_line_text(*location);
    }
    s.event_index = index;
    s.site_id = event.site_id;
    s.active_mask = event.active_mask;
    s.value = event.value;
    s.event_type = event.event_type;
    s.branch = event.branch_dir;
    return s;
  }

  void push_row(std::vector<RowMarker> markers, std::optional<AlignedSide> a,
                std::optional<AlignedSide> b) {
    const std::size_t index = view_.rows.size();
    if (!markers.empty()) view_.marked_rows.push_back(index);
    view_.rows.push_back(AlignedRow{std::move(markers), std::move(a), std::move(b), index});
  }

  void push_matched(const TraceEvent& a, std::size_t i, const TraceEvent& b, std::size_t j) {
    const auto found = markers_at_.find(i);
    push_row(found == markers_at_.end() ? std::vector<RowMarker>{} : found->second, side(a, i),
             side(b, j));
  }
  void push_only_a(const TraceEvent& a, std::size_t i) {
    push_row({marker::ExtraA{}}, side(a, i), std::nullopt);
  }
  void push_only_b(const TraceEvent& b, std::size_t j) {
    push_row({marker::ExtraB{}}, std::nullopt, side(b, j));
  }

  const TuiModel& model_;
  std::unordered_map<std::uint64_t, std::vector<RowMarker>> markers_at_;
  AlignedView view_;
};

}  // namespace

AlignedView build_aligned_view(const TuiModel& model, std::uint32_t warp) {
  return ViewBuilder(model, warp)
      .build(events_or_none(model.trace_a, warp), events_or_none(model.trace_b, warp));
}

}  // namespace vemo::tui
