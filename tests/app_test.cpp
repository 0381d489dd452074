#include "tui/app.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

using tui::Action;
using tui::App;
using tui::InputMode;
namespace action = tui::action;

constexpr std::size_t MAX_COUNT = std::numeric_limits<std::size_t>::max();

using WarpEvents = std::map<std::uint32_t, std::vector<TraceEvent>>;

Trace build_trace(std::uint32_t num_warps, const WarpEvents& warps) {
  std::size_t longest = 0;
  for (const auto& [w, events] : warps) longest = std::max(longest, events.size());
  TraceBuilder builder;
  builder.shape(num_warps, static_cast<std::uint32_t>(longest));
  for (const auto& [w, events] : warps) builder.warp(w, events);
  return builder.build();
}

// `num_warps` warps in both traces, with trace A's events per warp in `a` and trace B's in
// `b` (the same as A's when not given); the result covers `total_warps` warps (all of them
// when not given).
App make_app(std::uint32_t num_warps, const WarpEvents& a, std::vector<Divergence> divergences = {},
             std::optional<std::uint64_t> total_warps = std::nullopt,
             const std::optional<WarpEvents>& b = std::nullopt) {
  DiffResult diff;
  diff.divergences = std::move(divergences);
  diff.total_warps = total_warps.value_or(num_warps);
  diff.warps_compared = diff.total_warps;
  return App(build_trace(num_warps, a), build_trace(num_warps, b.value_or(a)), std::move(diff),
             std::nullopt, false);
}

std::vector<TraceEvent> sites(std::uint32_t first, std::uint32_t last) {
  std::vector<TraceEvent> events;
  for (std::uint32_t site = first; site <= last; ++site) events.push_back(event(site));
  return events;
}

// The same `count` events in every one of `num_warps` warps of both traces.
WarpEvents every_warp(std::uint32_t num_warps, std::uint32_t count) {
  WarpEvents warps;
  for (std::uint32_t w = 0; w < num_warps; ++w) warps[w] = sites(1, count);
  return warps;
}

Divergence branch_at(std::uint32_t warp, std::uint64_t event_idx) {
  Divergence d;
  d.warp_idx = warp;
  d.event_idx = event_idx;
  d.kind = {BranchKind{0, 1}};
  return d;
}

std::vector<tui::WarpEntry> entries(const tui::WarpList& list) {
  std::vector<tui::WarpEntry> all;
  for (std::size_t position = 0; position < list.size(); ++position) all.push_back(list[position]);
  return all;
}

// The diverged warps, walked up from the first.
std::vector<std::uint32_t> diverged_warps(const tui::WarpList& list) {
  std::vector<std::uint32_t> warps;
  for (auto warp = list.first_diverged(); warp; warp = list.next_diverged(*warp)) {
    warps.push_back(*warp);
  }
  return warps;
}

void apply_all(App& app, const std::vector<Action>& actions) {
  for (const Action& a : actions) app.apply(a);
}

void search_for(App& app, std::u32string_view query) {
  app.apply(action::StartSearch{});
  for (const char32_t c : query) app.apply(action::SearchChar{c});
}

void jump_to(App& app, std::string_view digits) {
  app.apply(action::StartWarpJump{});
  for (const char c : digits) app.apply(action::WarpDigit{static_cast<char32_t>(c)});
  app.apply(action::WarpConfirm{});
}

TEST(App, StartsOnTheFirstDivergedWarp) {
  App app = make_app(5, every_warp(5, 3), {branch_at(3, 1), branch_at(1, 0), branch_at(3, 2)});
  EXPECT_EQ(entries(app.warp_list()),
            (std::vector<tui::WarpEntry>{{0, 0}, {1, 1}, {0, 2}, {2, 3}, {0, 4}}));
  EXPECT_EQ(diverged_warps(app.warp_list()), (std::vector<std::uint32_t>{1, 3}));
  EXPECT_EQ(app.current_warp, 1u);
  EXPECT_EQ(app.total_divergences, 3u);
  EXPECT_EQ(app.cursor, 0u);
  EXPECT_EQ(app.viewport_height, 24);
  EXPECT_EQ(app.input_mode, InputMode::Normal);
  EXPECT_EQ(app.focus, tui::Focus::TraceA);
  EXPECT_FALSE(app.search_active || app.show_source || app.quit || app.float_operands);
  EXPECT_TRUE(app.model.aligned_cache.empty());
}

TEST(App, WithoutDivergencesNothingToStepThrough) {
  App app = make_app(4, every_warp(4, 3));
  EXPECT_EQ(entries(app.warp_list()),
            (std::vector<tui::WarpEntry>{{0, 0}, {0, 1}, {0, 2}, {0, 3}}));
  EXPECT_TRUE(diverged_warps(app.warp_list()).empty());
  EXPECT_EQ(app.current_warp, 0u);
  apply_all(app, {action::NextDivergence{}, action::PrevDivergence{}});
  EXPECT_EQ(app.current_warp, 0u);
  EXPECT_EQ(app.cursor, 0u);
}

TEST(App, AlignedViewsAreBuiltOnceAndCached) {
  App app = make_app(2, every_warp(2, 3));
  const tui::AlignedView& first = app.aligned_view(1);
  EXPECT_EQ(first.rows.size(), 3u);
  EXPECT_EQ(&app.aligned_view(0), &app.aligned_view(0));
  EXPECT_EQ(&app.aligned_view(1), &first);
  EXPECT_EQ(app.model.aligned_cache.size(), 2u);
}

TEST(App, StepsThroughDivergencesAcrossWarps) {
  // Divergences only in warps 3 (rows 1, 3) and 7 (rows 2, 4).
  App app = make_app(10, every_warp(10, 5),
                     {branch_at(3, 1), branch_at(3, 3), branch_at(7, 2), branch_at(7, 4)});
  const struct {
    Action action;
    std::uint32_t warp;
    std::size_t cursor;
  } steps[] = {
      {action::NextDivergence{}, 3, 1},
      {action::NextDivergence{}, 3, 3},
      {action::NextDivergence{}, 7, 2},
      {action::NextDivergence{}, 7, 4},
      {action::NextDivergence{}, 7, 4},  // no wrap-around
      {action::PrevDivergence{}, 7, 2},
      {action::PrevDivergence{}, 3, 3},
      {action::PrevDivergence{}, 3, 1},
      {action::PrevDivergence{}, 3, 1},
      {action::NextWarp{}, 4, 0},
      {action::NextWarp{}, 5, 0},
      {action::NextDivergence{}, 7, 2},
      {action::PrevWarp{}, 6, 0},
      {action::PrevWarp{}, 5, 0},
      {action::PrevDivergence{}, 3, 3},
      {action::Top{}, 3, 0},
      {action::PrevDivergence{}, 3, 0},
  };
  ASSERT_EQ(app.current_warp, 3u);
  for (std::size_t k = 0; k < std::size(steps); ++k) {
    app.apply(steps[k].action);
    EXPECT_EQ(app.current_warp, steps[k].warp) << "step " << k;
    EXPECT_EQ(app.cursor, steps[k].cursor) << "step " << k;
  }
}

TEST(App, DivergedWarpBeyondTraceAIsStillReached) {
  // The result names warp 7, trace A has 5 warps: the warp shows no rows.
  App app = make_app(5, every_warp(5, 2), {branch_at(0, 1), branch_at(7, 0)}, 8);
  apply_all(app, {action::NextDivergence{}, action::NextDivergence{}});
  EXPECT_EQ(app.current_warp, 7u);
  EXPECT_EQ(app.cursor, 0u);
  apply_all(app, {action::NextWarp{}, action::PrevWarp{}});
  EXPECT_EQ(app.current_warp, 7u);
  app.apply(action::PrevDivergence{});
  EXPECT_EQ(app.current_warp, 0u);
  EXPECT_EQ(app.cursor, 1u);
}

TEST(App, CursorMovesAndScrolling) {
  const struct {
    std::uint16_t height;
    std::vector<Action> actions;
    std::size_t cursor, scroll;
  } cases[] = {
      {40, {action::PageDown{}}, 12, 0},
      {40, {action::PageDown{}, action::PageUp{}}, 0, 0},
      {40, {action::Down{30}}, 30, 6},
      {40, {action::Down{30}, action::Up{8}}, 22, 6},
      {40, {action::Down{30}, action::Up{25}}, 5, 5},
      {40, {action::Down{30}, action::Up{MAX_COUNT}}, 0, 0},
      {40, {action::Bottom{}}, 99, 75},
      {40, {action::Bottom{}, action::Top{}}, 0, 0},
      {40, {action::Down{1000}}, 99, 75},
      {40, {action::Down{5}, action::Down{MAX_COUNT}}, 99, 75},
      {40, {action::PageUp{}, action::Up{1}}, 0, 0},
      {24, {action::PageDown{}, action::PageDown{}}, 8, 0},
      {24, {action::Down{9}}, 9, 1},
      {17, {action::PageDown{}}, 1, 0},
      {16, {action::PageDown{}, action::PageDown{}}, 2, 2},
      {15, {action::Down{30}}, 30, 0},
      {15, {action::Bottom{}}, 99, 0},
      {15, {action::PageDown{}}, 1, 0},
      {0, {action::PageDown{}, action::Down{3}}, 4, 0},
  };
  for (const auto& c : cases) {
    App app = make_app(1, {{0, sites(1, 100)}});
    app.viewport_height = c.height;
    apply_all(app, c.actions);
    EXPECT_EQ(app.cursor, c.cursor) << "height " << c.height << ", " << c.actions.size();
    EXPECT_EQ(app.scroll, c.scroll) << "height " << c.height << ", " << c.actions.size();
  }
}

TEST(App, DivergenceAndMatchStepsKeepTheCursorVisible) {
  // Height 20: five visible rows. Warp 0 is marked at rows 2 and 12, warp 1 at row 9; the
  // query "3 b" matches rows 2 and 18 of warp 0 (sites 0x03 and 0x13, both branches).
  App app = make_app(2, every_warp(2, 20), {branch_at(0, 2), branch_at(0, 12), branch_at(1, 9)});
  app.viewport_height = 20;
  const struct {
    Action action;
    std::uint32_t warp;
    std::size_t cursor, scroll;
  } steps[] = {
      {action::NextDivergence{}, 0, 2, 0}, {action::NextDivergence{}, 0, 12, 8},
      {action::NextDivergence{}, 1, 9, 5}, {action::PrevDivergence{}, 0, 12, 8},
      {action::PrevDivergence{}, 0, 2, 2}, {action::Top{}, 0, 0, 0},
      {action::StartSearch{}, 0, 0, 0},    {action::SearchChar{U'3'}, 0, 0, 0},
      {action::SearchChar{U' '}, 0, 0, 0}, {action::SearchChar{U'b'}, 0, 0, 0},
      {action::SearchConfirm{}, 0, 2, 0},  {action::NextMatch{}, 0, 18, 14},
      {action::PrevMatch{}, 0, 2, 2},      {action::PrevDivergence{}, 0, 18, 14},
  };
  for (std::size_t k = 0; k < std::size(steps); ++k) {
    app.apply(steps[k].action);
    EXPECT_EQ(app.current_warp, steps[k].warp) << "step " << k;
    EXPECT_EQ(app.cursor, steps[k].cursor) << "step " << k;
    EXPECT_EQ(app.scroll, steps[k].scroll) << "step " << k;
  }
  EXPECT_EQ(app.search_matches, (std::vector<std::size_t>{2, 18}));
}

TEST(App, MovesInAWarpWithoutRows) {
  App app = make_app(2, {{1, sites(1, 3)}});
  apply_all(app, {action::Down{1}, action::PageDown{}, action::Bottom{}, action::Up{1},
                  action::NextDivergence{}, action::PrevDivergence{}});
  EXPECT_EQ(app.cursor, 0u);
  EXPECT_EQ(app.scroll, 0u);
  EXPECT_EQ(app.current_warp, 0u);
}

TEST(App, WarpStepsStayWithinTraceA) {
  App app = make_app(3, every_warp(3, 5));
  app.apply(action::PrevWarp{});
  EXPECT_EQ(app.current_warp, 0u);
  app.cursor = 3;
  app.scroll = 2;
  app.apply(action::NextWarp{});
  EXPECT_EQ(app.current_warp, 1u);
  EXPECT_EQ(app.cursor, 0u);
  EXPECT_EQ(app.scroll, 0u);
  apply_all(app, {action::NextWarp{}, action::NextWarp{}});
  EXPECT_EQ(app.current_warp, 2u);
}

TEST(App, WarpJump) {
  const struct {
    std::string digits;
    std::uint32_t warp;
  } cases[] = {
      {"", 2},    {"99999999999", 2},          {"4294967295", 2}, {"4294967296", 2}, {"10", 2},
      {"007", 7}, {"00000000000000000009", 9}, {"0", 0},          {"1x", 2},         {"-1", 2},
      {"+1", 2},
  };
  for (const auto& c : cases) {
    App app = make_app(10, every_warp(10, 5));
    jump_to(app, "2");
    app.cursor = 3;
    app.scroll = 1;
    jump_to(app, c.digits);
    EXPECT_EQ(app.current_warp, c.warp) << '"' << c.digits << '"';
    const bool moved = c.warp != 2;
    EXPECT_EQ(app.cursor, moved ? 0u : 3u) << '"' << c.digits << '"';
    EXPECT_EQ(app.scroll, moved ? 0u : 1u) << '"' << c.digits << '"';
    EXPECT_EQ(app.input_mode, InputMode::Normal);
    EXPECT_TRUE(app.warp_input.empty());
  }
}

TEST(App, WarpJumpCancel) {
  App app = make_app(10, every_warp(10, 5));
  apply_all(app, {action::StartWarpJump{}, action::WarpDigit{U'5'}});
  EXPECT_EQ(app.input_mode, InputMode::WarpJump);
  EXPECT_EQ(app.warp_input, "5");
  app.apply(action::WarpCancel{});
  EXPECT_EQ(app.input_mode, InputMode::Normal);
  EXPECT_TRUE(app.warp_input.empty());
  EXPECT_EQ(app.current_warp, 0u);
}

// Warp 0: rows 1/1 (Value), 2/- (ExtraA, an atomic in A), 3/3 (A's of unknown type),
// -/4 (ExtraB, an atomic in B). Warp 1: one matched row.
App search_app() {
  Divergence value;
  value.kind = {ValueKind{1, 2}};
  return make_app(2, {{0, {event(1), event(2, 2), event(3, 9)}}, {1, {event(8)}}}, {value},
                  std::nullopt,
                  WarpEvents{{0, {event(1), event(3), event(4, 2)}}, {1, {event(8)}}});
}

TEST(App, SearchMatchesRowTexts) {
  const struct {
    std::u32string query;
    std::vector<std::size_t> matches;
  } cases[] = {
      {U"EXTRA", {1, 3}},
      {U"atomic", {1}},
      {U" ", {0, 1, 2, 3}},
      {U"0x00000004", {3}},
      {U"0X00000001 BRANCH 0x00000001 VALUE ", {0}},
      {U"unknown 0x00000003 ", {2}},
      {U"4 extra", {3}},
      {U"branch 0x", {0}},
      {U"atomic 0x", {}},
      {U"activemask", {}},
      {U"zzz", {}},
      {U"UN\u212ANOWN", {2}},  // the Kelvin sign lowers to an ASCII k
  };
  for (const auto& c : cases) {
    App app = search_app();
    search_for(app, c.query);
    EXPECT_EQ(app.search_matches, c.matches) << "case " << (&c - cases);
    EXPECT_EQ(app.input_mode, InputMode::Search);
  }
}

TEST(App, ConfirmedSearchStepsThroughMatches) {
  App app = search_app();
  search_for(app, U"extra");
  app.apply(action::SearchConfirm{});
  EXPECT_EQ(app.input_mode, InputMode::Normal);
  EXPECT_TRUE(app.search_active);
  EXPECT_EQ(app.cursor, 1u);
  const struct {
    Action action;
    std::size_t cursor, match_index;
  } steps[] = {
      {action::NextDivergence{}, 3, 1}, {action::NextDivergence{}, 1, 0},
      {action::PrevDivergence{}, 3, 1}, {action::PrevMatch{}, 1, 0},
      {action::PrevMatch{}, 3, 1},      {action::NextMatch{}, 1, 0},
  };
  for (std::size_t k = 0; k < std::size(steps); ++k) {
    app.apply(steps[k].action);
    EXPECT_EQ(app.cursor, steps[k].cursor) << "step " << k;
    EXPECT_EQ(app.match_index, steps[k].match_index) << "step " << k;
  }

  // A new search keeps the old one in force until it is confirmed or cancelled.
  app.apply(action::StartSearch{});
  EXPECT_TRUE(app.search_active);
  EXPECT_TRUE(app.search_matches.empty());
  EXPECT_EQ(app.match_index, 0u);
  search_for(app, U"extra");
  apply_all(app, {action::NextMatch{}, action::SearchCancel{}});
  EXPECT_FALSE(app.search_active);
  EXPECT_TRUE(app.search_query.empty());
  EXPECT_TRUE(app.search_matches.empty());
  EXPECT_EQ(app.match_index, 1u);
  EXPECT_EQ(app.input_mode, InputMode::Normal);
}

TEST(App, SearchWithoutMatchesLeavesDivergenceSteps) {
  App app = search_app();
  search_for(app, U"zzz");
  app.apply(action::SearchConfirm{});
  EXPECT_EQ(app.input_mode, InputMode::Normal);
  EXPECT_FALSE(app.search_active);
  EXPECT_EQ(app.cursor, 0u);
  // Marked rows are 0, 1 and 3.
  apply_all(app, {action::NextDivergence{}, action::NextDivergence{}});
  EXPECT_EQ(app.cursor, 3u);
  apply_all(app, {action::NextMatch{}, action::PrevMatch{}});
  EXPECT_EQ(app.cursor, 3u);
}

TEST(App, SearchBackspaceRemovesWholeCharacters) {
  App app = search_app();
  search_for(app, U"ex");
  app.apply(action::SearchChar{U'é'});
  EXPECT_EQ(app.search_query, "ex\xc3\xa9");
  EXPECT_TRUE(app.search_matches.empty());
  app.apply(action::SearchBackspace{});
  EXPECT_EQ(app.search_query, "ex");
  EXPECT_EQ(app.search_matches, (std::vector<std::size_t>{1, 3}));
  apply_all(app, {action::SearchBackspace{}, action::SearchBackspace{}, action::SearchBackspace{}});
  EXPECT_TRUE(app.search_query.empty());
  EXPECT_TRUE(app.search_matches.empty());
  search_for(app, U"");
  app.apply(action::SearchChar{0x110000});  // no scalar value: kept as U+FFFD
  EXPECT_EQ(app.search_query, "\xef\xbf\xbd");
}

TEST(App, MatchesOutliveAWarpChange) {
  App app = search_app();
  app.viewport_height = 16;  // one visible row
  search_for(app, U"extra");
  apply_all(app, {action::SearchConfirm{}, action::NextWarp{}});
  EXPECT_EQ(app.current_warp, 1u);
  EXPECT_EQ(app.search_matches, (std::vector<std::size_t>{1, 3}));
  // Past warp 1's only row, and the scroll follows.
  app.apply(action::NextDivergence{});
  EXPECT_EQ(app.cursor, 3u);
  EXPECT_EQ(app.scroll, 3u);
  app.apply(action::Down{1});
  EXPECT_EQ(app.cursor, 0u);
  EXPECT_EQ(app.scroll, 0u);
}

TEST(App, DivergencePosition) {
  // Four divergences in warps 0 to 4, then marked rows 1, 3 and 5 in warp 5.
  App app = make_app(6, every_warp(6, 8),
                     {branch_at(0, 0), branch_at(2, 1), branch_at(2, 2), branch_at(4, 6),
                      branch_at(5, 1), branch_at(5, 3), branch_at(5, 5)});
  jump_to(app, "5");
  const struct {
    std::size_t cursor, ordinal;
  } cases[] = {{0, 4}, {1, 5}, {2, 5}, {4, 6}, {5, 7}, {7, 7}, {50, 7}};
  for (const auto& c : cases) {
    app.cursor = c.cursor;
    EXPECT_EQ(app.divergence_position(), (std::pair<std::size_t, std::size_t>{c.ordinal, 7}))
        << "cursor " << c.cursor;
  }
  jump_to(app, "0");
  EXPECT_EQ(app.divergence_position(), (std::pair<std::size_t, std::size_t>{1, 7}));
}

TEST(App, DivergencePositionOutsideTheWarpList) {
  // The result covers warps 0 to 2 only; trace A has 6.
  App app = make_app(6, every_warp(6, 3), {branch_at(0, 0), branch_at(2, 1)}, 3);
  jump_to(app, "4");
  EXPECT_EQ(app.divergence_position(), (std::pair<std::size_t, std::size_t>{2, 2}));

  App empty = make_app(2, every_warp(2, 3), {}, 0);
  EXPECT_EQ(empty.divergence_position(), (std::pair<std::size_t, std::size_t>{0, 0}));
}

TEST(App, StepsThroughFewDivergedWarpsAmongMillions) {
  // Trace A has 8 warps; the result covers 4194304, with one divergence past them.
  constexpr std::uint32_t LAST = (1u << 22) - 1;
  App app = make_app(8, every_warp(8, 3),
                     {branch_at(5, 0), branch_at(5, 2), branch_at(70000, 1), branch_at(LAST, 0),
                      branch_at(LAST, 1), branch_at(LAST, 2), branch_at(LAST + 1, 0)},
                     LAST + 1);
  EXPECT_EQ(app.current_warp, 5u);
  const struct {
    Action action;
    std::uint32_t warp;
    std::size_t cursor, ordinal;
  } steps[] = {
      {action::None{}, 5, 0, 1},
      {action::NextDivergence{}, 5, 2, 2},
      {action::NextDivergence{}, 70000, 0, 2},  // no events there, so no marked rows
      {action::NextDivergence{}, LAST, 0, 3},
      {action::NextDivergence{}, LAST, 0, 3},  // the warp past the list is not stepped to
      {action::PrevDivergence{}, 70000, 0, 2},
      {action::PrevDivergence{}, 5, 2, 2},
      {action::PrevDivergence{}, 5, 0, 1},
      {action::PrevDivergence{}, 5, 0, 1},
  };
  for (const auto& step : steps) {
    app.apply(step.action);
    EXPECT_EQ(app.current_warp, step.warp) << "ordinal " << step.ordinal;
    EXPECT_EQ(app.cursor, step.cursor) << "warp " << step.warp;
    EXPECT_EQ(app.divergence_position(), (std::pair<std::size_t, std::size_t>{step.ordinal, 7}))
        << "warp " << step.warp;
  }
}

TEST(App, WarpListLookupsInAnyResultOrder) {
  // The largest warp total there is: a list stored per warp could not be built at all.
  constexpr std::uint32_t TOP = UINT32_MAX - 1;  // the last warp id of the list
  const std::vector<Divergence> in_warp_order = {
      branch_at(0, 0),   branch_at(9, 0),   branch_at(9, 1),         branch_at(1000, 0),
      branch_at(TOP, 0), branch_at(TOP, 1), branch_at(UINT32_MAX, 0)};
  const std::vector<Divergence> shuffled = {in_warp_order[6], in_warp_order[2], in_warp_order[4],
                                            in_warp_order[0], in_warp_order[3], in_warp_order[5],
                                            in_warp_order[1]};
  const std::uint64_t total_warps = std::uint64_t{1} << 40;
  const struct {
    std::uint32_t warp;
    std::size_t count, below;
    std::optional<std::uint32_t> next, prev;
  } lookups[] = {
      {0, 1, 0, 9, std::nullopt},
      {1, 0, 1, 9, 0},
      {9, 2, 1, 1000, 0},
      {500, 0, 3, 1000, 9},
      {1000, 1, 3, TOP, 9},
      {TOP - 1, 0, 4, TOP, 1000},
      {TOP, 2, 4, std::nullopt, 1000},
  };
  for (const auto* order : {&in_warp_order, &shuffled}) {
    const App app = make_app(2, every_warp(2, 1), *order, total_warps);
    const tui::WarpList list = app.warp_list();
    EXPECT_EQ(list.size(), std::size_t{UINT32_MAX});
    EXPECT_EQ(list.first_diverged(), 0u);
    for (const auto& l : lookups) {
      EXPECT_EQ(list[l.warp], (tui::WarpEntry{l.count, l.warp})) << "warp " << l.warp;
      EXPECT_EQ(list.divergences_below(l.warp), l.below) << "warp " << l.warp;
      EXPECT_EQ(list.next_diverged(l.warp), l.next) << "warp " << l.warp;
      EXPECT_EQ(list.prev_diverged(l.warp), l.prev) << "warp " << l.warp;
    }
    // Warp ids past the list count every entry and step back to its last diverged warp.
    EXPECT_EQ(list.divergences_below(UINT32_MAX), 6u);
    EXPECT_EQ(list.prev_diverged(UINT32_MAX), TOP);
    EXPECT_EQ(list.next_diverged(UINT32_MAX), std::nullopt);
  }
}

TEST(App, SwitchesAndQuit) {
  App app = make_app(1, {{0, sites(1, 3)}});
  const tui::Focus order[] = {tui::Focus::TraceB, tui::Focus::Detail, tui::Focus::TraceA};
  for (const tui::Focus expected : order) {
    app.apply(action::CycleFocus{});
    EXPECT_EQ(app.focus, expected);
  }
  app.apply(action::ToggleSource{});
  EXPECT_TRUE(app.show_source);
  app.apply(action::ToggleSource{});
  EXPECT_FALSE(app.show_source);
  app.apply(action::None{});
  EXPECT_FALSE(app.quit);
  app.apply(action::Quit{});
  EXPECT_TRUE(app.quit);
}

}  // namespace
}  // namespace vemo::testing
