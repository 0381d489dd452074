#include "compare/classifier.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace vemo::testing {
namespace {

using Scores = std::array<double, ROOT_CAUSE_COUNT>;

std::uint32_t bits(float f) {
  return std::bit_cast<std::uint32_t>(f);
}

Divergence at(std::uint32_t site, std::uint32_t warp, DivergenceKind kind) {
  Divergence d;
  d.warp_idx = warp;
  d.site_id = site;
  d.kind = kind;
  return d;
}
Divergence value(std::uint32_t site, std::uint32_t warp, std::uint32_t a, std::uint32_t b) {
  return at(site, warp, {ValueKind{a, b}});
}
Divergence branch(std::uint32_t site, std::uint32_t warp) {
  return at(site, warp, {BranchKind{0, 1}});
}
Divergence mask(std::uint32_t site, std::uint32_t warp) {
  return at(site, warp, {ActiveMaskKind{0xf, 0x7}});
}
Divergence path(std::uint32_t site, std::uint32_t warp) {
  return at(site, warp, {PathKind{site, site + 1}});
}
Divergence extra(std::uint32_t site, std::uint32_t warp) {
  return at(site, warp, {ExtraEventsKind{1, TraceSide::A}});
}
Divergence with_predicate(Divergence d, std::uint32_t predicate) {
  d.snapshot = SnapshotPair{};
  d.snapshot->predicate = predicate;
  return d;
}

DiffResult result_of(std::vector<Divergence> divergences, std::uint64_t total_warps) {
  DiffResult result;
  result.divergences = std::move(divergences);
  result.total_warps = total_warps;
  result.warps_compared = total_warps;
  return result;
}

SiteMap site_map(std::initializer_list<std::pair<std::uint32_t, EventType>> entries) {
  SiteMap map;
  for (const auto& [site, type] : entries) {
    SourceLocation location;
    location.site_id = site;
    location.event_type = static_cast<std::uint8_t>(type);
    map.insert(location);
  }
  return map;
}

Scores scores_of(const SiteClassification& classification) {
  Scores scores{};
  for (std::size_t i = 0; i < ROOT_CAUSE_COUNT; ++i) {
    EXPECT_EQ(classification.scores[i].first, static_cast<RootCause>(i));
    scores[i] = classification.scores[i].second;
  }
  return scores;
}

TEST(UlpDistance, OrdersFloatsByTheirBitPatterns) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    std::uint32_t a, b;
    std::optional<std::uint64_t> distance;
  } cases[] = {
      {bits(1.0f), bits(std::nextafter(1.0f, 2.0f)), 1},
      {bits(0.0f), bits(-0.0f), 0},
      {0x00000001, 0x80000001, 2},  // smallest subnormals of both signs
      {1, 2, 1},
      {bits(-1.0f), bits(1.0f), 2ull * 0x3f800000},
      {bits(std::numeric_limits<float>::max()), bits(-std::numeric_limits<float>::max()),
       2ull * 0x7f7fffff},
      {bits(inf), bits(1.0f), std::nullopt},
      {bits(1.0f), bits(-inf), std::nullopt},
      {bits(nan), bits(nan), std::nullopt},
      {0xffc00001, bits(0.0f), std::nullopt},  // negative NaN
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ulp_distance(c.a, c.b), c.distance) << std::hex << c.a << " " << c.b;
    EXPECT_EQ(ulp_distance(c.b, c.a), c.distance) << std::hex << c.b << " " << c.a;
  }
}

TEST(SiteStatsCollection, GathersCountsUlpsAndSnapshots) {
  const auto result = result_of(
      {
          value(0x10, 0, 0, 1),
          value(0x10, 1, 0, 2),
          value(0x20, 0, bits(NAN), 1),
          value(0x10, 2, 0, 4),
          branch(0x20, 3),
          value(0x10, 3, 0, 5),
          value(0x20, 0, bits(INFINITY), 1),
          with_predicate(branch(0x30, 1), 15),
          with_predicate(mask(0x40, 1), 16),
          branch(0x50, 0),
      },
      8);
  const auto stats = collect_site_stats(result, nullptr);
  ASSERT_EQ(stats.size(), 5u);

  EXPECT_EQ(stats[0].site_id, 0x10u);
  EXPECT_EQ(stats[0].mean_ulp, 3.0);
  EXPECT_EQ(stats[0].kind_counts, (decltype(stats[0].kind_counts){{"Value", 4}}));
  EXPECT_EQ(stats[0].n_divergences, 4u);
  EXPECT_EQ(stats[0].distinct_warps, 4u);
  EXPECT_EQ(stats[0].total_warps, 8u);
  EXPECT_TRUE(stats[0].dominant_kind);

  EXPECT_EQ(stats[1].site_id, 0x20u);
  EXPECT_EQ(stats[1].mean_ulp, std::nullopt);  // every value pair skipped
  EXPECT_EQ(stats[1].kind_counts, (decltype(stats[1].kind_counts){{"Branch", 1}, {"Value", 2}}));
  EXPECT_EQ(stats[1].distinct_warps, 2u);

  EXPECT_TRUE(stats[2].float_compare);
  EXPECT_FALSE(stats[3].float_compare);
  EXPECT_FALSE(stats[4].float_compare);
  for (const SiteStats& s : stats) {
    EXPECT_FALSE(s.near_sync);
    EXPECT_EQ(s.site_event_type, std::nullopt);
  }
}

TEST(SiteStatsCollection, DominantKindNeedsTwoWarpsAndMoreThanFourFifths) {
  const auto repeated = [](Divergence d, int n) { return std::vector<Divergence>(n, d); };
  const struct {
    std::string label;
    std::vector<Divergence> group;
    bool dominant;
  } cases[] = {
      {"4:1 over two warps",
       [&] {
         auto g = repeated(branch(1, 0), 4);
         g.push_back(value(1, 1, 0, 1));
         return g;
       }(),
       false},
      {"5:1 over two warps",
       [&] {
         auto g = repeated(branch(1, 0), 5);
         g.push_back(value(1, 1, 0, 1));
         return g;
       }(),
       true},
      {"ten paths in one warp", repeated(path(1, 3), 10), false},
      {"one kind over two warps", {path(1, 0), path(1, 1)}, true},
  };
  for (const auto& c : cases) {
    const auto stats = collect_site_stats(result_of(c.group, 4), nullptr);
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0].dominant_kind, c.dominant) << c.label;
  }
}

TEST(SiteStatsCollection, NearSyncLooksThreeSitesEachWay) {
  std::vector<Divergence> divergences;
  for (std::uint32_t site = 1; site <= 9; ++site) divergences.push_back(branch(site * 0x10, 0));
  const auto result = result_of(divergences, 1);
  // Site list positions 0..8; the global store at position 4 reaches positions 1 to 7.
  const SiteMap map = site_map({{0x50, EventType::GlobalStore},
                                {0x10, EventType::Branch},
                                {0x90, EventType::FunctionEntry},
                                {0x77, EventType::Atomic}});  // not in the site list
  const auto stats = collect_site_stats(result, &map);
  const bool expected[] = {false, true, true, true, true, true, true, true, false};
  for (std::size_t i = 0; i < stats.size(); ++i)
    EXPECT_EQ(stats[i].near_sync, expected[i]) << "position " << i;
  EXPECT_EQ(stats[0].site_event_type, static_cast<std::uint8_t>(EventType::Branch));
  EXPECT_EQ(stats[4].site_event_type, static_cast<std::uint8_t>(EventType::GlobalStore));
  EXPECT_EQ(stats[1].site_event_type, std::nullopt);

  const SiteMap empty;
  for (const SiteStats& s : collect_site_stats(result, &empty)) EXPECT_FALSE(s.near_sync);
}

// A site's statistics from its kind counts and warp numbers.
SiteStats stats_with(std::vector<std::pair<std::string_view, std::uint64_t>> kinds,
                     std::uint64_t warps, std::uint64_t total_warps, bool dominant) {
  SiteStats stats;
  stats.kind_counts = std::move(kinds);
  for (const auto& entry : stats.kind_counts) stats.n_divergences += entry.second;
  stats.distinct_warps = warps;
  stats.total_warps = total_warps;
  stats.dominant_kind = dominant;
  return stats;
}

TEST(RootCauseScores, AddsTheBonusesThatApply) {
  const auto tweak = [](SiteStats s, auto change) {
    change(s);
    return s;
  };
  const auto shared = static_cast<std::uint8_t>(EventType::SharedMemoryStore);
  const auto atomic = static_cast<std::uint8_t>(EventType::Atomic);
  const auto global = static_cast<std::uint8_t>(EventType::GlobalStore);
  const struct {
    std::string label;
    SiteStats stats;
    Scores expected;
  } cases[] = {
      {"close values, dominant, share 0.5",
       tweak(stats_with({{"Value", 4}}, 4, 8, true), [](SiteStats& s) { s.mean_ulp = 3.0; }),
       {0, 3.5, 2.0, 0, 0}},
      {"extra events in every warp",
       stats_with({{"ExtraEvents", 3}}, 3, 3, true),
       {0, 0, 3.5, 0, 5.0}},
      {"branches in one warp of two", stats_with({{"Branch", 4}}, 1, 2, false), {0, 0, 0, 0, 0}},
      {"ten paths in one warp of ten",
       stats_with({{"Path", 10}}, 1, 10, false),
       {1.0, 0, 3.0, 0, 0}},
      {"atomic site near sync, branch and value",
       tweak(stats_with({{"Branch", 1}, {"Value", 1}}, 2, 8, false),
             [&](SiteStats& s) {
               s.near_sync = true;
               s.site_event_type = atomic;
             }),
       {10.0, 1.0, 0, 0, 0}},
      {"float compare with a mean of exactly 100",
       tweak(stats_with({{"Branch", 1}, {"Value", 1}}, 1, 1, false),
             [](SiteStats& s) {
               s.float_compare = true;
               s.mean_ulp = 100.0;
             }),
       {1.5, 6.5, 1.5, 0, 0}},
      {"mean of exactly 10000, value beside path",
       tweak(stats_with({{"Value", 1}, {"Path", 1}}, 1, 0, false),
             [](SiteStats& s) { s.mean_ulp = 10000.0; }),
       {0, 0, 3.0, 0, 0}},
      {"mean just below 10000",
       tweak(stats_with({{"Value", 1}}, 1, 0, false), [](SiteStats& s) { s.mean_ulp = 9999.5; }),
       {0, 2.0, 0, 0, 0}},
      {"active mask at a shared store near sync",
       tweak(stats_with({{"ActiveMask", 6}}, 5, 8, true),
             [&](SiteStats& s) {
               s.near_sync = true;
               s.site_event_type = shared;
             }),
       {6.0, 0, 2.0, 6.5, 0}},
      {"active mask at a global store near sync",
       tweak(stats_with({{"ActiveMask", 1}, {"Branch", 1}}, 2, 4, false),
             [&](SiteStats& s) {
               s.near_sync = true;
               s.site_event_type = global;
             }),
       {4.5, 0, 0, 2.5, 0}},
      {"extra events at a branch site, not dominant",
       tweak(stats_with({{"Branch", 1}, {"ExtraEvents", 1}}, 2, 0, false),
             [](SiteStats& s) { s.site_event_type = 0; }),
       {1.5, 0, 0, 0, 4.5}},
      {"dominant path and branch, share exactly 0.7",
       stats_with({{"Branch", 1}, {"Path", 9}}, 7, 10, true),
       {0, 0, 6.0, 0, 0}},
      {"dominant, share 0.75", stats_with({{"Branch", 9}}, 3, 4, true), {0, 0, 4.5, 0, 0}},
      {"no warps compared", stats_with({{"Branch", 1}}, 1, 0, false), {0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(root_cause_scores(c.stats), c.expected) << c.label;
}

TEST(WinningCause, LatestOfTheHighestWins) {
  const struct {
    Scores scores;
    RootCause winner;
  } cases[] = {
      {{3.0, 3.0, 0, 0, 0}, RootCause::FloatingPointPrecision},
      {{1, 1, 1, 1, 1}, RootCause::LoopBoundDifference},
      {{4.0, 3.0, 0, 0, 3.9}, RootCause::RaceCondition},
      {{0, 2.0, 5.0, 5.0, 1.0}, RootCause::MemoryOrdering},
  };
  for (const auto& c : cases) EXPECT_EQ(winning_cause(c.scores), c.winner);
}

TEST(ClassifyRootCauses, EmptyListGivesEmptyReport) {
  const auto report = classify_root_causes(result_of({}, 4), nullptr);
  EXPECT_TRUE(report.classifications.empty());
  EXPECT_TRUE(report.category_counts.empty());
}

TEST(ClassifyRootCauses, WorkedExamples) {
  const std::uint32_t one = bits(1.0f);
  const struct {
    std::string label;
    DiffResult result;
    RootCause cause;
    double confidence;
    Scores scores;
  } cases[] = {
      {"close values in half the warps",
       result_of({value(7, 0, one, one + 1), value(7, 1, one, one + 2), value(7, 2, one + 4, one),
                  value(7, 3, one, one + 5)},
                 8),
       RootCause::FloatingPointPrecision, 3.5 / 5.5, Scores{0, 3.5, 2.0, 0, 0}},
      {"extra events in every warp", result_of({extra(7, 0), extra(7, 1), extra(7, 2)}, 3),
       RootCause::LoopBoundDifference, 5.0 / 8.5, Scores{0, 0, 3.5, 0, 5.0}},
      {"+0 against -0", result_of({value(7, 0, bits(0.0f), bits(-0.0f))}, 1),
       RootCause::FloatingPointPrecision, 3.5 / 5.0, Scores{0, 3.5, 1.5, 0, 0}},
      {"ten paths in one warp", result_of(std::vector<Divergence>(10, path(7, 4)), 10),
       RootCause::AlgorithmicBug, 0.75, Scores{1.0, 0, 3.0, 0, 0}},
  };
  for (const auto& c : cases) {
    const auto report = classify_root_causes(c.result, nullptr);
    ASSERT_EQ(report.classifications.size(), 1u) << c.label;
    const SiteClassification& classification = report.classifications[0];
    EXPECT_EQ(classification.site_id, 7u) << c.label;
    EXPECT_EQ(classification.root_cause, c.cause) << c.label;
    EXPECT_DOUBLE_EQ(classification.confidence, c.confidence) << c.label;
    EXPECT_EQ(scores_of(classification), c.scores) << c.label;
    EXPECT_EQ(report.category_counts,
              (std::vector<std::pair<RootCause, std::uint64_t>>{{c.cause, 1}}))
        << c.label;
  }
}

TEST(ClassifyRootCauses, LeavesOutAllZeroSitesAndSortsStably) {
  // Two warps compared: a site in one of them has a warp share of exactly 0.5.
  const auto report =
      classify_root_causes(result_of(
                               {
                                   extra(0x08, 0), extra(0x08, 1),     // loop 5.0 / 8.5
                                   branch(0x10, 0), branch(0x10, 0),   // every score 0
                                   value(0x20, 1, bits(NAN), 0),       // float 1.0 / 1.0
                                   extra(0x30, 1), extra(0x30, 0),     // loop 5.0 / 8.5
                                   value(0x40, 0, 1, bits(INFINITY)),  // float 1.0 / 1.0
                               },
                               2),
                           nullptr);
  std::vector<std::uint32_t> order;
  for (const auto& classification : report.classifications) order.push_back(classification.site_id);
  EXPECT_EQ(order, (std::vector<std::uint32_t>{0x20, 0x40, 0x08, 0x30}));
  EXPECT_DOUBLE_EQ(report.classifications[0].confidence, 1.0);
  EXPECT_EQ(report.category_counts,
            (std::vector<std::pair<RootCause, std::uint64_t>>{
                {RootCause::FloatingPointPrecision, 2}, {RootCause::LoopBoundDifference, 2}}));
}

TEST(ClassifyRootCauses, GlobalStoreMakesNeighboursNearSyncOnly) {
  // Active-mask divergences at three sites; the map marks the third one.
  const auto result =
      result_of({mask(0x10, 0), mask(0x10, 1), branch(0x20, 0), mask(0x30, 0), mask(0x30, 1)}, 4);
  const auto scores_by_site = [&](const SiteMap* map) {
    std::map<std::uint32_t, Scores> scores;
    for (const auto& c : classify_root_causes(result, map).classifications)
      scores[c.site_id] = scores_of(c);
    return scores;
  };
  const Scores near_sync_only{3.0, 0, 2.0, 4.0, 0};
  const SiteMap global = site_map({{0x30, EventType::GlobalStore}});
  const auto with_global = scores_by_site(&global);
  EXPECT_EQ(with_global.at(0x10), near_sync_only);
  EXPECT_EQ(with_global.at(0x30), near_sync_only);

  const SiteMap atomic = site_map({{0x30, EventType::Atomic}});
  EXPECT_EQ(scores_by_site(&atomic).at(0x30), (Scores{6.0, 0, 2.0, 6.5, 0}));
  EXPECT_EQ(scores_by_site(nullptr).at(0x10), (Scores{0, 0, 2.0, 1.5, 0}));
}

TEST(RootCauseTexts, NamesAndExplanations) {
  const struct {
    RootCause cause;
    std::string_view name, explanation;
  } cases[] = {
      {RootCause::RaceCondition, "Race Condition",
       "Non-deterministic divergence at or near atomic/shared-memory sites. The kernel likely has "
       "a "
       "data race."},
      {RootCause::FloatingPointPrecision, "Floating-Point Precision",
       "Value divergences with small ULP distance, possibly at float comparison sites. Different "
       "rounding or FMA contraction may cause branch divergence."},
      {RootCause::AlgorithmicBug, "Algorithmic Bug",
       "Consistent path divergences across warps, indicating a deterministic control flow "
       "difference (wrong algorithm, off-by-one, etc.)."},
      {RootCause::MemoryOrdering, "Memory Ordering",
       "Active mask divergences correlated with atomic or shared memory operations. Threads may "
       "see values in different orders."},
      {RootCause::LoopBoundDifference, "Loop Bound Difference",
       "One trace has extra events (different iteration counts). Loop bounds or recursion depth "
       "differ between the two executions."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(root_cause_name(c.cause), c.name);
    EXPECT_EQ(root_cause_explanation(c.cause), c.explanation) << c.name;
  }
}

}  // namespace
}  // namespace vemo::testing
