#include "compare/traces.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "compare/diff.hpp"
#include "compare/workers.hpp"
#include "support/trace_builder.hpp"

namespace vemo {
namespace {

using testing::event;
using testing::TraceBuilder;

constexpr std::uint8_t TAKEN = 1;
constexpr std::uint32_t AMD_ARCH = 4096;

struct Outcome {
  Result<DiffResult> result;
  std::string err;
};

Outcome compare(const TraceBuilder& a, const TraceBuilder& b, const CompareConfig& config = {},
                const SiteRemapper* remapper = nullptr) {
  const Trace trace_a = a.build();
  const Trace trace_b = b.build();
  std::string err;
  Result<DiffResult> result = compare_traces(trace_a, trace_b, config, remapper,
                                             [&](std::string_view line) { err += line; });
  return {std::move(result), std::move(err)};
}

DiffResult compare_ok(const TraceBuilder& a, const TraceBuilder& b,
                      const CompareConfig& config = {}, const SiteRemapper* remapper = nullptr) {
  Outcome run = compare(a, b, config, remapper);
  EXPECT_TRUE(run.result.has_value()) << run.result.error().message();
  return run.result.value_or(DiffResult{});
}

// `count` events at sites 1..count; taken branches when `taken`.
std::vector<TraceEvent> branches(std::uint32_t count, bool taken = false) {
  std::vector<TraceEvent> events;
  for (std::uint32_t site = 1; site <= count; ++site) {
    events.push_back(event(site, 0, taken ? TAKEN : 0));
  }
  return events;
}

TraceBuilder one_warp(std::vector<TraceEvent> events) {
  TraceBuilder builder;
  builder.shape(1, 8).warp(0, std::move(events));
  return builder;
}

TraceBuilder with_warps(std::uint32_t num_warps, std::uint32_t cuda_arch = 0) {
  TraceBuilder builder;
  builder.shape(num_warps, 4);
  builder.header.cuda_arch = cuda_arch;
  return builder;
}

TEST(CompareTraces, ComparabilityChecks) {
  struct Case {
    std::string name;
    void (*change_b)(TraceBuilder&);
    CompareConfig config;
    std::optional<std::string> error;
    std::string err;
  };
  const auto other_kernel = [](TraceBuilder& b) { b.kernel("other_kernel", 0xabc); };
  const auto other_kernel_and_shape = [](TraceBuilder& b) {
    b.kernel("other_kernel", 0xabc);
    b.header.grid = {2, 1, 1};
    b.header.block = {64, 1, 1};
    b.shape(2, 8);
  };
  const Case cases[] = {
      {"kernel mismatch is an error before any shape check",
       other_kernel_and_shape,
       {},
       "Kernel mismatch: 'test_kernel' (0x0000000000001234) vs 'other_kernel' "
       "(0x0000000000000abc)\nHint: use --force to compare different kernel variants",
       ""},
      {"--force warns",
       other_kernel,
       {.skip_kernel_name_check = true},
       std::nullopt,
       "Warning: Kernel mismatch (--force): 'test_kernel' vs 'other_kernel'\n"
       "Comparing 1 warps...\n"},
      {"--force keeps the grid check",
       other_kernel_and_shape,
       {.skip_kernel_name_check = true},
       "Grid dimension mismatch: [1, 1, 1] vs [2, 1, 1]",
       "Warning: Kernel mismatch (--force): 'test_kernel' vs 'other_kernel'\n"},
      {"--force with --cross-gpu names --cross-gpu",
       other_kernel,
       {.skip_kernel_name_check = true, .cross_gpu = true},
       std::nullopt,
       "Warning: Kernel mismatch (--cross-gpu): 'test_kernel' vs 'other_kernel'\n"
       "Comparing 1 warps...\n"},
      {"equal hashes with other names pass silently",
       [](TraceBuilder& b) { b.kernel("renamed", 0x1234); },
       {},
       std::nullopt,
       "Comparing 1 warps...\n"},
      {"block mismatch",
       [](TraceBuilder& b) {
         b.header.block = {64, 1, 1};
       },
       {},
       "Block dimension mismatch: [32, 1, 1] vs [64, 1, 1]",
       ""},
      {"warp count mismatch",
       [](TraceBuilder& b) { b.shape(3, 8); },
       {},
       "Total warp mismatch: 1 vs 3",
       ""},
      {"--cross-gpu notes shapes and ignores warp counts",
       other_kernel_and_shape,
       {.cross_gpu = true},
       std::nullopt,
       "Warning: Kernel mismatch (--cross-gpu): 'test_kernel' vs 'other_kernel'\n"
       "Note (cross-GPU): Grid dimension mismatch: [1, 1, 1] vs [2, 1, 1]\n"
       "Note (cross-GPU): Block dimension mismatch: [32, 1, 1] vs [64, 1, 1]\n"
       "Comparing 1 warps...\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TraceBuilder b = one_warp(branches(2));
    c.change_b(b);
    const Outcome run = compare(one_warp(branches(2)), b, c.config);
    if (c.error) {
      ASSERT_FALSE(run.result.has_value());
      EXPECT_EQ(run.result.error().message(), *c.error);
      EXPECT_TRUE(run.result.error().causes().empty());
    } else {
      EXPECT_TRUE(run.result.has_value());
    }
    EXPECT_EQ(run.err, c.err);
  }
}

TEST(CompareTraces, NoWarpsGivesAnEmptyResult) {
  const Outcome run = compare(with_warps(0), with_warps(0));
  ASSERT_TRUE(run.result.has_value());
  EXPECT_EQ(run.err, "Comparing 0 warps...\n");
  const DiffResult& result = *run.result;
  EXPECT_TRUE(result.divergences.empty());
  EXPECT_EQ(result.total_warps, 0u);
  EXPECT_EQ(result.warps_compared, 0u);
  EXPECT_EQ(result.warps_diverged, 0u);
  EXPECT_EQ(result.total_events_a, 0u);
  EXPECT_EQ(result.total_events_b, 0u);
  EXPECT_FALSE(result.cross_gpu.has_value());
}

// A job as the warps it covers, listed one by one.
struct ListedJob {
  std::vector<std::uint32_t> warps_a;
  std::uint32_t warp_idx;
  std::vector<std::uint32_t> warps_b;
  bool operator==(const ListedJob&) const = default;
};

std::vector<std::uint32_t> listed(WarpRange warps) {
  std::vector<std::uint32_t> list;
  for (const std::uint32_t warp : warps.indices()) list.push_back(warp);
  return list;
}

std::vector<ListedJob> listed(const WarpJobs& jobs) {
  std::vector<ListedJob> list;
  for (std::size_t k = 0; k < jobs.size(); ++k) {
    list.push_back({listed(jobs[k].warps_a), jobs[k].warp_idx, listed(jobs[k].warps_b)});
    EXPECT_EQ(jobs.with_index(jobs[k].warp_idx), jobs[k]);
  }
  if (!list.empty()) {
    EXPECT_EQ(jobs.with_index(list.back().warp_idx + 1), std::nullopt);
  }
  return list;
}

// Warp w's events, different for every warp; trace B flips a branch in every third warp.
TraceBuilder numbered_warps(std::uint32_t num_warps, std::uint32_t cuda_arch, bool flip) {
  TraceBuilder builder = with_warps(num_warps, cuda_arch);
  for (std::uint32_t warp = 0; warp < num_warps; ++warp) {
    const bool flipped = flip && warp % 3 == 1;
    builder.warp(warp, {event(10 + warp), event(2, 0, flipped ? TAKEN : 0, 0xff), event(3)});
  }
  return builder;
}

// The divergences of the jobs, each diffed on its own sequences joined warp by warp.
std::vector<Divergence> diffed_job_by_job(const std::vector<ListedJob>& jobs, const Trace& a,
                                          const Trace& b, const CompareConfig& config) {
  const auto sequence = [](const Trace& trace, const std::vector<std::uint32_t>& warps) {
    std::vector<TraceEvent> events;
    for (const std::uint32_t warp : warps) {
      const auto view = warp_events(trace, warp);
      events.insert(events.end(), view->events.begin(), view->events.end());
    }
    return events;
  };
  std::vector<Divergence> joined;
  for (const ListedJob& job : jobs) {
    const auto seq_a = sequence(a, job.warps_a);
    const auto seq_b = sequence(b, job.warps_b);
    const auto found = config.cross_gpu ? diff_events_cross_gpu(job.warp_idx, seq_a, seq_b, config)
                                        : diff_events(job.warp_idx, seq_a, seq_b, config);
    joined.insert(joined.end(), found.begin(), found.end());
  }
  return joined;
}

TEST(CompareTraces, JobsCoverTheWarpsOfTheirThreads) {
  struct Case {
    std::string_view name;
    bool cross_gpu;
    std::uint32_t warps_a, arch_a, warps_b, arch_b;
    std::vector<ListedJob> jobs;
  };
  const Case cases[] = {
      {"same architecture", false, 3, 86, 3, 86, {{{0}, 0, {0}}, {{1}, 1, {1}}, {{2}, 2, {2}}}},
      {"same architecture, one warp", false, 1, 86, 1, 86, {{{0}, 0, {0}}}},
      {"same architecture, no warps", false, 0, 86, 0, 86, {}},
      {"64 lanes against 32",
       true,
       4,
       AMD_ARCH,
       8,
       86,
       {{{0}, 0, {0, 1}}, {{1}, 1, {2, 3}}, {{2}, 2, {4, 5}}, {{3}, 3, {6, 7}}}},
      {"32 lanes against 64, the rest of A left out",
       true,
       10,
       86,
       3,
       AMD_ARCH,
       {{{0, 1}, 0, {0}}, {{2, 3}, 1, {1}}, {{4, 5}, 2, {2}}}},
      {"a partial last chunk", true, 3, 86, 2, AMD_ARCH, {{{0, 1}, 0, {0}}, {{2}, 1, {1}}}},
      {"a partial last chunk of B", true, 2, AMD_ARCH, 3, 86, {{{0}, 0, {0, 1}}, {{1}, 1, {2}}}},
      {"32 lanes on both sides", true, 3, 0, 2, 86, {{{0}, 0, {0}}, {{1}, 1, {1}}}},
      {"64 lanes on both sides", true, 2, AMD_ARCH, 2, AMD_ARCH, {{{0}, 0, {0}}, {{1}, 1, {1}}}},
      {"one warp", true, 1, AMD_ARCH, 1, 86, {{{0}, 0, {0}}}},
      {"no warps in A", true, 0, 86, 2, AMD_ARCH, {}},
      {"no warps in B", true, 2, AMD_ARCH, 0, 86, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Trace a = numbered_warps(c.warps_a, c.arch_a, false).build();
    const Trace b = numbered_warps(c.warps_b, c.arch_b, true).build();
    const WarpJobs jobs =
        c.cross_gpu ? cross_gpu_warp_jobs(a, b) : same_arch_warp_jobs(0, c.warps_a);
    EXPECT_EQ(listed(jobs), c.jobs);
    const CompareConfig config{.cross_gpu = c.cross_gpu};
    const auto result = compare_traces(a, b, config, nullptr, [](std::string_view) {});
    ASSERT_TRUE(result.has_value());
    const std::vector<Divergence> expected = diffed_job_by_job(c.jobs, a, b, config);
    EXPECT_EQ(result->divergences, expected);
    std::set<std::uint32_t> diverged;
    for (const Divergence& divergence : expected) diverged.insert(divergence.warp_idx);
    EXPECT_EQ(result->warps_diverged, diverged.size());
    EXPECT_EQ(result->total_warps, c.jobs.size());
    // Every warp counts, also those past the compared threads.
    EXPECT_EQ(result->total_events_a, 3u * c.warps_a);
    EXPECT_EQ(result->total_events_b, 3u * c.warps_b);
  }
  const std::vector<ListedJob> from_two = {{{2}, 2, {2}}, {{3}, 3, {3}}};
  EXPECT_EQ(listed(same_arch_warp_jobs(2, 4)), from_two);
  EXPECT_EQ(same_arch_warp_jobs(2, 4).with_index(1), std::nullopt);
  EXPECT_TRUE(same_arch_warp_jobs(4, 4).empty());
}

TEST(CompareTraces, CrossGpuConcatenatesTheWarpsOfAChunk) {
  TraceBuilder a = with_warps(1, AMD_ARCH);
  a.warp(0, {event(1, 0, 0, 0xf), event(2), event(3)});
  TraceBuilder b = with_warps(2, 86);
  b.warp(0, {event(1, 0, 0, 0xf0)}).warp(1, {event(2, 0, TAKEN), event(3)});
  const Outcome run = compare(a, b, {.cross_gpu = true});
  ASSERT_TRUE(run.result.has_value());
  EXPECT_EQ(run.err, "Comparing 1 warps...\n");
  const std::vector<Divergence> expected = {{.warp_idx = 0,
                                             .event_idx = 1,
                                             .site_id = 2,
                                             .kind = {BranchKind{0, TAKEN}},
                                             .snapshot = {}}};
  EXPECT_EQ(run.result->divergences, expected);
  ASSERT_TRUE(run.result->cross_gpu.has_value());
  const CrossGpuInfo& info = *run.result->cross_gpu;
  EXPECT_EQ(info.arch_a, GpuArch::from_cuda_arch(AMD_ARCH));
  EXPECT_EQ(info.arch_b, GpuArch::from_cuda_arch(86));
  EXPECT_EQ(info.warp_size_a, 64u);
  EXPECT_EQ(info.warp_size_b, 32u);
  EXPECT_EQ(info.grid_a, a.header.grid);
  EXPECT_EQ(info.block_b, b.header.block);
}

TEST(CompareTraces, LimitKeepsTheFirstInJobOrderAndCountsAllWarps) {
  TraceBuilder a;
  a.shape(4, 8).warp(0, branches(5)).warp(1, branches(4)).warp(2, branches(3));
  TraceBuilder b;
  b.shape(4, 8).warp(0, branches(5, true)).warp(1, branches(4, true)).warp(2, branches(3, true));

  const DiffResult all = compare_ok(a, b);
  ASSERT_EQ(all.divergences.size(), 12u);
  for (std::size_t k = 1; k < all.divergences.size(); ++k) {
    const auto& before = all.divergences[k - 1];
    const auto& after = all.divergences[k];
    EXPECT_LT(std::pair(before.warp_idx, before.event_idx),
              std::pair(after.warp_idx, after.event_idx));
  }

  const DiffResult cut = compare_ok(a, b, {.max_divergences = 5});
  const std::vector<Divergence> first_five(all.divergences.begin(), all.divergences.begin() + 5);
  EXPECT_EQ(cut.divergences, first_five);
  EXPECT_EQ(cut.divergences.back().warp_idx, 0u);
  EXPECT_EQ(cut.warps_diverged, 3u);
  EXPECT_EQ(cut.total_warps, 4u);
  EXPECT_EQ(cut.warps_compared, 4u);

  // Limits below, inside and beyond one job's share, and beyond everything found.
  for (const std::uint64_t limit : {1u, 3u, 7u, 9u, 11u, 12u, 100u}) {
    SCOPED_TRACE(limit);
    const DiffResult limited = compare_ok(a, b, {.max_divergences = limit});
    const auto kept = static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(limit, 12));
    EXPECT_EQ(limited.divergences,
              std::vector<Divergence>(all.divergences.begin(), all.divergences.begin() + kept));
    EXPECT_EQ(limited.warps_diverged, 3u);
  }
}

TEST(CompareTraces, ResultDoesNotDependOnScheduling) {
  TraceBuilder a;
  TraceBuilder b;
  // Enough event slots for the comparison to go to the worker pool, and enough warps for its
  // blocks of jobs to hold several each.
  constexpr std::uint32_t WARPS = 9000;
  a.shape(WARPS, 8);
  b.shape(WARPS, 8);
  for (std::uint32_t warp = 0; warp < WARPS; ++warp) {
    a.warp(warp, branches(1 + warp % 7));
    b.warp(warp, branches(1 + warp % 5, warp % 3 == 0));
  }
  const Trace trace_a = a.build();
  const Trace trace_b = b.build();
  std::vector<Divergence> sequential;
  const WarpJobs jobs = same_arch_warp_jobs(0, WARPS);
  for (std::size_t k = 0; k < jobs.size(); ++k) {
    const auto found = diff_warp_job(jobs[k], trace_a, trace_b, nullptr, {});
    sequential.insert(sequential.end(), found.begin(), found.end());
  }
  const auto result = compare_traces(trace_a, trace_b, {}, nullptr, [](std::string_view) {});
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->divergences, sequential);
  // Pools whose n-th thread could not be created, down to the calling thread alone.
  for (const std::uint32_t may_start : {0u, 1u, 2u, 3u, 7u}) {
    WorkerPool pool(8, may_start);
    std::string err;
    const auto smaller = compare_traces(
        trace_a, trace_b, {}, nullptr, [&](std::string_view line) { err += line; }, pool);
    ASSERT_TRUE(smaller.has_value()) << may_start;
    EXPECT_EQ(smaller->divergences, sequential) << may_start;
    EXPECT_EQ(smaller->warps_diverged, result->warps_diverged) << may_start;
    EXPECT_EQ(err, "Comparing 9000 warps...\n") << may_start;
  }
}

TEST(CompareTraces, EventTotalsUseRawCountsOfEveryWarp) {
  TraceBuilder a = with_warps(10, 86);
  a.shape(10, 256).warp(0, branches(200));
  a.warps[0].event_count = 1000;
  a.warp(9, branches(3));  // beyond the compared threads in cross-GPU mode
  TraceBuilder b = with_warps(3, AMD_ARCH);
  b.shape(3, 256).warp(0, branches(200));
  b.warps[0].event_count = 7;

  const DiffResult result = compare_ok(a, b, {.cross_gpu = true});
  EXPECT_EQ(result.total_events_a, 1003u);
  EXPECT_EQ(result.total_events_b, 7u);
}

TEST(CompareTraces, CountedEventsBeyondTheBufferCompareOnlyWhatFits) {
  TraceBuilder a = one_warp(branches(8));
  a.warps[0].event_count = 1000;
  const DiffResult result = compare_ok(a, one_warp(branches(8)));
  EXPECT_EQ(result.total_events_a, 1000u);
  EXPECT_EQ(result.total_events_b, 8u);
  EXPECT_TRUE(result.divergences.empty());
}

TEST(CompareTraces, RemapperTranslatesTraceBSites) {
  const SiteRemapper remapper = {{100, 1}, {200, 2}, {300, 30}, {400, 40}};
  const TraceBuilder a = one_warp({event(1), event(2), event(3)});
  const TraceBuilder b = one_warp({event(100), event(400), event(200), event(300)});
  const DiffResult result = compare_ok(a, b, {}, &remapper);
  const std::vector<Divergence> expected = {
      {.warp_idx = 0,
       .event_idx = 1,
       .site_id = 40,
       .kind = {ExtraEventsKind{1, TraceSide::B}},
       .snapshot = {}},
      {.warp_idx = 0, .event_idx = 2, .site_id = 3, .kind = {PathKind{3, 30}}, .snapshot = {}},
      {.warp_idx = 0,
       .event_idx = 2,
       .site_id = 3,
       .kind = {ExtraEventsKind{1, TraceSide::A}},
       .snapshot = {}},
  };
  EXPECT_EQ(result.divergences, expected);

  const SiteRemapper empty;
  EXPECT_EQ(compare_ok(a, b, {}, &empty).divergences.size(),
            compare_ok(a, b, {}, nullptr).divergences.size());
}

// The same trace with every event's padding set to `fill`.
TraceBuilder padded(TraceBuilder trace, std::uint8_t fill) {
  for (auto& [warp, spec] : trace.warps) spec.events = testing::with_padding(spec.events, fill);
  return trace;
}

// The walk skips the runs that are byte-identical in what it is given: trace B's events after
// remapping, a chunk's warps joined. With different padding on the two sides no event is
// byte-identical and each takes its own step; no check reads the padding, so that is the
// event walk's result.
TEST(CompareTraces, SkippedIdenticalRunsGiveTheEventWalkResult) {
  struct Case {
    std::string name;
    TraceBuilder a;
    TraceBuilder b;
    CompareConfig config;
    SiteRemapper remapper;
  };
  std::vector<Case> cases;
  {
    // B's ids are A's + 1000; one flipped direction, one unmapped extra event, one other mask.
    Case c{"remapped", one_warp({}), one_warp({}), {}, {}};
    c.a.shape(1, 400).warp(0, testing::loop_events(300, 1));
    std::vector<TraceEvent> b = testing::loop_events(300, 1001);
    b[20].branch_dir ^= 1;
    b.insert(b.begin() + 150, event(5000));
    b[250].active_mask = 0x1;
    c.b.shape(1, 400).warp(0, std::move(b));
    for (std::uint32_t site = 1; site <= 16; ++site) c.remapper.insert(site + 1000, site);
    cases.push_back(std::move(c));
  }
  {
    // A 64-lane warp against two 32-lane ones: masks of equal lane counts, then one of fewer.
    Case c{"cross-GPU", with_warps(1, AMD_ARCH), with_warps(2, 86), {.cross_gpu = true}, {}};
    c.a.shape(1, 400).warp(0, testing::loop_events(300, 1));
    std::vector<TraceEvent> b = testing::loop_events(300, 1);
    for (std::size_t k = 0; k < b.size(); k += 7) b[k].active_mask = std::rotl(b[k].active_mask, 3);
    b[200].active_mask = 0x3;
    c.b.shape(2, 400)
        .warp(0, std::vector<TraceEvent>(b.begin(), b.begin() + 130))
        .warp(1, std::vector<TraceEvent>(b.begin() + 130, b.end()));
    cases.push_back(std::move(c));
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DiffResult skipped = compare_ok(c.a, c.b, c.config, &c.remapper);
    const DiffResult walked =
        compare_ok(padded(c.a, 0x11), padded(c.b, 0x22), c.config, &c.remapper);
    EXPECT_FALSE(walked.divergences.empty());
    EXPECT_EQ(skipped.divergences, walked.divergences);
    EXPECT_EQ(skipped.warps_diverged, walked.warps_diverged);
  }
}

SnapshotPair pair_from(const std::optional<OperandSnapshot>& a,
                       const std::optional<OperandSnapshot>& b) {
  SnapshotPair pair;
  if (a) pair.lhs_a = a->lhs, pair.rhs_a = a->rhs, pair.lane_mask_a = a->lane_mask;
  if (b) pair.lhs_b = b->lhs, pair.rhs_b = b->rhs, pair.lane_mask_b = b->lane_mask;
  pair.predicate = a ? a->predicate : b->predicate;
  return pair;
}

TEST(CompareTraces, SnapshotsOnlyInTraceB) {
  const OperandSnapshot older = testing::snapshot(1, 0x3, 4, 40, {7, 8}, {9});
  const OperandSnapshot latest = testing::snapshot(1, 0x1, 6, 38, {5}, {6});
  TraceBuilder a = one_warp({event(1, 0, 0, 0xff, 10), event(2), event(3)});
  TraceBuilder b = one_warp({event(1, 0, TAKEN, 0x0f, 11), event(2, 0, TAKEN), event(3)});
  b.snapshots(4, {{0, {.block = {}, .entries = {older, latest}}}});

  const DiffResult result = compare_ok(a, b, {.compare_values = true});
  ASSERT_EQ(result.divergences.size(), 4u);
  const SnapshotPair expected = pair_from(std::nullopt, latest);
  EXPECT_EQ(result.divergences[0].snapshot, expected);  // Branch at site 1
  EXPECT_EQ(result.divergences[0].snapshot->lhs_a, decltype(expected.lhs_a){});
  EXPECT_EQ(result.divergences[0].snapshot->predicate, 38u);
  EXPECT_EQ(result.divergences[1].snapshot, expected);       // ActiveMask at site 1
  EXPECT_FALSE(result.divergences[2].snapshot.has_value());  // Value at site 1
  EXPECT_FALSE(result.divergences[3].snapshot.has_value());  // Branch at site 2, no snapshot

  // The divergences that a limit keeps carry the same snapshots.
  const DiffResult cut = compare_ok(a, b, {.max_divergences = 2, .compare_values = true});
  EXPECT_EQ(cut.divergences,
            std::vector<Divergence>(result.divergences.begin(), result.divergences.begin() + 2));
}

TEST(CompareTraces, SnapshotsOfBothTracesPairUp) {
  const OperandSnapshot in_a = testing::snapshot(2, 0xff, 1, 34, {1, 2, 3}, {4});
  const OperandSnapshot in_b = testing::snapshot(2, 0x0f, 1, 36, {5}, {6, 7});
  TraceBuilder a = one_warp({event(2, 0, TAKEN)});
  a.snapshots(1, {{0, {.block = {}, .entries = {in_a}}}});
  TraceBuilder b = one_warp({event(2)});
  b.snapshots(1, {{0, {.block = {}, .entries = {in_b}}}});
  const DiffResult result = compare_ok(a, b);
  ASSERT_EQ(result.divergences.size(), 1u);
  EXPECT_EQ(result.divergences[0].snapshot, pair_from(in_a, in_b));
}

TEST(CompareTraces, SnapshotsOfTraceBAreFoundUnderItsOwnSiteIds) {
  // Sites 100 and 101 of trace B map to trace A's site 1, the later snapshot wins; trace B's
  // own site 1 maps elsewhere, so its snapshot is not one of this site.
  const SiteRemapper remapper = {{100, 1}, {101, 1}, {1, 5}};
  const OperandSnapshot under_100 = testing::snapshot(100, 0x1, 3, 32, {1});
  const OperandSnapshot under_101 = testing::snapshot(101, 0x2, 9, 33, {2});
  const OperandSnapshot under_a_id = testing::snapshot(1, 0x4, 50, 34, {3});
  TraceBuilder b = one_warp({event(101, 0, TAKEN)});
  b.snapshots(4, {{0, {.block = {}, .entries = {under_100, under_101, under_a_id}}}});
  const DiffResult result = compare_ok(one_warp({event(1)}), b, {}, &remapper);
  ASSERT_EQ(result.divergences.size(), 1u);
  EXPECT_EQ(result.divergences[0].snapshot, pair_from(std::nullopt, under_101));

  // Without that entry trace B's site 1 stays site 1 and its later snapshot counts too.
  const SiteRemapper keeping_1 = {{100, 1}, {101, 1}};
  const DiffResult kept = compare_ok(one_warp({event(1)}), b, {}, &keeping_1);
  ASSERT_EQ(kept.divergences.size(), 1u);
  EXPECT_EQ(kept.divergences[0].snapshot, pair_from(std::nullopt, under_a_id));
}

TEST(CompareTraces, CrossGpuSnapshotsComeFromTheWarpsOfTheChunk) {
  // Trace A has 32-lane warps: chunk 0 is its warps 0 and 1, and the diverging event is in
  // warp 1. Trace B has one 64-lane warp.
  const OperandSnapshot wrong_warp = testing::snapshot(2, 0x1, 99, 32, {1});
  const OperandSnapshot in_a = testing::snapshot(2, 0x2, 1, 33, {2});
  const OperandSnapshot in_b = testing::snapshot(2, 0x4, 1, 34, {3});
  TraceBuilder a = with_warps(2, 86);
  a.warp(0, {event(1)}).warp(1, {event(2, 0, TAKEN)});
  a.snapshots(1,
              {{0, {.block = {}, .entries = {wrong_warp}}}, {1, {.block = {}, .entries = {in_a}}}});
  TraceBuilder b = with_warps(1, AMD_ARCH);
  b.warp(0, {event(1), event(2)});
  b.snapshots(1, {{0, {.block = {}, .entries = {in_b}}}});

  const DiffResult forward = compare_ok(a, b, {.cross_gpu = true});
  ASSERT_EQ(forward.divergences.size(), 1u);
  EXPECT_EQ(forward.divergences[0].snapshot, pair_from(in_a, in_b));

  // Swapped: trace B's two warps are both searched.
  const DiffResult swapped = compare_ok(b, a, {.cross_gpu = true});
  ASSERT_EQ(swapped.divergences.size(), 1u);
  EXPECT_EQ(swapped.divergences[0].snapshot, pair_from(in_b, wrong_warp));
}

TEST(WorkerPool, CgroupQuotaInWholeCpus) {
  struct Case {
    std::string_view cpu_max;
    std::optional<std::uint32_t> cpus;
  };
  const Case cases[] = {
      {"max 100000\n", std::nullopt},
      {"200000 100000\n", 2},
      {"150000 100000", 2},
      {"50000 100000", 1},
      {"1 100000", 1},
      {"", std::nullopt},
      {"garbage", std::nullopt},
      {"0 100000", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cpu_quota_from_cpu_max(c.cpu_max), c.cpus) << c.cpu_max;
  }
  EXPECT_EQ(cpu_quota_from_cfs("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(cpu_quota_from_cfs("250000\n", "100000\n"), 3u);
  EXPECT_EQ(cpu_quota_from_cfs("250000", "0"), std::nullopt);
}

TEST(WorkerPool, OwnCgroupPathFromProcSelfCgroup) {
  constexpr std::string_view hybrid =
      "9:name=systemd:/user.slice\n4:memory:/jobs/7\n3:cpuset:/\n2:cpu,cpuacct:/jobs/7\n"
      "1:cpuacct:/other\n0::/user.slice/session-2.scope\n";
  struct Case {
    std::string_view text;
    std::string_view controller;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {hybrid, "", "/user.slice/session-2.scope"},
      {hybrid, "cpu", "/jobs/7"},
      {hybrid, "cpuacct", "/jobs/7"},
      {hybrid, "pids", std::nullopt},
      {"0::/\n", "", "/"},
      {"0::/system.slice/app.service", "", "/system.slice/app.service"},
      {"0::/\n", "cpu", std::nullopt},
      {"1:name=systemd:/\n", "", std::nullopt},
      {"garbage\n\n0:x:/not-unified\n", "", std::nullopt},
      {"", "", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cgroup_path(c.text, c.controller), c.path) << c.text << " / " << c.controller;
  }
}

void write_file(const std::filesystem::path& path, std::string_view text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

TEST(WorkerPool, QuotaOfTheOwnCgroupAndItsAncestors) {
  // cgroup v2: the own cgroup allows 4 CPUs, its parent 3 (the smaller wins), the root none.
  const std::filesystem::path v2 = testing::scratch_dir();
  write_file(v2 / "cgroup.controllers", "cpu memory\n");
  write_file(v2 / "jobs/cpu.max", "300000 100000\n");
  write_file(v2 / "jobs/run-7/cpu.max", "400000 100000\n");
  write_file(v2 / "other/cpu.max", "100000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(v2.string(), "0::/jobs/run-7\n"), 3u);
  EXPECT_EQ(cgroup_cpu_quota(v2.string(), "0::/\n"), std::nullopt);
  write_file(v2 / "cpu.max", "200000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(v2.string(), "0::/jobs/run-7\n"), 2u);
  EXPECT_EQ(cgroup_cpu_quota(v2.string(), "0::/\n"), 2u);
  // A path that is not under this mount still reaches the mount's own limit.
  EXPECT_EQ(cgroup_cpu_quota(v2.string(), "0::/elsewhere/x\n"), 2u);

  // cgroup v1: the cpu controller's files, found through the cpu line.
  const std::filesystem::path v1 = testing::scratch_dir();
  write_file(v1 / "cpu/batch/cpu.cfs_quota_us", "150000\n");
  write_file(v1 / "cpu/batch/cpu.cfs_period_us", "100000\n");
  write_file(v1 / "cpu/cpu.cfs_quota_us", "-1\n");
  write_file(v1 / "cpu/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_quota(v1.string(), "4:memory:/\n2:cpu,cpuacct:/batch\n0::/\n"), 2u);
  EXPECT_EQ(cgroup_cpu_quota(v1.string(), "2:cpu,cpuacct:/\n"), std::nullopt);
  EXPECT_EQ(cgroup_cpu_quota(v1.string(), ""), std::nullopt);
}

TEST(ProcessMemory, LimitOfTheOwnCgroupAndItsAncestors) {
  EXPECT_EQ(memory_limit_from_text("max\n"), std::nullopt);
  EXPECT_EQ(memory_limit_from_text("2147483648\n"), 2147483648u);
  EXPECT_EQ(memory_limit_from_text("9223372036854771712\n"), 9223372036854771712u);
  EXPECT_EQ(memory_limit_from_text("-1"), std::nullopt);
  EXPECT_EQ(memory_limit_from_text(""), std::nullopt);

  // cgroup v2: the parent's 1 GiB holds for the child that allows 2 GiB.
  const std::filesystem::path v2 = testing::scratch_dir();
  write_file(v2 / "cgroup.controllers", "cpu memory\n");
  write_file(v2 / "memory.max", "max\n");
  write_file(v2 / "jobs/memory.max", "1073741824\n");
  write_file(v2 / "jobs/run-7/memory.max", "2147483648\n");
  EXPECT_EQ(cgroup_memory_limit(v2.string(), "0::/jobs/run-7\n"), 1073741824u);
  EXPECT_EQ(cgroup_memory_limit(v2.string(), "0::/\n"), std::nullopt);

  // cgroup v1: the memory controller's file, found through the memory line.
  const std::filesystem::path v1 = testing::scratch_dir();
  write_file(v1 / "memory/batch/memory.limit_in_bytes", "536870912\n");
  write_file(v1 / "memory/memory.limit_in_bytes", "9223372036854771712\n");
  EXPECT_EQ(cgroup_memory_limit(v1.string(), "4:memory:/batch\n2:cpu,cpuacct:/\n"), 536870912u);
  EXPECT_EQ(cgroup_memory_limit(v1.string(), "4:memory:/\n"), 9223372036854771712u);
  EXPECT_EQ(cgroup_memory_limit(v1.string(), ""), 9223372036854771712u);

  EXPECT_GT(process_memory_limit(), 0u);
  EXPECT_LT(process_load_options().image_limit, process_memory_limit());
}

TEST(WorkerPool, ThreadsTakeAQuarterOfTheAddressSpaceAtMost) {
  constexpr std::uint64_t KIB = 1024;
  constexpr std::uint64_t MIB = KIB * KIB;
  struct Case {
    std::uint64_t address_space;
    std::uint64_t stack;
    std::uint32_t workers;
  };
  const Case cases[] = {
      {UINT64_MAX, 8 * MIB, UINT32_MAX},
      {60000 * KIB, 8 * MIB, 1},       // ulimit -v 60000: the calling thread alone
      {4 * 72 * MIB - 1, 8 * MIB, 1},  // not quite one more thread
      {4 * 72 * MIB, 8 * MIB, 2},
      {4000000 * KIB, 8 * MIB, 14},  // ulimit -v 4000000
      {4000000 * KIB, 64 * MIB, 8},
      {4000000 * KIB, UINT64_MAX / 2, 1},  // a huge stack limit
  };
  for (const Case& c : cases) {
    EXPECT_EQ(workers_within_address_space(c.address_space, c.stack), c.workers)
        << c.address_space << " " << c.stack;
  }
}

TEST(WorkerPool, HasAtLeastOneWorkerAndNoMoreThanTheMachine) {
  const std::uint32_t workers = comparison_worker_count();
  EXPECT_GE(workers, 1u);
  EXPECT_LE(workers, std::max(std::thread::hardware_concurrency(), 1u));
}

}  // namespace
}  // namespace vemo
