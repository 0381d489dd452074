#include "compare/diff.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace vemo
