#include "compare/diff.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <string>
#include <vector>

#include "compare/alignment_walk.hpp"
#include "support/trace_builder.hpp"

namespace vemo {
namespace {

constexpr std::uint32_t WARP = 7;
constexpr std::uint8_t SWITCH = static_cast<std::uint8_t>(EventType::Switch);

TraceEvent ev(std::uint32_t site, std::uint8_t type = 0, std::uint8_t dir = 0,
              std::uint32_t mask = 0xffffffff, std::uint32_t value = 0) {
  return TraceEvent{site, type, dir, {0, 0}, mask, value};
}

std::vector<TraceEvent> sites(std::initializer_list<std::uint32_t> ids) {
  std::vector<TraceEvent> events;
  for (std::uint32_t id : ids) events.push_back(ev(id));
  return events;
}

Divergence at(std::uint64_t event_idx, std::uint32_t site, DivergenceKind kind) {
  return Divergence{
      .warp_idx = WARP, .event_idx = event_idx, .site_id = site, .kind = kind, .snapshot = {}};
}
DivergenceKind extra(std::uint64_t count, TraceSide side) {
  return {ExtraEventsKind{count, side}};
}
DivergenceKind path(std::uint32_t a, std::uint32_t b) {
  return {PathKind{a, b}};
}

CompareConfig with_lookahead(std::uint64_t lookahead, bool continue_after_path = false) {
  return CompareConfig{.lookahead = lookahead, .continue_after_path = continue_after_path};
}

struct DiffCase {
  std::string name;
  std::vector<TraceEvent> a;
  std::vector<TraceEvent> b;
  CompareConfig config;
  std::vector<Divergence> expected;
};

class DiffTable : public ::testing::TestWithParam<DiffCase> {};

TEST_P(DiffTable, FindsTheExpectedDivergences) {
  const DiffCase& c = GetParam();
  const auto diff = c.config.cross_gpu ? diff_events_cross_gpu : diff_events;
  EXPECT_EQ(diff(WARP, c.a, c.b, c.config), c.expected);
}

// The sized walk that the comparison uses: counts stop at their limit without overshooting it
// (a matched pair can give three divergences at once), and a part-sized output gets the prefix.
TEST_P(DiffTable, CountingAndFillingAgreeWithTheList) {
  const DiffCase& c = GetParam();
  const std::size_t found = c.expected.size();
  EXPECT_EQ(count_divergences(c.a, c.b, c.config, 0), found);
  for (std::size_t n = 1; n <= found + 1; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(count_divergences(c.a, c.b, c.config, n), std::min(n, found));
    std::vector<Divergence> out(std::min(n, found));
    diff_events_into(WARP, c.a, c.b, c.config, out);
    EXPECT_EQ(out, std::vector<Divergence>(c.expected.begin(), c.expected.begin() + out.size()));
  }
}

const CompareConfig DEFAULT{};
const CompareConfig VALUES{.compare_values = true};
const CompareConfig CROSS{.cross_gpu = true};

INSTANTIATE_TEST_SUITE_P(
    Walk, DiffTable,
    ::testing::Values(
        DiffCase{"BothEmpty", {}, {}, DEFAULT, {}},
        DiffCase{"OnlyBHasEvents",
                 {},
                 sites({4, 5, 6, 7, 8}),
                 DEFAULT,
                 {at(0, 4, extra(5, TraceSide::B))}},
        DiffCase{"OnlyAHasEvents",
                 sites({4, 5, 6, 7, 8}),
                 {},
                 DEFAULT,
                 {at(0, 4, extra(5, TraceSide::A))}},
        DiffCase{"Identical", sites({1, 2, 3}), sites({1, 2, 3}), DEFAULT, {}},
        DiffCase{"ExtraEventInA",
                 sites({1, 2, 3}),
                 sites({1, 3}),
                 DEFAULT,
                 {at(1, 2, extra(1, TraceSide::A))}},
        DiffCase{"NothingAheadGivesPathThenTailOfA",
                 sites({1, 2}),
                 sites({1, 3}),
                 DEFAULT,
                 {at(1, 2, path(2, 3)), at(1, 2, extra(1, TraceSide::A))}},
        DiffCase{"ContinueAfterPathAtTheEnd",
                 sites({1, 2}),
                 sites({1, 3}),
                 with_lookahead(32, true),
                 {at(1, 2, path(2, 3))}},
        DiffCase{"ExtraInBThenTailOfA",
                 sites({5, 1}),
                 sites({7, 5}),
                 DEFAULT,
                 {at(0, 7, extra(1, TraceSide::B)), at(1, 1, extra(1, TraceSide::A))}},
        DiffCase{"EqualDistanceCountsForA",
                 sites({2, 3}),
                 sites({3, 2}),
                 DEFAULT,
                 {at(0, 2, extra(1, TraceSide::A)), at(2, 2, extra(1, TraceSide::B))}},
        DiffCase{"NearerResyncInBWins",
                 sites({2, 9, 3}),
                 sites({3, 2}),
                 DEFAULT,
                 {at(0, 3, extra(1, TraceSide::B)), at(1, 9, extra(2, TraceSide::A))}},
        DiffCase{"ZeroLookaheadStopsAtFirstMismatch",
                 sites({1, 2, 3}),
                 sites({1, 3, 3}),
                 with_lookahead(0),
                 {at(1, 2, path(2, 3)), at(1, 2, extra(2, TraceSide::A))}},
        DiffCase{"ZeroLookaheadContinuing",
                 sites({1, 2, 3}),
                 sites({4, 5}),
                 with_lookahead(0, true),
                 {at(0, 1, path(1, 4)), at(1, 2, path(2, 5)), at(2, 3, extra(1, TraceSide::A))}},
        DiffCase{"ResyncJustBeyondLookahead",
                 sites({1, 2, 3, 4}),
                 sites({4}),
                 with_lookahead(2),
                 {at(0, 1, path(1, 4)), at(0, 1, extra(4, TraceSide::A))}},
        DiffCase{"ResyncAtLookahead",
                 sites({1, 2, 3, 4}),
                 sites({4}),
                 with_lookahead(3),
                 {at(0, 1, extra(3, TraceSide::A))}},
        DiffCase{"HugeLookaheadStaysInBounds",
                 sites({1, 2}),
                 sites({2}),
                 with_lookahead(std::numeric_limits<std::uint64_t>::max()),
                 {at(0, 1, extra(1, TraceSide::A))}},
        DiffCase{
            "DirectionOfNonBranchIsIgnored", {ev(1, SWITCH, 0)}, {ev(1, SWITCH, 1)}, DEFAULT, {}},
        DiffCase{"OnlyTraceAsEventTypeIsTested",
                 {ev(1, 0, 1)},
                 {ev(1, SWITCH, 0)},
                 DEFAULT,
                 {at(0, 1, {BranchKind{1, 0}})}},
        DiffCase{"AllThreeFieldChecksInOrder",
                 {ev(1), ev(2, 0, 0, 0xff, 10)},
                 {ev(1), ev(2, 0, 1, 0x0f, 11)},
                 VALUES,
                 {at(1, 2, {BranchKind{0, 1}}), at(1, 2, {ActiveMaskKind{0xff, 0x0f}}),
                  at(1, 2, {ValueKind{10, 11}})}},
        DiffCase{"IgnoredBytesDoNotMatter",
                 {TraceEvent{1, 0, 0, {1, 2}, 0xff, 3}},
                 {TraceEvent{1, 0, 0, {9, 9}, 0xff, 3}},
                 VALUES,
                 {}},
        DiffCase{"ValuesIgnoredByDefault", {ev(1, 0, 0, 1, 10)}, {ev(1, 0, 0, 1, 11)}, DEFAULT, {}},
        DiffCase{"SameArchMasksCompareRaw",
                 {ev(1, 0, 0, 0xf)},
                 {ev(1, 0, 0, 0xf0)},
                 DEFAULT,
                 {at(0, 1, {ActiveMaskKind{0xf, 0xf0}})}},
        DiffCase{"CrossGpuMasksEqualPopcount", {ev(1, 0, 0, 0xf)}, {ev(1, 0, 0, 0xf0)}, CROSS, {}},
        DiffCase{"CrossGpuMasksDifferentPopcount",
                 {ev(1, 0, 0, 0xf)},
                 {ev(1, 0, 0, 0x7)},
                 CROSS,
                 {at(0, 1, {ActiveMaskKind{0xf, 0x7}})}}),
    [](const auto& info) { return info.param.name; });

// ---- Byte-identical runs, skipped at once ----

TEST(IdenticalPrefix, StopsAtTheFirstDifferingByte) {
  // Every length around the widths compared at once (groups, the short run, blocks), a
  // difference at every event and at varying bytes of it, and none.
  const std::size_t longest = IDENTICAL_SHORT_RUN + 2 * IDENTICAL_BLOCK_EVENTS + 2;
  const std::vector<TraceEvent> a(longest + 1, ev(3, 0, 1, 0xff, 7));
  for (std::size_t n = 0; n <= longest; ++n) {
    for (std::size_t at = 0; at <= n; ++at) {
      SCOPED_TRACE(::testing::Message() << n << " events, difference at " << at);
      std::vector<TraceEvent> b(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n));
      if (at < n) reinterpret_cast<unsigned char*>(&b[at])[(at * 7) % sizeof(TraceEvent)] ^= 1;
      EXPECT_EQ(identical_prefix(a, b), at);
      EXPECT_EQ(identical_prefix(b, a), at);
    }
  }
}

using testing::loop_events;
using testing::with_padding;

// The two sides of a comparison of `config`; `b` starts as a copy of `a`.
struct SkipCase {
  std::string name;
  std::vector<TraceEvent> a;
  std::vector<TraceEvent> b;
  CompareConfig config;
};

// Every way the comparison calls the walk gives the event walk's result: the list, the counts
// up to limits around it, and the filled prefixes. With different padding on the two sides no
// event is byte-identical to any other, so the walk takes every step one event at a time, and
// no check reads the padding: that is the event walk's result.
void expect_event_walk_result(const SkipCase& c) {
  const auto diff = c.config.cross_gpu ? diff_events_cross_gpu : diff_events;
  const auto expected = diff(WARP, with_padding(c.a, 0x11), with_padding(c.b, 0x22), c.config);
  ASSERT_EQ(diff(WARP, c.a, c.b, c.config), expected);
  const std::size_t found = expected.size();
  for (const std::size_t limit : {std::size_t{0}, std::size_t{1}, found / 2, found, found + 1}) {
    SCOPED_TRACE(::testing::Message() << "limit " << limit);
    const std::size_t kept = limit == 0 ? found : std::min(limit, found);
    EXPECT_EQ(count_divergences(c.a, c.b, c.config, limit), kept);
    std::vector<Divergence> out(kept);
    diff_events_into(WARP, c.a, c.b, c.config, out);
    EXPECT_EQ(out, std::vector<Divergence>(expected.begin(), expected.begin() + kept));
  }
}

constexpr std::uint32_t EVENTS = 1000;
constexpr std::size_t MIDDLE = EVENTS / 2 + 3;  // inside a block, not at its start
constexpr std::size_t LAST = EVENTS - 1;

template <class Change>
SkipCase changed(std::string name, CompareConfig config, Change change) {
  SkipCase c{std::move(name), loop_events(EVENTS), {}, config};
  c.b = c.a;
  change(c.a, c.b);
  return c;
}

template <class Change>
SkipCase at_events(std::string name, std::initializer_list<std::size_t> where, CompareConfig config,
                   Change change) {
  return changed(std::move(name), config, [&](auto&, std::vector<TraceEvent>& b) {
    for (const std::size_t k : where) change(b[k]);
  });
}

void flip_direction(TraceEvent& event) {
  event.branch_dir ^= 1;
}
void other_mask(TraceEvent& event) {
  event.active_mask ^= 0x80000001u;
}
void other_value(TraceEvent& event) {
  event.value += 1;
}
void other_padding(TraceEvent& event) {
  event.padding[1] ^= 0x40;
}

std::vector<SkipCase> skip_cases() {
  const CompareConfig stop_now = with_lookahead(4);
  const CompareConfig go_on = with_lookahead(4, true);
  const auto insert = [](std::vector<TraceEvent>& events, std::size_t at, std::size_t count,
                         std::uint32_t site) {
    events.insert(events.begin() + static_cast<std::ptrdiff_t>(at), count, ev(site));
  };
  return {
      changed("Identical", DEFAULT, [](auto&, auto&) {}),
      changed("IdenticalWithValues", VALUES, [](auto&, auto&) {}),
      at_events("BranchAtFirstEvent", {0}, DEFAULT, flip_direction),
      at_events("BranchAtMiddleEvent", {MIDDLE}, DEFAULT, flip_direction),
      at_events("BranchAtLastEvent", {LAST}, DEFAULT, flip_direction),
      at_events("MaskAtFirstMiddleAndLastEvents", {0, MIDDLE, LAST}, DEFAULT, other_mask),
      at_events("ManyDifferencesCloseTogether", {1, 2, 3, 5, 8, 13, 21, 34, 55, 89}, VALUES,
                other_value),
      at_events("OnlyPadding", {0, 1, MIDDLE, LAST}, VALUES, other_padding),
      at_events("OnlyValuesWithoutValues", {0, MIDDLE, LAST}, DEFAULT, other_value),
      at_events("ValuesWithValues", {0, MIDDLE, LAST}, VALUES, other_value),
      changed("CrossGpuMasksOfEqualLaneCounts", CROSS,
              [](auto&, std::vector<TraceEvent>& b) {
                for (std::size_t k = 0; k < EVENTS; k += 3) {
                  b[k].active_mask = std::rotl(b[k].active_mask, 5);
                }
              }),
      at_events("CrossGpuMaskOfAnotherLaneCount", {MIDDLE}, CROSS,
                [](TraceEvent& event) { event.active_mask >>= 1; }),
      changed("ExtraEventsInA", DEFAULT,
              [&](std::vector<TraceEvent>& a, auto&) { insert(a, MIDDLE, 3, 0x100); }),
      changed("ExtraEventsInBAtTheStart", DEFAULT,
              [&](auto&, std::vector<TraceEvent>& b) { insert(b, 0, 2, 0x10f); }),
      changed("LongerA", DEFAULT,
              [&](std::vector<TraceEvent>& a, auto&) { insert(a, EVENTS, 70, 0x100); }),
      changed("LongerB", DEFAULT,
              [&](auto&, std::vector<TraceEvent>& b) { insert(b, EVENTS, 1, 0x100); }),
      // Sites found nowhere ahead: a Path that stops the walk, with identical events after it
      // that must not be skipped, or that the walk steps past and then skips.
      changed("PathStopsTheWalk", stop_now,
              [](auto&, std::vector<TraceEvent>& b) { b[MIDDLE].site_id = 0x999; }),
      changed("PathThenIdenticalRun", go_on,
              [](auto&, std::vector<TraceEvent>& b) { b[MIDDLE].site_id = 0x999; }),
      changed("DriftBeyondTheLookahead", go_on,
              [&](auto&, std::vector<TraceEvent>& b) { insert(b, MIDDLE, 17, 0x999); }),
  };
}

void PrintTo(const SkipCase& c, std::ostream* out) {
  *out << c.name;
}

class SkipTable : public ::testing::TestWithParam<SkipCase> {};

TEST_P(SkipTable, GivesTheEventWalkResult) {
  expect_event_walk_result(GetParam());
}

INSTANTIATE_TEST_SUITE_P(IdenticalRuns, SkipTable, ::testing::ValuesIn(skip_cases()),
                         [](const auto& info) { return info.param.name; });

// Identical runs of every length around the widths compared at once, before, between and after
// differences, and sides of those lengths.
TEST(IdenticalRuns, EveryRunLengthAroundTheCompareWidthsGivesTheEventWalkResult) {
  for (std::size_t run = 0; run <= IDENTICAL_SHORT_RUN + 2 * IDENTICAL_BLOCK_EVENTS + 2; ++run) {
    SCOPED_TRACE(::testing::Message() << "run of " << run);
    SkipCase c{"", loop_events(static_cast<std::uint32_t>(2 * run + 2)), {}, VALUES};
    c.b = c.a;
    expect_event_walk_result(c);
    c.b[run].value += 1;
    c.b[2 * run + 1].branch_dir ^= 1;
    expect_event_walk_result(c);
    c.b.resize(run);
    expect_event_walk_result(c);
  }
}

}  // namespace
}  // namespace vemo
