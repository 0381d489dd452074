#include "tui/aligned.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "compare/diff.hpp"
#include "compare/traces.hpp"
#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

using tui::AlignedView;
using tui::RowMarker;
namespace marker = tui::marker;

// A one-warp trace (or more with `num_warps`) whose warp 0 records `sites` as branches.
Trace trace_of(const std::vector<std::uint32_t>& sites, std::uint32_t num_warps = 1) {
  std::vector<TraceEvent> events;
  for (const std::uint32_t site : sites) events.push_back(event(site));
  return TraceBuilder{}
      .shape(num_warps, static_cast<std::uint32_t>(sites.size()))
      .warp(0, events)
      .build();
}

Divergence divergence(std::uint32_t warp, std::uint64_t event_idx, DivergenceKind kind) {
  Divergence d;
  d.warp_idx = warp;
  d.event_idx = event_idx;
  d.kind = kind;
  return d;
}

AlignedView align(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b,
                  std::vector<Divergence> divergences = {},
                  std::optional<SiteMap> site_map = std::nullopt, std::uint32_t warp = 0) {
  DiffResult diff;
  diff.divergences = std::move(divergences);
  const tui::TuiModel model =
      tui::build_tui_model(trace_of(a), trace_of(b), std::move(diff), std::move(site_map));
  return tui::build_aligned_view(model, warp);
}

std::string marker_code(const RowMarker& m) {
  static const char* const codes[] = {"Br", "Am", "Va", "Pa", "xA", "xB"};
  return codes[m.index()];
}

// "a/b" with "-" for a missing side, then the marker codes: "2/- xA".
std::vector<std::string> describe(const AlignedView& view) {
  std::vector<std::string> rows;
  for (const auto& row : view.rows) {
    std::string text = fmt::format("{}/{}", row.a ? std::to_string(row.a->site_id) : "-",
                                   row.b ? std::to_string(row.b->site_id) : "-");
    for (const RowMarker& m : row.markers) text += fmt::format(" {}", marker_code(m));
    rows.push_back(text);
  }
  return rows;
}

// The rows that carry markers, derived independently of marked_rows.
std::vector<std::size_t> rows_with_markers(const AlignedView& view) {
  std::vector<std::size_t> indices;
  for (std::size_t i = 0; i < view.rows.size(); ++i) {
    EXPECT_EQ(view.rows[i].index, i);
    if (!view.rows[i].markers.empty()) indices.push_back(i);
  }
  return indices;
}

// `first`, then `n` filler sites the other trace never records, then `site`.
std::vector<std::uint32_t> site_after(std::size_t n, std::uint32_t first, std::uint32_t site) {
  std::vector<std::uint32_t> sites{first};
  for (std::size_t k = 0; k < n; ++k) sites.push_back(1000 + static_cast<std::uint32_t>(k));
  sites.push_back(site);
  return sites;
}

TEST(AlignedView, AlignsSequences) {
  const std::vector<std::string> thirty_two_b_rows = [] {
    std::vector<std::string> rows{"-/99 xB"};
    for (std::uint32_t k = 0; k < 31; ++k) rows.push_back("-/" + std::to_string(1000 + k) + " xB");
    rows.push_back("1/1");
    rows.push_back("2/- xA");
    return rows;
  }();
  const struct {
    const char* name;
    std::vector<std::uint32_t> a, b;
    std::vector<std::string> rows;
  } cases[] = {
      {"both empty", {}, {}, {}},
      {"only B", {}, {1, 2}, {"-/1 xB", "-/2 xB"}},
      {"only A", {1, 2}, {}, {"1/- xA", "2/- xA"}},
      {"identical", {1, 2, 3}, {1, 2, 3}, {"1/1", "2/2", "3/3"}},
      {"extra in A", {1, 2, 3}, {1, 3}, {"1/1", "2/- xA", "3/3"}},
      {"extra in B", {1, 3}, {1, 2, 3}, {"1/1", "-/2 xB", "3/3"}},
      {"swap: tie goes to A", {7, 8}, {8, 7}, {"7/- xA", "8/8", "-/7 xB"}},
      {"shorter skip in B wins",
       {1, 7, 8, 2},
       {2, 1},
       {"-/2 xB", "1/1", "7/- xA", "8/- xA", "2/- xA"}},
      {"32 ahead is found", {1, 2}, site_after(31, 99, 1), thirty_two_b_rows},
      {"33 ahead is not: path ends the view", {1, 2, 3}, site_after(32, 99, 1), {"1/99 Pa"}},
      {"path with both sides left", {1, 5, 6}, {2, 5, 6}, {"1/2 Pa"}},
  };
  for (const auto& c : cases) {
    const AlignedView view = align(c.a, c.b);
    EXPECT_EQ(describe(view), c.rows) << c.name;
    EXPECT_EQ(view.marked_rows, rows_with_markers(view)) << c.name;
    EXPECT_EQ(view.a_count, c.a.size()) << c.name;
    EXPECT_EQ(view.b_count, c.b.size()) << c.name;
  }
}

TEST(AlignedView, SidesKeepEventFieldsAndPositions) {
  const tui::TuiModel model = tui::build_tui_model(
      TraceBuilder{}.shape(1, 2).warp(0, {event(1), event(3, 2, 1, 0xf0, 42)}).build(),
      TraceBuilder{}.shape(1, 3).warp(0, {event(1), event(2), event(3)}).build(), {}, {});
  const AlignedView view = tui::build_aligned_view(model, 0);
  ASSERT_EQ(describe(view), (std::vector<std::string>{"1/1", "-/2 xB", "3/3"}));
  const auto& side_a = *view.rows[2].a;
  EXPECT_EQ(side_a, (tui::AlignedSide{std::nullopt, 1, 3, 0xf0, 42, 2, 1}));
  EXPECT_EQ(view.rows[2].b->event_index, 2u);
}

TEST(AlignedView, DivergencesMarkMatchedRowsAtTheirTraceAIndex) {
  const AlignedView view =
      align({1, 2, 3, 4}, {1, 3, 4},
            {
                divergence(0, 2, {ActiveMaskKind{0xff, 0x0f}}), divergence(0, 0, {PathKind{1, 2}}),
                divergence(0, 2, {ValueKind{5, 6}}),
                divergence(0, 1, {BranchKind{1, 0}}),  // falls on the one-sided row
                divergence(0, 3, {ExtraEventsKind{1, TraceSide::A}}),
                divergence(0, 0, {BranchKind{0, 1}}),
                divergence(1, 3, {BranchKind{0, 1}}),  // another warp
            });
  EXPECT_EQ(describe(view), (std::vector<std::string>{"1/1 Br", "2/- xA", "3/3 Am Va", "4/4"}));
  EXPECT_EQ(view.marked_rows, (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(view.rows[0].markers[0], RowMarker(marker::Branch{0, 1}));
  EXPECT_EQ(view.rows[2].markers,
            (std::vector<RowMarker>{marker::ActiveMask{0xff, 0x0f}, marker::Value{5, 6}}));
}

TEST(AlignedView, PathMarkerCarriesBothSites) {
  const AlignedView view = align({4, 5}, {6, 7});
  ASSERT_EQ(view.rows.size(), 1u);
  EXPECT_EQ(view.rows[0].markers, (std::vector<RowMarker>{marker::Path{4, 6}}));
  EXPECT_EQ(view.rows[0].a->event_index, 0u);
  EXPECT_EQ(view.rows[0].b->event_index, 0u);
}

TEST(AlignedView, LabelsFromTheSiteMapByRawSiteIds) {
  SiteMap map;
  for (const auto& [site, file, line] : {std::tuple{1u, "kernel.cu", 12u}, {3u, "other.cu", 7u}}) {
    SourceLocation location;
    location.site_id = site;
    location.filename = file;
    location.line = line;
    map.insert(location);
  }
  const AlignedView view = align({1, 2}, {1, 3}, {}, map);
  ASSERT_EQ(describe(view), (std::vector<std::string>{"1/1", "2/3 Pa"}));
  EXPECT_EQ(view.rows[0].a->label, "kernel.cu:12");
  EXPECT_EQ(view.rows[0].b->label, "kernel.cu:12");
  EXPECT_EQ(view.rows[1].a->label, std::nullopt);
  EXPECT_EQ(view.rows[1].b->label, "other.cu:7");

  EXPECT_EQ(align({1}, {1}).rows[0].a->label, std::nullopt);
}

TEST(AlignedView, WarpATraceCannotGiveCountsAsEmpty) {
  // Trace A has one warp, trace B two: warp 1 exists only in B.
  const tui::TuiModel model = tui::build_tui_model(
      trace_of({1}), TraceBuilder{}.shape(2, 2).warp(1, {event(5), event(6)}).build(), {}, {});
  const AlignedView view = tui::build_aligned_view(model, 1);
  EXPECT_EQ(describe(view), (std::vector<std::string>{"-/5 xB", "-/6 xB"}));
  EXPECT_EQ(view.a_count, 0u);
  EXPECT_EQ(view.warp, 1u);
  EXPECT_TRUE(tui::build_aligned_view(model, 7).rows.empty());
}

// A divergence of job 0, as the comparison reports it.
Divergence found(std::uint64_t event_idx, std::uint32_t site, DivergenceKind kind) {
  Divergence d = divergence(0, event_idx, std::move(kind));
  d.site_id = site;
  return d;
}

std::vector<TraceEvent> events_at(const std::vector<std::uint32_t>& sites) {
  std::vector<TraceEvent> events;
  for (const std::uint32_t site : sites) events.push_back(event(site));
  return events;
}

// The viewer takes its steps from the comparison's walk; these are the stated differences.
TEST(AlignedView, DiffersFromTheComparisonWalkAsStated) {
  // After a Path that stops it the comparison reports trace A's rest; the view shows nothing
  // after the Path row.
  const auto a = events_at({1, 5, 6});
  const auto b = events_at({2, 5, 6});
  EXPECT_EQ(diff_events(0, a, b, CompareConfig{}),
            (std::vector<Divergence>{found(0, 1, {PathKind{1, 2}}),
                                     found(0, 1, {ExtraEventsKind{3, TraceSide::A}})}));
  EXPECT_EQ(describe(align({1, 5, 6}, {2, 5, 6})), (std::vector<std::string>{"1/2 Pa"}));

  // --lookahead reaches the comparison only: with 1 it sees a Path where the view, looking
  // ALIGN_LOOKAHEAD ahead, finds two extra events.
  const auto longer = events_at({1, 7, 8, 2});
  const auto shorter = events_at({1, 2});
  EXPECT_EQ(diff_events(0, longer, shorter, CompareConfig{.lookahead = 1})[0].kind,
            (DivergenceKind{PathKind{7, 2}}));
  EXPECT_EQ(describe(align({1, 7, 8, 2}, {1, 2})),
            (std::vector<std::string>{"1/1", "7/- xA", "8/- xA", "2/2"}));
}

std::vector<std::string> described_warps(const tui::TuiModel& model, std::uint32_t warps) {
  std::vector<std::string> rows;
  for (std::uint32_t warp = 0; warp < warps; ++warp) {
    for (const std::string& row : describe(tui::build_aligned_view(model, warp))) {
      rows.push_back(std::to_string(warp) + ": " + row);
    }
  }
  return rows;
}

TEST(AlignedView, CrossGpuRunShowsEachTracesOwnWarpWithTheChunksMarkers) {
  // NVIDIA trace A: warps 0 and 1 of 32 lanes; AMD trace B: one warp of 64 lanes. The
  // comparison walks chunk 0, A's warps joined, against B's warp; the viewer aligns warp 0 of
  // each trace and warp 1, which B lacks, and marks rows by the chunk's trace-A positions.
  TraceBuilder a;
  a.header.cuda_arch = 80;
  a.shape(2, 2).warp(0, {event(1), event(2, 0, 0, 0x1)}).warp(1, {event(3), event(4)});
  TraceBuilder b;
  b.header.cuda_arch = 4096;
  b.shape(1, 4).warp(0, {event(1), event(2, 0, 0, 0x3), event(3), event(5)});
  const Trace trace_a = a.build();
  const Trace trace_b = b.build();
  const CompareConfig config{.skip_kernel_name_check = true, .cross_gpu = true};
  auto diff = compare_traces(trace_a, trace_b, config, nullptr, [](std::string_view) {});
  ASSERT_TRUE(diff.has_value());
  EXPECT_EQ(diff->divergences,
            (std::vector<Divergence>{found(1, 2, {ActiveMaskKind{0x1, 0x3}}),
                                     found(3, 4, {PathKind{4, 5}}),
                                     found(3, 4, {ExtraEventsKind{1, TraceSide::A}})}));

  const tui::TuiModel model = tui::build_tui_model(a.build(), b.build(), std::move(*diff), {});
  EXPECT_EQ(described_warps(model, 2),
            (std::vector<std::string>{"0: 1/1", "0: 2/2 Am", "0: -/3 xB", "0: -/5 xB", "1: 3/- xA",
                                      "1: 4/- xA"}));
}

TEST(AlignedView, RemappedRunAlignsTheRawSiteIds) {
  // --remap-a/--remap-b map trace B's site 20 to trace A's site 2: the comparison finds the
  // traces identical, while the viewer, which is given no remapper, ends at a Path.
  const Trace trace_a = trace_of({1, 2, 3});
  const Trace trace_b = trace_of({1, 20, 3});
  const SiteRemapper remapper{{20, 2}};
  auto diff = compare_traces(trace_a, trace_b, {}, &remapper, [](std::string_view) {});
  ASSERT_TRUE(diff.has_value());
  EXPECT_TRUE(diff->divergences.empty());

  const tui::TuiModel model =
      tui::build_tui_model(trace_of({1, 2, 3}), trace_of({1, 20, 3}), std::move(*diff), {});
  const AlignedView view = tui::build_aligned_view(model, 0);
  EXPECT_EQ(describe(view), (std::vector<std::string>{"1/1", "2/20 Pa"}));
  EXPECT_EQ(view.rows[1].markers, (std::vector<RowMarker>{marker::Path{2, 20}}));
  EXPECT_EQ(view.marked_rows, (std::vector<std::size_t>{1}));
}

std::vector<Divergence> divergences_of(const tui::TuiModel& model, std::uint32_t warp) {
  const tui::WarpDivergences found = model.warp_divergences(warp);
  return {found.begin(), found.end()};
}

TEST(TuiModel, GroupsDivergencesByWarpInResultOrder) {
  DiffResult diff;
  diff.divergences = {divergence(2, 5, {BranchKind{0, 1}}), divergence(0, 1, {ValueKind{1, 2}}),
                      divergence(2, 3, {ActiveMaskKind{1, 3}})};
  const tui::TuiModel model = tui::build_tui_model(trace_of({}), trace_of({}), diff, {});
  EXPECT_EQ(model.diff.divergences, diff.divergences);
  EXPECT_EQ(divergences_of(model, 2),
            (std::vector<Divergence>{diff.divergences[0], diff.divergences[2]}));
  EXPECT_EQ(divergences_of(model, 0), (std::vector<Divergence>{diff.divergences[1]}));
  for (const std::uint32_t other : {1u, 3u, UINT32_MAX}) {
    EXPECT_TRUE(divergences_of(model, other).empty()) << "warp " << other;
  }
  EXPECT_TRUE(model.aligned_cache.empty());
}

TEST(TuiModel, FindsEachWarpsDivergencesInAnyResultOrder) {
  // Event indices tell the divergences apart, so a change of order within a warp shows.
  const struct {
    std::string_view name;
    std::vector<std::uint32_t> warps;
    bool in_warp_order;
  } cases[] = {
      {"empty", {}, true},
      {"runs with gaps", {0, 0, 3, 9, 9, 9, UINT32_MAX}, true},
      {"one warp", {4, 4, 4}, true},
      {"interleaved", {5, 1, 5, 0, 1, 5}, false},
      {"descending", {UINT32_MAX, 8, 8, 2, 0}, false},
  };
  for (const auto& c : cases) {
    DiffResult diff;
    for (std::size_t k = 0; k < c.warps.size(); ++k) {
      diff.divergences.push_back(divergence(c.warps[k], k, {BranchKind{0, 1}}));
    }
    const std::vector<Divergence> all = diff.divergences;
    const tui::TuiModel model =
        tui::build_tui_model(trace_of({}), trace_of({}), std::move(diff), {});
    // A result in warp order is searched in place, with no index beside it.
    EXPECT_EQ(model.warp_order.empty(), c.in_warp_order) << c.name;
    for (const std::uint32_t warp : {0u, 1u, 2u, 3u, 4u, 5u, 8u, 9u, 10u, UINT32_MAX}) {
      std::vector<Divergence> expected;
      std::copy_if(all.begin(), all.end(), std::back_inserter(expected),
                   [&](const Divergence& d) { return d.warp_idx == warp; });
      EXPECT_EQ(divergences_of(model, warp), expected) << c.name << ", warp " << warp;
    }
  }
}

}  // namespace
}  // namespace vemo::testing
