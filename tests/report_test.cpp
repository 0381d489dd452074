#include "output/report.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

// What `write` formats into a string sink with `styling`, the writer's other arguments following.
template <class... P, class... A>
std::string written(Styling styling, void (*write)(OutputSink&, Styling, P...), A&&... args) {
  std::string text;
  OutputSink out(text);
  write(out, styling, std::forward<A>(args)...);
  return text;
}

template <class... P, class... A>
std::string plain(void (*write)(OutputSink&, Styling, P...), A&&... args) {
  return written(Styling(false), write, std::forward<A>(args)...);
}

template <class... P, class... A>
std::string styled(void (*write)(OutputSink&, Styling, P...), A&&... args) {
  return written(Styling(true), write, std::forward<A>(args)...);
}

Divergence divergence(std::uint32_t warp, std::uint64_t event, std::uint32_t site,
                      DivergenceKind kind) {
  return Divergence{warp, event, site, std::move(kind), std::nullopt};
}

DiffResult result_of(std::vector<Divergence> divergences) {
  DiffResult result;
  result.divergences = std::move(divergences);
  return result;
}

SiteMap site_map(
    std::vector<std::pair<std::uint32_t, std::pair<std::string, std::uint32_t>>> sites) {
  SiteMap map;
  for (const auto& [id, location] : sites) {
    SourceLocation entry;
    entry.site_id = id;
    entry.filename = location.first;
    entry.function = "kernel";
    entry.line = location.second;
    map.insert(entry);
  }
  return map;
}

// The lines of a listing that are not entry details (those start with four blanks).
std::string outline(const std::string& text) {
  std::istringstream lines(text);
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("    ")) kept += line + "\n";
  }
  return kept;
}

std::size_t occurrences(const std::string& text, std::string_view piece) {
  std::size_t count = 0;
  for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}

// ---- Trace info and dump ----

const std::string INFO_HEAD =
    "\n=== Trace A ===\n"
    "Kernel:     test_kernel\n"
    "Hash:       0x0000000000001234\n"
    "Grid:       [1, 1, 1]\n"
    "Block:      [32, 1, 1]\n";

TEST(TraceInfo, PrintsHeaderAndRawTotalsOverReadableWarps) {
  TraceBuilder builder;
  builder.shape(3, 4).warp(0, {event(1), event(2)}).warp(1, {event(3)});
  builder.warps[0].overflow_count = 2;
  builder.warps[1].event_count = 1000;  // more than events_per_warp: counted as recorded
  builder.warps[1].overflow_count = 5;
  builder.header.timestamp = 123456789;
  builder.header.grid = {64, 2, 1};
  const Trace trace = builder.build();

  EXPECT_EQ(plain(write_trace_info, "Trace A", trace),
            "\n=== Trace A ===\n"
            "Kernel:     test_kernel\n"
            "Hash:       0x0000000000001234\n"
            "Grid:       [64, 2, 1]\n"
            "Block:      [32, 1, 1]\n"
            "Warps:      3\n"
            "Events:     1002\n"
            "Overflows:  7\n"
            "Timestamp:  123456789\n"
            "CUDA Arch:  SM_0\n");
}

TEST(TraceInfo, OptionalLinesFollowTheFlagBitsAlone) {
  struct Case {
    std::uint32_t flags;
    std::uint32_t sample_rate;
    std::uint32_t snapshot_depth;
    std::string tail;
  };
  const Case cases[] = {
      {0, 4, 8, ""},
      {TRACE_FLAG_SAMPLING, 4, 0, "Sampling:   1/4 (~25.0% of events recorded)\n"},
      {TRACE_FLAG_SAMPLING, 3, 0, "Sampling:   1/3 (~33.3% of events recorded)\n"},
      {TRACE_FLAG_SAMPLING, 0, 0, "Sampling:   1/0 (~inf% of events recorded)\n"},
      {TRACE_FLAG_SNAPSHOTS, 0, 0, "Snapshots:  depth=0 (per-lane operand capture)\n"},
      {TRACE_FLAG_SAMPLING | TRACE_FLAG_SNAPSHOTS, 1, 16,
       "Sampling:   1/1 (~100.0% of events recorded)\n"
       "Snapshots:  depth=16 (per-lane operand capture)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    TraceBuilder builder;
    builder.header.flags = c.flags;
    builder.header.sample_rate = c.sample_rate;
    builder.header.snapshot_depth = c.snapshot_depth;
    builder.header.cuda_arch = 86;
    const Trace trace = builder.build();
    const std::string out = plain(write_trace_info, "Trace A", trace);
    const std::string arch_line = "CUDA Arch:  SM_86\n";
    ASSERT_NE(out.find(arch_line), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.find(arch_line) + arch_line.size()), c.tail);
  }
}

TEST(TraceInfo, KernelNameWithoutNulOrNotUtf8) {
  TraceBuilder full;
  full.kernel(std::string(64, 'k'), 1);
  TraceBuilder invalid;
  invalid.header.kernel_name[0] = 0xff;
  const struct {
    const TraceBuilder& builder;
    std::string line;
  } cases[] = {{full, "Kernel:     " + std::string(64, 'k') + "\n"},
               {invalid, "Kernel:     <invalid utf8>\n"}};
  for (const auto& c : cases) {
    const Trace trace = c.builder.build();
    EXPECT_NE(plain(write_trace_info, "Trace B", trace).find(c.line), std::string::npos) << c.line;
  }
}

TEST(TraceInfo, HeadingIsBoldWhenStyled) {
  const Trace trace = TraceBuilder().build();
  EXPECT_TRUE(styled(write_trace_info, "Trace B", trace)
                  .starts_with("\n\x1b[1m=== Trace B ===\x1b[0m\nKernel:     test_kernel\n"));
}

TEST(DumpTrace, HeadingsThenInfoThenEventLines) {
  TraceBuilder builder;
  builder.shape(1, 1).warp(0, {event(0xdeadbeef, 5, 2, 0x0000f00f, 4294967295U)});
  builder.warps[0].event_count = 9;
  builder.warps[0].overflow_count = 3;
  const Trace trace = builder.build();

  EXPECT_EQ(plain(write_dump, "Trace A", trace, 10),
            "\n=== Trace A ===\n" + INFO_HEAD +
                "Warps:      1\n"
                "Events:     9\n"
                "Overflows:  3\n"
                "Timestamp:  0\n"
                "CUDA Arch:  SM_0\n"
                "\n=== Events (first 10 events) ===\n"
                "\nWarp 0 (9 events, 3 overflows):\n"
                "  [0] site=0xdeadbeef type=5 branch=2 active_mask=0x0000f00f value=4294967295\n");
}

TEST(DumpTrace, LimitCountsEventsAcrossWarps) {
  // Warp 0 holds 3 events, warp 1 none, warp 2 four.
  TraceBuilder builder;
  builder.shape(3, 4)
      .warp(0, {event(0x10), event(0x11), event(0x12)})
      .warp(2, {event(0x20), event(0x21), event(0x22), event(0x23)});
  const Trace trace = builder.build();
  const std::string warp0 =
      "\nWarp 0 (3 events, 0 overflows):\n"
      "  [0] site=0x00000010 type=0 branch=0 active_mask=0xffffffff value=0\n"
      "  [1] site=0x00000011 type=0 branch=0 active_mask=0xffffffff value=0\n"
      "  [2] site=0x00000012 type=0 branch=0 active_mask=0xffffffff value=0\n";
  const std::string warp1 = "\nWarp 1 (0 events, 0 overflows):\n";
  const std::string warp2_head =
      "\nWarp 2 (4 events, 0 overflows):\n"
      "  [0] site=0x00000020 type=0 branch=0 active_mask=0xffffffff value=0\n"
      "  [1] site=0x00000021 type=0 branch=0 active_mask=0xffffffff value=0\n";
  const std::string warp2_rest =
      "  [2] site=0x00000022 type=0 branch=0 active_mask=0xffffffff value=0\n"
      "  [3] site=0x00000023 type=0 branch=0 active_mask=0xffffffff value=0\n";
  const struct {
    std::uint64_t limit;
    std::string events;
  } cases[] = {
      {0, ""},
      {2,
       "\nWarp 0 (3 events, 0 overflows):\n"
       "  [0] site=0x00000010 type=0 branch=0 active_mask=0xffffffff value=0\n"
       "  [1] site=0x00000011 type=0 branch=0 active_mask=0xffffffff value=0\n"},
      {3, warp0},  // reached exactly at the end of warp 0: no line for the next warp
      {5, warp0 + warp1 + warp2_head},
      {100, warp0 + warp1 + warp2_head + warp2_rest},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    const std::string out = plain(write_dump, "Trace A", trace, c.limit);
    const std::string heading = fmt::format("\n=== Events (first {} events) ===\n", c.limit);
    ASSERT_NE(out.find(heading), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.find(heading) + heading.size()), c.events);
  }
}

TEST(DumpTrace, NoWarpsGivesHeadingsOnly) {
  const Trace trace = TraceBuilder().build();
  EXPECT_EQ(plain(write_dump, "Trace B", trace, 5),
            "\n=== Trace B ===\n"
            "\n=== Trace B ===\n"
            "Kernel:     test_kernel\n"
            "Hash:       0x0000000000001234\n"
            "Grid:       [1, 1, 1]\n"
            "Block:      [32, 1, 1]\n"
            "Warps:      0\n"
            "Events:     0\n"
            "Overflows:  0\n"
            "Timestamp:  0\n"
            "CUDA Arch:  SM_0\n"
            "\n=== Events (first 5 events) ===\n");
}

TEST(DumpTrace, FirstHeadingStaysPlainWhenStyled) {
  const Trace trace = TraceBuilder().build();
  EXPECT_TRUE(styled(write_dump, "Trace A", trace, 0)
                  .starts_with("\n=== Trace A ===\n\n\x1b[1m=== Trace A ===\x1b[0m\n"));
}

// ---- Summary ----

DiffResult counted_result(std::vector<Divergence> divergences) {
  DiffResult result = result_of(std::move(divergences));
  result.total_warps = 4;
  result.warps_compared = 4;
  result.warps_diverged = 2;
  result.total_events_a = 100;
  result.total_events_b = 101;
  return result;
}

const std::string TOTALS_HEAD =
    "\n=== Diff Summary ===\n"
    "Total warps:          4\n"
    "Warps compared:       4\n"
    "Warps diverged:       2\n"
    "Events in trace A:    100\n"
    "Events in trace B:    101\n";

TEST(Summary, EmptyListEndsWithTheIdenticalLine) {
  // All divergences filtered away: the comparison's warp count stays.
  const DiffResult result = counted_result({});
  EXPECT_EQ(plain(write_summary, result), TOTALS_HEAD +
                                              "Total divergences:    0\n"
                                              "\n"
                                              "✓ Traces are IDENTICAL\n");
}

TEST(Summary, DivergencesGiveVerdictAndBreakdownInKindOrder) {
  const DiffResult result = counted_result({
      divergence(0, 0, 1, {ValueKind{1, 2}}),
      divergence(1, 0, 1, {BranchKind{1, 0}}),
      divergence(1, 5, 2, {BranchKind{0, 1}}),
  });
  EXPECT_EQ(plain(write_summary, result), TOTALS_HEAD +
                                              "Total divergences:    3\n"
                                              "\n"
                                              "✗ DIVERGENCE DETECTED: 2 warps affected\n"
                                              "\nDivergence breakdown:\n"
                                              "  Branch: 2\n"
                                              "  Value: 1\n"
                                              "\n");
}

TEST(Summary, CrossGpuBlock) {
  DiffResult result = counted_result({});
  result.cross_gpu = CrossGpuInfo{.arch_a = GpuArch::from_cuda_arch(0),
                                  .arch_b = GpuArch::from_cuda_arch(4096),
                                  .warp_size_a = 32,
                                  .warp_size_b = 64,
                                  .grid_a = {8, 1, 1},
                                  .grid_b = {4, 1, 1},
                                  .block_a = {64, 1, 1},
                                  .block_b = {128, 2, 1}};
  EXPECT_TRUE(plain(write_summary, result)
                  .starts_with("\n=== Diff Summary ===\n"
                               "Cross-GPU mode\n"
                               "  Trace A: Unknown(0) (warp size 32)\n"
                               "  Trace B: AMD gfx4096 (warp size 64)\n"
                               "  Grid A: [8, 1, 1]  Block A: [64, 1, 1]\n"
                               "  Grid B: [4, 1, 1]  Block B: [128, 2, 1]\n"
                               "Total warps:          4\n"));
}

TEST(Summary, StyledPieces) {
  DiffResult divergent = counted_result({divergence(0, 0, 1, {PathKind{1, 2}})});
  divergent.cross_gpu = CrossGpuInfo{};
  const std::string out = styled(write_summary, divergent);
  EXPECT_TRUE(
      out.starts_with("\n\x1b[1m=== Diff Summary ===\x1b[0m\n"
                      "\x1b[1;33mCross-GPU mode\x1b[0m\n"))
      << out;
  EXPECT_NE(out.find("\n\x1b[1;31m✗ DIVERGENCE DETECTED:\x1b[0m \x1b[31m2 warps affected\x1b[0m\n"),
            std::string::npos)
      << out;
  const DiffResult identical = counted_result({});
  EXPECT_TRUE(
      styled(write_summary, identical).ends_with("\n\x1b[1;32m✓ Traces are IDENTICAL\x1b[0m\n"));
}

// ---- Divergence listing ----

TEST(Divergences, EmptyListWritesNothing) {
  EXPECT_EQ(plain(write_divergences, DiffResult{}, 10, nullptr, false), "");
}

TEST(Divergences, EachKindBlock) {
  const std::string head = "=== Divergences ===\n\nSite: 0x00000010 (1 warps affected)\n";
  const struct {
    DivergenceKind kind;
    std::string entry;
  } cases[] = {
      {{BranchKind{2, 0}},
       "  Warp 3 @ event 7: Branch Direction\n"
       "    Trace A: TAKEN\n"
       "    Trace B: NOT-TAKEN\n"
       "    → Threads at site 0x00000010 took different branch\n"},
      {{ValueKind{4294967295U, 5}},
       "  Warp 3 @ event 7: Value Mismatch\n"
       "    Trace A: 4294967295 (0xffffffff)\n"
       "    Trace B: 5 (0x00000005)\n"
       "    → Different operand values at site 0x00000010\n"},
      {{ActiveMaskKind{0x00020009, 0}},
       "  Warp 3 @ event 7: Active Mask Mismatch\n"
       "    Trace A: 0x00020009 (3 threads active)\n"
       "    Trace B: 0x00000000 (0 threads active)\n"
       "    → Lanes differ: 0x00020009\n"
       "    → Lanes: [0, 3, 17]\n"},
      {{ActiveMaskKind{0xff00ff00, 0xff00ffff}},  // eight lanes differ: listed
       "  Warp 3 @ event 7: Active Mask Mismatch\n"
       "    Trace A: 0xff00ff00 (16 threads active)\n"
       "    Trace B: 0xff00ffff (24 threads active)\n"
       "    → Lanes differ: 0x000000ff\n"
       "    → Lanes: [0, 1, 2, 3, 4, 5, 6, 7]\n"},
      {{ActiveMaskKind{0x000001ff, 0}},  // nine lanes differ: not listed
       "  Warp 3 @ event 7: Active Mask Mismatch\n"
       "    Trace A: 0x000001ff (9 threads active)\n"
       "    Trace B: 0x00000000 (0 threads active)\n"
       "    → Lanes differ: 0x000001ff\n"},
      {{PathKind{0x10, 0x20}},
       "  Warp 3 @ event 7: TRUE PATH DIVERGENCE\n"
       "    Trace A reached: 0x00000010\n"
       "    Trace B reached: 0x00000020\n"
       "    → Control flow has truly diverged - different code paths executed\n"},
      {{ExtraEventsKind{3, TraceSide::B}},
       "  Warp 3 @ event 7: Extra Events (Drift)\n"
       "    Trace B has 3 extra event(s)\n"
       "    → Trace B executed more iterations or deeper recursion\n"},
      {{ExtraEventsKind{1, TraceSide::A}},
       "  Warp 3 @ event 7: Extra Events (Drift)\n"
       "    Trace A has 1 extra event(s)\n"
       "    → Trace A executed more iterations or deeper recursion\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    const DiffResult result = result_of({divergence(3, 7, 0x10, c.kind)});
    EXPECT_EQ(plain(write_divergences, result, 10, nullptr, false), head + c.entry);
  }
}

TEST(Divergences, SitesAscendingWithPerSiteAndOverallCaps) {
  // In list order: five at site 16 (warp 0 twice), one at site 10, one at site 32.
  const DivergenceKind kind{ExtraEventsKind{1, TraceSide::A}};
  const DiffResult result = result_of({
      divergence(0, 1, 16, kind),
      divergence(0, 2, 16, kind),
      divergence(1, 1, 16, kind),
      divergence(2, 1, 16, kind),
      divergence(3, 1, 16, kind),
      divergence(9, 1, 10, kind),
      divergence(7, 1, 32, kind),
  });
  const std::string site10 =
      "\nSite: 0x0000000a (1 warps affected)\n  Warp 9 @ event 1: Extra Events (Drift)\n";
  const std::string site16 = "\nSite: 0x00000010 (5 warps affected)\n";
  const std::string entry16 =
      "  Warp 0 @ event 1: Extra Events (Drift)\n"
      "  Warp 0 @ event 2: Extra Events (Drift)\n"
      "  Warp 1 @ event 1: Extra Events (Drift)\n";
  const std::string site32 =
      "\nSite: 0x00000020 (1 warps affected)\n  Warp 7 @ event 1: Extra Events (Drift)\n";
  const struct {
    std::uint64_t max_shown;
    std::string outline;
  } cases[] = {
      {10, site10 + site16 + entry16 + "  ... and 2 more warps at this site\n" + site32},
      {0, "\n... 7 more divergences not shown\n"},
      {2, site10 + site16 + "  Warp 0 @ event 1: Extra Events (Drift)\n" +
              "  ... and 4 more warps at this site\n" + "\n... 5 more divergences not shown\n"},
      // The cap reached at the end of a site: the not-shown line takes the next site's place.
      {4, site10 + site16 + entry16 + "  ... and 2 more warps at this site\n" +
              "\n... 3 more divergences not shown\n"},
      // Reached at the end of the last site: nothing follows.
      {5, site10 + site16 + entry16 + "  ... and 2 more warps at this site\n" + site32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.max_shown);
    const std::string out = plain(write_divergences, result, c.max_shown, nullptr, false);
    EXPECT_EQ(outline(out), "=== Divergences ===\n" + c.outline);
  }
}

TEST(Divergences, SiteMapLocations) {
  const DiffResult result = result_of({divergence(0, 4, 0x10, {PathKind{0x10, 0x30}})});
  const SiteMap map = site_map({{0x10, {"kernel.cu", 42}}, {0x20, {"other.cu", 7}}});
  EXPECT_EQ(plain(write_divergences, result, 10, &map, false),
            "=== Divergences ===\n"
            "\nSite: 0x00000010 at kernel.cu:42 (1 warps affected)\n"
            "  Warp 0 @ event 4: TRUE PATH DIVERGENCE\n"
            "    Trace A reached: 0x00000010 (kernel.cu:42)\n"
            "    Trace B reached: 0x00000030\n"
            "    → Control flow has truly diverged - different code paths executed\n");
  const SiteMap empty;
  EXPECT_NE(plain(write_divergences, result, 10, &empty, false)
                .find("\nSite: 0x00000010 (1 warps affected)\n"),
            std::string::npos);
}

TEST(Divergences, StyledPiecesOfSiteAndEntry) {
  const SiteMap map = site_map({{0x10, {"kernel.cu", 42}}, {0x30, {"b.cu", 3}}});
  const DiffResult result = result_of({
      divergence(0, 4, 0x10, {BranchKind{1, 0}}),
      divergence(0, 5, 0x10, {PathKind{0x10, 0x30}}),
  });
  EXPECT_EQ(
      styled(write_divergences, result, 10, &map, false),
      "\x1b[1m=== Divergences ===\x1b[0m\n"
      "\n\x1b[1mSite:\x1b[0m \x1b[36m0x00000010\x1b[0m at \x1b[1;32mkernel.cu:42\x1b[0m "
      "(\x1b[33m2 warps affected\x1b[0m)\n"
      "  Warp 0 @ event 4: \x1b[33mBranch Direction\x1b[0m\n"
      "    Trace A: \x1b[36mTAKEN\x1b[0m\n"
      "    Trace B: \x1b[35mNOT-TAKEN\x1b[0m\n"
      "    → Threads at site 0x00000010 took different branch\n"
      "  Warp 0 @ event 5: \x1b[1;31mTRUE PATH DIVERGENCE\x1b[0m\n"
      "    Trace A reached: 0x00000010 (\x1b[32mkernel.cu:42\x1b[0m)\n"
      "    Trace B reached: 0x00000030 (\x1b[32mb.cu:3\x1b[0m)\n"
      "    → \x1b[31mControl flow has truly diverged - different code paths executed\x1b[0m\n");
}

constexpr std::uint32_t ONE = 0x3f800000;        // 1.0f
constexpr std::uint32_t TWO = 0x40000000;        // 2.0f
constexpr std::uint32_t THREE = 0x40400000;      // 3.0f
constexpr std::uint32_t MINUS_ONE = 0xbf800000;  // -1.0f
constexpr std::uint32_t NAN_BITS = 0x7fc00000;
constexpr std::uint32_t INF_BITS = 0x7f800000;
constexpr std::uint32_t MINUS_INF_BITS = 0xff800000;
constexpr std::uint32_t ALL_BITS = 0xffffffff;

// The listing of one mask divergence (equal masks, so the kind block is three lines) carrying
// `snapshot`, from the snapshot title on.
std::string snapshot_listing(const SnapshotPair& snapshot, bool float_operands,
                             bool styled = false) {
  Divergence d = divergence(0, 0, 0x10, {ActiveMaskKind{1, 1}});
  d.snapshot = snapshot;
  const DiffResult result = result_of({d});
  const std::string out =
      written(Styling(styled), write_divergences, result, 10, nullptr, float_operands);
  const std::size_t title = out.find("    ", out.find("(1 threads active)\n", out.find("Trace B")));
  return out.substr(title);
}

const std::string SNAPSHOT_COLUMNS = "    Lane       A:lhs       A:rhs       B:lhs       B:rhs\n";

TEST(Divergences, SnapshotFloatRowsAndMarkers) {
  SnapshotPair snapshot;
  snapshot.predicate = 4;
  snapshot.lane_mask_a = 0b101;
  snapshot.lane_mask_b = 0b010;
  snapshot.lhs_a[0] = ONE, snapshot.rhs_a[0] = TWO, snapshot.lhs_b[0] = ONE,
  snapshot.rhs_b[0] = TWO;
  snapshot.lhs_b[1] = NAN_BITS, snapshot.rhs_b[1] = MINUS_INF_BITS;
  snapshot.lhs_a[2] = MINUS_ONE, snapshot.rhs_a[2] = INF_BITS;  // right operands alone differ
  snapshot.lhs_b[2] = MINUS_ONE, snapshot.rhs_b[2] = THREE;
  snapshot.lhs_a[3] = ONE;  // in neither mask: no row
  EXPECT_EQ(snapshot_listing(snapshot, false),
            "    Per-Lane Operand Snapshot (fcmp olt):\n" + SNAPSHOT_COLUMNS +
                "       0      1.0000      2.0000      1.0000      2.0000\n"
                "       1      0.0000      0.0000         NaN        -inf <<<\n"
                "       2     -1.0000         inf     -1.0000      3.0000 <<<\n");
}

TEST(Divergences, SnapshotNumberFormatByPredicateAndFloatFlag) {
  const struct {
    std::uint32_t predicate;
    bool float_operands;
    std::string title;
    std::string row;
  } cases[] = {
      {40, false, "icmp slt", "       5  1065353216          -1           0           0 <<<\n"},
      {40, true, "icmp slt", "       5      1.0000         NaN      0.0000      0.0000 <<<\n"},
      {20, false, "cmp", "       5  1065353216          -1           0           0 <<<\n"},
      {99, false, "cmp", "       5  1065353216          -1           0           0 <<<\n"},
      {99, true, "cmp", "       5      1.0000         NaN      0.0000      0.0000 <<<\n"},
      {15, false, "fcmp true", "       5      1.0000         NaN      0.0000      0.0000 <<<\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    SnapshotPair snapshot;
    snapshot.predicate = c.predicate;
    snapshot.lane_mask_a = 1U << 5;  // only trace A has a snapshot: B's side is zeros
    snapshot.lhs_a[5] = ONE;
    snapshot.rhs_a[5] = ALL_BITS;
    EXPECT_EQ(snapshot_listing(snapshot, c.float_operands),
              "    Per-Lane Operand Snapshot (" + c.title + "):\n" + SNAPSHOT_COLUMNS + c.row);
  }
}

TEST(Divergences, StyledSnapshotFillsInsideSequencesAndRedRows) {
  SnapshotPair snapshot;
  snapshot.predicate = 32;
  snapshot.lane_mask_a = 0b11;
  snapshot.lane_mask_b = 0b11;
  snapshot.lhs_a[1] = 1;
  EXPECT_EQ(snapshot_listing(snapshot, false, true),
            "    \x1b[1;37mPer-Lane Operand Snapshot (icmp eq):\x1b[0m\n"
            "    \x1b[2mLane\x1b[0m  \x1b[36m     A:lhs\x1b[0m  \x1b[36m     A:rhs\x1b[0m  "
            "\x1b[35m     B:lhs\x1b[0m  \x1b[35m     B:rhs\x1b[0m\n"
            "       0           0           0           0           0\n"
            "\x1b[31m       1           1           0           0           0 <<<\x1b[0m\n");
}

// ---- Classification ----

SiteClassification classified(std::uint32_t site, RootCause cause, double confidence) {
  return SiteClassification{.site_id = site, .root_cause = cause, .confidence = confidence};
}

TEST(Classification, EmptyReportWritesNothing) {
  EXPECT_EQ(plain(write_classification, ClassificationReport{}, nullptr), "");
}

TEST(Classification, SummaryAndSites) {
  ClassificationReport report;
  report.classifications = {classified(0x20, RootCause::LoopBoundDifference, 1.0),
                            classified(0x10, RootCause::FloatingPointPrecision, 0.999)};
  report.category_counts = {{RootCause::FloatingPointPrecision, 1},
                            {RootCause::LoopBoundDifference, 1}};
  const SiteMap map = site_map({{0x20, {"loop.cu", 12}}});
  EXPECT_EQ(
      plain(write_classification, report, &map),
      fmt::format("\n=== Root-Cause Classification ===\n"
                  "\nCategory Summary:\n"
                  "  Floating-Point Precision: 1 site(s)\n"
                  "  Loop Bound Difference: 1 site(s)\n"
                  "\nPer-Site Classification:\n"
                  "\n  Site 0x00000020 (loop.cu:12) → Loop Bound Difference (100% confidence)\n"
                  "    {}\n"
                  "\n  Site 0x00000010 → Floating-Point Precision (99% confidence)\n"
                  "    {}\n"
                  "\n",
                  root_cause_explanation(RootCause::LoopBoundDifference),
                  root_cause_explanation(RootCause::FloatingPointPrecision)));
}

TEST(Classification, PercentIsTruncated) {
  const struct {
    double confidence;
    std::string percent;
  } cases[] = {{0.6667, "(66% confidence)"},
               {2.0 / 3.0, "(66% confidence)"},
               {0.999, "(99% confidence)"},
               {0.5, "(50% confidence)"},
               {1.0, "(100% confidence)"},
               {0.001, "(0% confidence)"},
               // Outside [0, 1] the product is still truncated, saturating at the unsigned ends.
               {1.5, "(150% confidence)"},
               {-0.5, "(0% confidence)"},
               {1e300, "(4294967295% confidence)"}};
  for (const auto& c : cases) {
    ClassificationReport report;
    report.classifications = {classified(1, RootCause::AlgorithmicBug, c.confidence)};
    EXPECT_NE(plain(write_classification, report, nullptr).find(c.percent), std::string::npos)
        << c.percent;
  }
}

TEST(Classification, StyledCategoryNames) {
  const struct {
    RootCause cause;
    std::string name;
  } cases[] = {
      {RootCause::RaceCondition, "\x1b[1;31mRace Condition\x1b[0m"},
      {RootCause::FloatingPointPrecision, "\x1b[1;33mFloating-Point Precision\x1b[0m"},
      {RootCause::AlgorithmicBug, "\x1b[31mAlgorithmic Bug\x1b[0m"},
      {RootCause::MemoryOrdering, "\x1b[1;35mMemory Ordering\x1b[0m"},
      {RootCause::LoopBoundDifference, "\x1b[36mLoop Bound Difference\x1b[0m"},
  };
  const SiteMap map = site_map({{7, {"a.cu", 1}}});
  for (const auto& c : cases) {
    ClassificationReport report;
    report.classifications = {classified(7, c.cause, 0.5)};
    const std::string out = styled(write_classification, report, &map);
    EXPECT_EQ(out, fmt::format("\n\x1b[1m=== Root-Cause Classification ===\x1b[0m\n"
                               "\n\x1b[1mPer-Site Classification\x1b[0m:\n"
                               "\n  Site \x1b[36m0x00000007 (a.cu:1)\x1b[0m → {} (50% confidence)\n"
                               "    \x1b[2m{}\x1b[0m\n"
                               "\n",
                               c.name, root_cause_explanation(c.cause)));
  }
}

// ---- Value history ----

HistorySpec history_of(std::uint32_t first_seq, std::uint32_t count, std::uint32_t site,
                       std::uint32_t value) {
  HistorySpec history;
  for (std::uint32_t i = 0; i < count; ++i)
    history.entries.push_back(history_entry(site, value + i, first_seq + i));
  return history;
}

TEST(ValueHistory, NothingForAnEmptyList) {
  const Trace a = TraceBuilder().shape(1, 1).history(8, {{0, history_of(1, 2, 1, 1)}}).build();
  EXPECT_EQ(plain(write_value_history, DiffResult{}, a, a, 10, nullptr), "");
}

TEST(ValueHistory, HintWhenNeitherTraceHasHistory) {
  TraceBuilder flag_without_depth;
  flag_without_depth.shape(1, 1).header.flags = TRACE_FLAG_HISTORY;
  const Trace no_history = TraceBuilder().shape(1, 1).build();
  const Trace zero_depth = flag_without_depth.build();
  const DiffResult result = result_of({divergence(0, 0, 1, {BranchKind{1, 0}})});
  const std::string hint = "No history data. Set VEMO_HISTORY_DEPTH=64 to enable time-travel.";
  const struct {
    const Trace& a;
    const Trace& b;
    bool styled;
    std::string text;
  } cases[] = {
      {no_history, no_history, false, "\n" + hint + "\n"},
      {zero_depth, no_history, false, "\n" + hint + "\n"},
      {no_history, zero_depth, true, "\n\x1b[2m" + hint + "\x1b[0m\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(written(Styling(c.styled), write_value_history, result, c.a, c.b, 10, nullptr),
              c.text);
  }
}

TEST(ValueHistory, HeadingAloneWhenTheDivergentWarpsHaveNoEntries) {
  const Trace a = TraceBuilder().shape(2, 1).history(4, {{0, history_of(1, 2, 1, 1)}}).build();
  const Trace b = TraceBuilder().shape(2, 1).build();
  const DiffResult result = result_of({divergence(1, 0, 1, {BranchKind{1, 0}})});
  EXPECT_EQ(plain(write_value_history, result, a, b, 10, nullptr),
            "\n=== Value History (Time-Travel) ===\n");
}

TEST(ValueHistory, LastEightEntriesOfEachTraceWithLabels) {
  // Trace A: warp 0 three entries, warp 1 twenty (stored out of order); trace B: warp 1 two.
  HistorySpec twenty = history_of(1, 20, 0x20, 1000);
  std::swap(twenty.entries[0], twenty.entries[19]);
  const Trace a = TraceBuilder()
                      .shape(3, 1)
                      .history(32, {{0, history_of(1, 3, 0x10, 100)}, {1, twenty}})
                      .build();
  const Trace b =
      TraceBuilder().shape(3, 1).history(4, {{1, history_of(7, 2, 0x30, 4294967295U)}}).build();
  const DiffResult result = result_of({
      divergence(0, 0, 0x10, {BranchKind{1, 0}}),
      divergence(2, 0, 0x10, {BranchKind{1, 0}}),  // no history in either trace: skipped
      divergence(1, 0, 0x20, {ValueKind{1, 2}}),
  });
  const SiteMap map = site_map({{0x20, {"k.cu", 9}}});
  EXPECT_EQ(plain(write_value_history, result, a, b, 10, &map),
            "\n=== Value History (Time-Travel) ===\n"
            "\n  Divergence at 0x00000010 (warp 0)\n"
            "    Trace A history:\n"
            "      [ -3] value=100        (0x00000010) seq=1\n"
            "      [ -2] value=101        (0x00000010) seq=2\n"
            "      [ -1] value=102        (0x00000010) seq=3\n"
            "\n  Divergence at k.cu:9 (warp 1)\n"
            "    Trace A history:\n"
            "      [ -8] value=1012       (k.cu:9) seq=13\n"
            "      [ -7] value=1013       (k.cu:9) seq=14\n"
            "      [ -6] value=1014       (k.cu:9) seq=15\n"
            "      [ -5] value=1015       (k.cu:9) seq=16\n"
            "      [ -4] value=1016       (k.cu:9) seq=17\n"
            "      [ -3] value=1017       (k.cu:9) seq=18\n"
            "      [ -2] value=1018       (k.cu:9) seq=19\n"
            "      [ -1] value=1019       (k.cu:9) seq=20\n"
            "    Trace B history:\n"
            "      [ -2] value=4294967295 (0x00000030) seq=7\n"
            "      [ -1] value=0          (0x00000030) seq=8\n");
}

TEST(ValueHistory, MaxShownCountsOnlyPrintedBlocks) {
  const Trace a = TraceBuilder()
                      .shape(3, 1)
                      .history(4, {{0, history_of(1, 1, 1, 5)}, {1, history_of(1, 1, 1, 6)}})
                      .build();
  const Trace b = TraceBuilder().shape(3, 1).build();
  const DiffResult result = result_of({
      divergence(2, 0, 1, {BranchKind{1, 0}}), divergence(0, 0, 1, {BranchKind{1, 0}}),
      divergence(2, 1, 1, {BranchKind{1, 0}}), divergence(1, 0, 1, {BranchKind{1, 0}}),
      divergence(0, 1, 1, {BranchKind{1, 0}}), divergence(1, 1, 1, {BranchKind{1, 0}}),
      divergence(99, 1, 1, {BranchKind{1, 0}}),  // a warp the traces lack counts as no history
  });
  const struct {
    std::uint64_t max_shown;
    std::vector<std::string> warps;
  } cases[] = {{0, {}},
               {1, {"(warp 0)"}},
               {2, {"(warp 0)", "(warp 1)"}},
               {10, {"(warp 0)", "(warp 1)", "(warp 0)", "(warp 1)"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.max_shown);
    const std::string out = plain(write_value_history, result, a, b, c.max_shown, nullptr);
    EXPECT_TRUE(out.starts_with("\n=== Value History (Time-Travel) ===\n"));
    EXPECT_EQ(occurrences(out, "Divergence at"), c.warps.size()) << out;
    std::size_t at = 0;
    for (const std::string& warp : c.warps) {
      at = out.find(warp, at);
      ASSERT_NE(at, std::string::npos) << out;
      ++at;
    }
  }
}

// Each divergence shows its own warp's history, also when one warp's divergences come in a row
// or the list goes back to an earlier warp.
TEST(ValueHistory, EachDivergenceShowsItsWarpsHistory) {
  const Trace a = TraceBuilder()
                      .shape(2, 1)
                      .history(4, {{0, history_of(1, 1, 1, 5)}, {1, history_of(1, 1, 1, 6)}})
                      .build();
  const Trace b = TraceBuilder().shape(2, 1).build();
  const DiffResult result = result_of({
      divergence(0, 0, 1, {BranchKind{1, 0}}),
      divergence(0, 1, 1, {BranchKind{1, 0}}),
      divergence(1, 0, 1, {BranchKind{1, 0}}),
      divergence(0, 2, 1, {BranchKind{1, 0}}),
  });
  auto block = [](int warp, int value) {
    return fmt::format(
        "\n  Divergence at 0x00000001 (warp {})\n    Trace A history:\n"
        "      [ -1] value={:<10} (0x00000001) seq=1\n",
        warp, value);
  };
  EXPECT_EQ(plain(write_value_history, result, a, b, 10, nullptr),
            "\n=== Value History (Time-Travel) ===\n" + block(0, 5) + block(0, 5) + block(1, 6) +
                block(0, 5));
}

TEST(ValueHistory, StyledBlock) {
  const Trace a = TraceBuilder().shape(1, 1).history(4, {{0, history_of(1, 1, 0x10, 5)}}).build();
  const DiffResult result = result_of({divergence(0, 0, 0x10, {BranchKind{1, 0}})});
  EXPECT_EQ(styled(write_value_history, result, a, a, 10, nullptr),
            "\n\x1b[1m=== Value History (Time-Travel) ===\x1b[0m\n"
            "\n  \x1b[1mDivergence at\x1b[0m \x1b[32m0x00000010\x1b[0m (warp 0)\n"
            "    \x1b[36mTrace A history:\x1b[0m\n"
            "      [ -1] value=5          (0x00000010) seq=1\n"
            "    \x1b[35mTrace B history:\x1b[0m\n"
            "      [ -1] value=5          (0x00000010) seq=1\n");
}

// In cross-GPU mode warp_idx names a thread chunk; the history shown is that of the warps
// holding it.
CrossGpuInfo cross_gpu_info(std::uint32_t arch_a, std::uint32_t arch_b) {
  CrossGpuInfo info;
  info.arch_a = GpuArch::from_cuda_arch(arch_a);
  info.arch_b = GpuArch::from_cuda_arch(arch_b);
  info.warp_size_a = info.arch_a.warp_size();
  info.warp_size_b = info.arch_b.warp_size();
  return info;
}

// The value of the first entry in the block under `title`, or -1 when there is none.
long first_value(const std::string& out, std::string_view title) {
  const std::size_t at = out.find(title);
  if (at == std::string::npos) return -1;
  const std::size_t value = out.find("value=", at) + 6;
  return std::stol(out.substr(value));
}

TEST(ValueHistory, CrossGpuTraceAWarpHoldsTheDivergentEvent) {
  // A: 32-lane warps, chunk 1 = warps 2 (3 events) and 3 (2 events); B: 64-lane, chunk 1 = warp 1.
  TraceBuilder builder_a;
  builder_a.shape(4, 4).warp(2, {event(1), event(1), event(1)}).warp(3, {event(1), event(1)});
  builder_a.header.cuda_arch = 80;
  builder_a.history(
      4,
      {{0, history_of(1, 1, 1, 20)}, {2, history_of(1, 1, 1, 22)}, {3, history_of(1, 1, 1, 33)}});
  TraceBuilder builder_b;
  builder_b.shape(2, 4).history(4, {{0, history_of(1, 1, 1, 10)}, {1, history_of(1, 1, 1, 11)}});
  builder_b.header.cuda_arch = 4096;
  const Trace a = builder_a.build();
  const Trace b = builder_b.build();
  const struct {
    std::uint64_t event_idx;
    long value_a;
  } cases[] = {{0, 22}, {2, 22}, {3, 33}, {4, 33}, {5, 33}};  // 5: past the end, the last warp
  for (const auto& c : cases) {
    SCOPED_TRACE(c.event_idx);
    DiffResult result = result_of({divergence(1, c.event_idx, 1, {BranchKind{1, 0}})});
    result.cross_gpu = cross_gpu_info(80, 4096);
    const std::string out = plain(write_value_history, result, a, b, 10, nullptr);
    EXPECT_NE(out.find("(warp 1)"), std::string::npos) << out;
    EXPECT_EQ(first_value(out, "Trace A history:"), c.value_a) << out;
    EXPECT_EQ(first_value(out, "Trace B history:"), 11) << out;
  }
}

TEST(ValueHistory, CrossGpuTraceBFirstChunkWarpWithHistory) {
  // A: 64-lane, chunk 1 = warp 1; B: 32-lane, chunk 1 = warps 2 (no history) and 3.
  TraceBuilder builder_a;
  builder_a.shape(2, 1).history(4, {{1, history_of(1, 1, 1, 44)}});
  builder_a.header.cuda_arch = 4352;
  TraceBuilder builder_b;
  builder_b.shape(4, 1).history(4, {{1, history_of(1, 1, 1, 10)}, {3, history_of(1, 1, 1, 13)}});
  builder_b.header.cuda_arch = 90;
  const Trace a = builder_a.build();
  const Trace b = builder_b.build();
  DiffResult result = result_of({divergence(1, 0, 1, {PathKind{1, 2}})});
  result.cross_gpu = cross_gpu_info(4352, 90);
  const std::string out = plain(write_value_history, result, a, b, 10, nullptr);
  EXPECT_EQ(first_value(out, "Trace A history:"), 44) << out;
  EXPECT_EQ(first_value(out, "Trace B history:"), 13) << out;

  // Chunk 0: A's warp 0 has no history; of B's warps 0 and 1 the first with history is warp 1.
  result.divergences[0].warp_idx = 0;
  const std::string chunk0 = plain(write_value_history, result, a, b, 10, nullptr);
  EXPECT_EQ(first_value(chunk0, "Trace A history:"), -1) << chunk0;
  EXPECT_EQ(first_value(chunk0, "Trace B history:"), 10) << chunk0;
}

// ---- Session sections ----

TEST(KernelSection, ErrorOrSummaryAndListing) {
  const DiffResult identical = counted_result({});
  const DiffResult diverged = counted_result({divergence(1, 2, 0x10, {BranchKind{1, 0}})});
  const struct {
    KernelResult pair;
    std::string text;
  } cases[] = {
      {{"k", 3, fail("Failed to load trace: x")},
       "--- Kernel: k (launch 3) ---\n  ERROR: Failed to load trace: x\n\n"},
      {{"k", 0, identical},
       "--- Kernel: k (launch 0) ---\n" + plain(write_summary, identical) + "\n"},
      {{"reduce", 1, diverged},
       "--- Kernel: reduce (launch 1) ---\n" + plain(write_summary, diverged) +
           plain(write_divergences, diverged, 10, nullptr, false) + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pair.kernel);
    EXPECT_EQ(plain(write_kernel_section, c.pair, 10, false), c.text);
  }
}

TEST(KernelSection, UnmatchedLaunchesOfASideThenOfB) {
  std::string text;
  OutputSink out(text);
  write_unmatched_launches(out, {{"a (launch 0)", "b (launch 2)"}, {"c (launch 1)"}});
  EXPECT_EQ(text,
            "Warning: Unmatched launch in session A (not in B): a (launch 0)\n"
            "Warning: Unmatched launch in session A (not in B): b (launch 2)\n"
            "Warning: Unmatched launch in session B (not in A): c (launch 1)\n");
}

// ---- Styling ----

std::string without_sequences(const std::string& text) {
  static const std::regex SEQUENCE("\x1b\\[[0-9;]*m");
  return std::regex_replace(text, SEQUENCE, "");
}

// Styling adds its sequences and nothing else: every writer's styled text, the sequences taken
// out, is its plain text.
TEST(Styling, AddsOnlyItsSequences) {
  const Trace a = TraceBuilder()
                      .shape(2, 2)
                      .warp(0, {event(0x10), event(0x20)})
                      .history(4, {{0, history_of(1, 3, 0x10, 7)}})
                      .build();
  SnapshotPair snapshot;
  snapshot.predicate = 4;
  snapshot.lane_mask_a = 0b11;
  snapshot.lhs_a[1] = ONE;
  Divergence with_snapshot = divergence(0, 1, 0x20, {ActiveMaskKind{0xff, 0x0f}});
  with_snapshot.snapshot = snapshot;
  DiffResult result = counted_result({
      divergence(0, 0, 0x10, {BranchKind{1, 0}}),
      with_snapshot,
      divergence(1, 0, 0x20, {PathKind{0x20, 0x30}}),
      divergence(1, 1, 0x30, {ValueKind{1, 2}}),
      divergence(1, 2, 0x30, {ExtraEventsKind{2, TraceSide::B}}),
  });
  result.cross_gpu = CrossGpuInfo{};
  const SiteMap map = site_map({{0x10, {"k.cu", 4}}, {0x30, {"k.cu", 9}}});
  ClassificationReport report;
  report.classifications = {classified(0x10, RootCause::RaceCondition, 0.5),
                            classified(0x20, RootCause::MemoryOrdering, 1.0)};
  report.category_counts = {{RootCause::RaceCondition, 1}, {RootCause::MemoryOrdering, 1}};
  const KernelResult pair{"k", 0, result};

  using Write = std::function<std::string(Styling)>;
  const std::pair<const char*, Write> writers[] = {
      {"info", [&](Styling s) { return written(s, write_trace_info, "Trace A", a); }},
      {"dump", [&](Styling s) { return written(s, write_dump, "Trace A", a, 10); }},
      {"summary", [&](Styling s) { return written(s, write_summary, result); }},
      {"listing",
       [&](Styling s) { return written(s, write_divergences, result, 10, &map, false); }},
      {"classification", [&](Styling s) { return written(s, write_classification, report, &map); }},
      {"history",
       [&](Styling s) { return written(s, write_value_history, result, a, a, 10, &map); }},
      {"kernel section",
       [&](Styling s) { return written(s, write_kernel_section, pair, 10, true); }},
  };
  for (const auto& [name, write] : writers) {
    SCOPED_TRACE(name);
    const std::string styled_text = write(Styling(true));
    const std::string plain_text = write(Styling(false));
    EXPECT_NE(styled_text, plain_text);
    EXPECT_EQ(without_sequences(styled_text), plain_text);
  }
}

}  // namespace
}  // namespace vemo::testing
