// The console outputs through the real binary: trace info, dump, summary (cross-GPU block
// included), listing, classification and value history.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

// Warp 0 agrees; in warp 1 trace B's branch at site 0x10 goes the other way and only half of
// its lanes reach site 0x20. Trace A records one history entry in warp 1.
struct DivergentPair {
  std::string a;
  std::string b;
};

DivergentPair write_divergent_pair() {
  const auto dir = scratch_dir();
  TraceBuilder a;
  a.shape(2, 4)
      .warp(0, {event(0x10, 0, 1), event(0x20)})
      .warp(1, {event(0x10, 0, 1), event(0x20)})
      .history(4, {{1, HistorySpec{{}, {history_entry(0x10, 7, 1)}}}});
  a.header.timestamp = 42;
  a.header.cuda_arch = 80;
  TraceBuilder b;
  b.shape(2, 4)
      .warp(0, {event(0x10, 0, 1), event(0x20)})
      .warp(1, {event(0x10, 0, 0), event(0x20, 0, 0, 0x0000ffff)});
  b.header.flags |= TRACE_FLAG_SAMPLING;
  b.header.sample_rate = 2;
  return {a.write(dir / "a.trace"), b.write(dir / "b.trace")};
}

const std::string INFO_A =
    "\n=== Trace A ===\n"
    "Kernel:     test_kernel\n"
    "Hash:       0x0000000000001234\n"
    "Grid:       [1, 1, 1]\n"
    "Block:      [32, 1, 1]\n"
    "Warps:      2\n"
    "Events:     4\n"
    "Overflows:  0\n"
    "Timestamp:  42\n"
    "CUDA Arch:  SM_80\n";

const std::string INFO_B =
    "\n=== Trace B ===\n"
    "Kernel:     test_kernel\n"
    "Hash:       0x0000000000001234\n"
    "Grid:       [1, 1, 1]\n"
    "Block:      [32, 1, 1]\n"
    "Warps:      2\n"
    "Events:     4\n"
    "Overflows:  0\n"
    "Timestamp:  0\n"
    "CUDA Arch:  SM_0\n"
    "Sampling:   1/2 (~50.0% of events recorded)\n";

const std::string REPORT =
    "\n=== Diff Summary ===\n"
    "Total warps:          2\n"
    "Warps compared:       2\n"
    "Warps diverged:       1\n"
    "Events in trace A:    4\n"
    "Events in trace B:    4\n"
    "Total divergences:    2\n"
    "\n"
    "✗ DIVERGENCE DETECTED: 1 warps affected\n"
    "\nDivergence breakdown:\n"
    "  Branch: 1\n"
    "  ActiveMask: 1\n"
    "\n"
    "=== Divergences ===\n"
    "\nSite: 0x00000010 (1 warps affected)\n"
    "  Warp 1 @ event 0: Branch Direction\n"
    "    Trace A: TAKEN\n"
    "    Trace B: NOT-TAKEN\n"
    "    → Threads at site 0x00000010 took different branch\n"
    "\nSite: 0x00000020 (1 warps affected)\n"
    "  Warp 1 @ event 1: Active Mask Mismatch\n"
    "    Trace A: 0xffffffff (32 threads active)\n"
    "    Trace B: 0x0000ffff (16 threads active)\n"
    "    → Lanes differ: 0xffff0000\n"
    "\n=== Value History (Time-Travel) ===\n"
    "\n  Divergence at 0x00000010 (warp 1)\n"
    "    Trace A history:\n"
    "      [ -1] value=7          (0x00000010) seq=1\n"
    "\n  Divergence at 0x00000020 (warp 1)\n"
    "    Trace A history:\n"
    "      [ -1] value=7          (0x00000010) seq=1\n";

TEST(CliReport, ConsoleReportOfADivergentPair) {
  const auto pair = write_divergent_pair();
  const ProcessResult run = run_vemo({pair.a, pair.b});
  EXPECT_EQ(run.out, REPORT);
  EXPECT_EQ(run.err, "Loading traces...\nComparing 2 warps...\n");
  EXPECT_EQ(run.status, 1);
}

TEST(CliReport, VerboseBlocksPrecedeTheReport) {
  const auto pair = write_divergent_pair();
  const ProcessResult run = run_vemo({"--verbose", pair.a, pair.b});
  EXPECT_EQ(run.out, INFO_A + INFO_B + REPORT);
  EXPECT_EQ(run.status, 1);
}

TEST(CliReport, IdenticalPairEndsWithTheIdenticalLine) {
  const auto pair = write_divergent_pair();
  const ProcessResult run = run_vemo({pair.a, pair.a});
  EXPECT_EQ(run.out,
            "\n=== Diff Summary ===\n"
            "Total warps:          2\n"
            "Warps compared:       2\n"
            "Warps diverged:       0\n"
            "Events in trace A:    4\n"
            "Events in trace B:    4\n"
            "Total divergences:    0\n"
            "\n"
            "✓ Traces are IDENTICAL\n");
  EXPECT_EQ(run.err, "Loading traces...\nComparing 2 warps...\n");
  EXPECT_EQ(run.status, 0);
}

TEST(CliReport, DumpOfEitherTrace) {
  const auto pair = write_divergent_pair();
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"--dump-a", "3", pair.a, pair.b},
       "\n=== Trace A ===\n" + INFO_A +
           "\n=== Events (first 3 events) ===\n"
           "\nWarp 0 (2 events, 0 overflows):\n"
           "  [0] site=0x00000010 type=0 branch=1 active_mask=0xffffffff value=0\n"
           "  [1] site=0x00000020 type=0 branch=0 active_mask=0xffffffff value=0\n"
           "\nWarp 1 (2 events, 0 overflows):\n"
           "  [0] site=0x00000010 type=0 branch=1 active_mask=0xffffffff value=0\n"},
      {{"--dump-b", "0", pair.a, pair.b},
       "\n=== Trace B ===\n" + INFO_B + "\n=== Events (first 0 events) ===\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    const ProcessResult run = run_vemo(c.args);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, "Loading traces...\n");
    EXPECT_EQ(run.status, 0);
  }
}

TEST(CliReport, ForcedColourStylesThePieces) {
  const auto pair = write_divergent_pair();
  ProcessOptions options;
  options.env = {{"CLICOLOR_FORCE", "1"}};
  const ProcessResult run = run_vemo({pair.a, pair.b}, options);
  EXPECT_TRUE(run.out.starts_with("\n\x1b[1m=== Diff Summary ===\x1b[0m\nTotal warps:")) << run.out;
  for (const std::string piece : {
           "\x1b[1;31m✗ DIVERGENCE DETECTED:\x1b[0m \x1b[31m1 warps affected\x1b[0m\n",
           "\n\x1b[1mSite:\x1b[0m \x1b[36m0x00000010\x1b[0m (\x1b[33m1 warps affected\x1b[0m)\n",
           "  Warp 1 @ event 0: \x1b[33mBranch Direction\x1b[0m\n",
           "\n  \x1b[1mDivergence at\x1b[0m \x1b[32m0x00000020\x1b[0m (warp 1)\n",
       }) {
    EXPECT_NE(run.out.find(piece), std::string::npos) << piece;
  }
  EXPECT_EQ(run.err, "Loading traces...\nComparing 2 warps...\n");
  EXPECT_EQ(run.status, 1);
}

// Three warps: the store at site 0x20 writes 1.0f in both traces except in warp 0, where trace
// B writes the next float up (one ULP); the loop branch at site 0x30 runs once more in trace
// A in every warp.
struct LoopPair {
  std::string a;
  std::string b;
  std::string map;
};

LoopPair write_loop_pair() {
  const auto dir = scratch_dir();
  TraceBuilder a;
  TraceBuilder b;
  a.shape(3, 4);
  b.shape(3, 4);
  for (std::uint32_t warp = 0; warp < 3; ++warp) {
    const std::uint32_t value_b = warp == 0 ? 0x3f800001 : 0x3f800000;
    a.warp(warp, {event(0x10, 0, 1), event(0x20, 4, 0, 0xffffffff, 0x3f800000), event(0x30),
                  event(0x40, 0, 1)});
    b.warp(warp, {event(0x10, 0, 1), event(0x20, 4, 0, 0xffffffff, value_b), event(0x40, 0, 1)});
  }
  write_file(dir / "map.json",
             R"([{"site_id":32,"filename":"k.cu","function":"f","line":12,"column":5,
                  "event_type":4,"ordinal":0},
                 {"site_id":48,"filename":"k.cu","function":"f","line":20,"column":3,
                  "event_type":0,"ordinal":1}])");
  return {a.write(dir / "a.trace"), b.write(dir / "b.trace"), (dir / "map.json").string()};
}

// The listing's block of the loop site, whose label follows the id.
std::string loop_site_listing(const std::string& at) {
  std::string listing = "\nSite: 0x00000030" + at + " (3 warps affected)\n";
  for (const char* warp : {"0", "1", "2"}) {
    listing += std::string("  Warp ") + warp +
               " @ event 2: Extra Events (Drift)\n"
               "    Trace A has 1 extra event(s)\n"
               "    → Trace A executed more iterations or deeper recursion\n";
  }
  return listing;
}

// Summary and listing of the pair compared with --values.
std::string loop_report(const std::string& at_value_site, const std::string& at_loop_site) {
  return "\n=== Diff Summary ===\n"
         "Total warps:          3\n"
         "Warps compared:       3\n"
         "Warps diverged:       3\n"
         "Events in trace A:    12\n"
         "Events in trace B:    9\n"
         "Total divergences:    4\n"
         "\n"
         "✗ DIVERGENCE DETECTED: 3 warps affected\n"
         "\nDivergence breakdown:\n"
         "  Value: 1\n"
         "  ExtraEvents: 3\n"
         "\n"
         "=== Divergences ===\n"
         "\nSite: 0x00000020" +
         at_value_site +
         " (1 warps affected)\n"
         "  Warp 0 @ event 1: Value Mismatch\n"
         "    Trace A: 1065353216 (0x3f800000)\n"
         "    Trace B: 1065353217 (0x3f800001)\n"
         "    → Different operand values at site 0x00000020\n" +
         loop_site_listing(at_loop_site);
}

std::string classification(const std::string& value_site, const std::string& loop_site,
                           int loop_percent) {
  return "\n=== Root-Cause Classification ===\n"
         "\nCategory Summary:\n"
         "  Floating-Point Precision: 1 site(s)\n"
         "  Loop Bound Difference: 1 site(s)\n"
         "\nPer-Site Classification:\n"
         "\n  Site " +
         value_site +
         " → Floating-Point Precision (77% confidence)\n"
         "    Value divergences with small ULP distance, possibly at float comparison sites. "
         "Different rounding or FMA contraction may cause branch divergence.\n"
         "\n  Site " +
         loop_site + " → Loop Bound Difference (" + std::to_string(loop_percent) +
         "% confidence)\n"
         "    One trace has extra events (different iteration counts). Loop bounds or recursion "
         "depth differ between the two executions.\n"
         "\n";
}

TEST(CliReport, ClassificationOfKnownSites) {
  const auto pair = write_loop_pair();
  // Value site: float 2.5 (mean ULP 1) + 1.0 (Value without Path) against race 1.0 (one warp of
  // three): 3.5 / 4.5. Loop site, ExtraEvents in all three warps: loop 5.0 against algorithmic
  // 3.5, that is 5.0 / 8.5; the map's Branch event type adds 1.0 to loop: 6.0 / 9.5.
  const struct {
    std::vector<std::string> args;
    std::string out;
    std::string err;
  } cases[] = {
      {{"--values", "--classify", pair.a, pair.b},
       loop_report("", "") + classification("0x00000020", "0x00000030", 58),
       "Loading traces...\nComparing 3 warps...\n"},
      {{"--values", "--classify", "--map", pair.map, pair.a, pair.b},
       loop_report(" at k.cu:12", " at k.cu:20") +
           classification("0x00000020 (k.cu:12)", "0x00000030 (k.cu:20)", 63),
       "Loading traces...\nLoaded 2 site mappings\n\nComparing 3 warps...\n"},
      // Without --values only the loop site diverges.
      {{"--classify", pair.a, pair.b},
       "\n=== Diff Summary ===\n"
       "Total warps:          3\n"
       "Warps compared:       3\n"
       "Warps diverged:       3\n"
       "Events in trace A:    12\n"
       "Events in trace B:    9\n"
       "Total divergences:    3\n"
       "\n"
       "✗ DIVERGENCE DETECTED: 3 warps affected\n"
       "\nDivergence breakdown:\n"
       "  ExtraEvents: 3\n"
       "\n"
       "=== Divergences ===\n" +
           loop_site_listing("") +
           "\n=== Root-Cause Classification ===\n"
           "\nCategory Summary:\n"
           "  Loop Bound Difference: 1 site(s)\n"
           "\nPer-Site Classification:\n"
           "\n  Site 0x00000030 → Loop Bound Difference (58% confidence)\n"
           "    One trace has extra events (different iteration counts). Loop bounds or "
           "recursion depth differ between the two executions.\n"
           "\n",
       "Loading traces...\nComparing 3 warps...\n"},
      // Nothing diverges: no classification section.
      {{"--values", "--classify", pair.a, pair.a},
       "\n=== Diff Summary ===\n"
       "Total warps:          3\n"
       "Warps compared:       3\n"
       "Warps diverged:       0\n"
       "Events in trace A:    12\n"
       "Events in trace B:    12\n"
       "Total divergences:    0\n"
       "\n"
       "✓ Traces are IDENTICAL\n",
       "Loading traces...\nComparing 3 warps...\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ProcessResult run = run_vemo(c.args);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, c.out.find("IDENTICAL") == std::string::npos ? 1 : 0);
  }
}

// Three warps whose branch at site 0x10 goes the other way in trace B. Warp 0 has no history
// in either trace; trace A (depth 12) holds ten entries of warp 1, written newest first; trace
// B (depth 8) holds two entries of warp 1 and three of warp 2.
TEST(CliReport, ValueHistoryShowsTheLastEntriesOfEachTrace) {
  const auto dir = scratch_dir();
  TraceBuilder a;
  TraceBuilder b;
  a.shape(3, 2);
  b.shape(3, 2);
  for (std::uint32_t warp = 0; warp < 3; ++warp) {
    a.warp(warp, {event(0x10, 0, 1), event(0x20)});
    b.warp(warp, {event(0x10, 0, 0), event(0x20)});
  }
  std::vector<HistoryEntry> newest_first;
  for (std::uint32_t seq = 10; seq >= 1; --seq) {
    newest_first.push_back(history_entry(seq % 2 == 1 ? 0x10 : 0x20, seq * 100, seq));
  }
  a.history(12, {{1, HistorySpec{{}, newest_first}}});
  b.history(8,
            {{1, HistorySpec{{}, {history_entry(0x30, 0xffffffff, 3), history_entry(0x10, 5, 7)}}},
             {2, HistorySpec{{},
                             {history_entry(0x20, 3, 22), history_entry(0x20, 1, 20),
                              history_entry(0x20, 2, 21)}}}});
  write_file(dir / "map.json", R"([{"site_id":16,"filename":"k.cu","function":"f","line":5,
                                     "column":1,"event_type":0,"ordinal":0}])");
  std::string branch_entries;
  for (const char* warp : {"0", "1", "2"}) {
    branch_entries += std::string("  Warp ") + warp +
                      " @ event 0: Branch Direction\n"
                      "    Trace A: TAKEN\n"
                      "    Trace B: NOT-TAKEN\n"
                      "    → Threads at site 0x00000010 took different branch\n";
  }
  const ProcessResult run = run_vemo(
      {"--map", (dir / "map.json").string(), a.write(dir / "a.trace"), b.write(dir / "b.trace")});
  EXPECT_EQ(run.out,
            "\n=== Diff Summary ===\n"
            "Total warps:          3\n"
            "Warps compared:       3\n"
            "Warps diverged:       3\n"
            "Events in trace A:    6\n"
            "Events in trace B:    6\n"
            "Total divergences:    3\n"
            "\n"
            "✗ DIVERGENCE DETECTED: 3 warps affected\n"
            "\nDivergence breakdown:\n"
            "  Branch: 3\n"
            "\n"
            "=== Divergences ===\n"
            "\nSite: 0x00000010 at k.cu:5 (3 warps affected)\n" +
                branch_entries +
                "\n=== Value History (Time-Travel) ===\n"
                "\n  Divergence at k.cu:5 (warp 1)\n"
                "    Trace A history:\n"
                "      [ -8] value=300        (k.cu:5) seq=3\n"
                "      [ -7] value=400        (0x00000020) seq=4\n"
                "      [ -6] value=500        (k.cu:5) seq=5\n"
                "      [ -5] value=600        (0x00000020) seq=6\n"
                "      [ -4] value=700        (k.cu:5) seq=7\n"
                "      [ -3] value=800        (0x00000020) seq=8\n"
                "      [ -2] value=900        (k.cu:5) seq=9\n"
                "      [ -1] value=1000       (0x00000020) seq=10\n"
                "    Trace B history:\n"
                "      [ -2] value=4294967295 (0x00000030) seq=3\n"
                "      [ -1] value=5          (k.cu:5) seq=7\n"
                "\n  Divergence at k.cu:5 (warp 2)\n"
                "    Trace B history:\n"
                "      [ -3] value=1          (0x00000020) seq=20\n"
                "      [ -2] value=2          (0x00000020) seq=21\n"
                "      [ -1] value=3          (0x00000020) seq=22\n");
  EXPECT_EQ(run.err, "Loading traces...\nLoaded 1 site mappings\n\nComparing 3 warps...\n");
  EXPECT_EQ(run.status, 1);
}

TEST(CliReport, HistoryHintWhenNeitherTraceRecordedHistory) {
  const auto dir = scratch_dir();
  TraceBuilder taken;
  taken.shape(1, 1).warp(0, {event(0x10, 0, 1)});
  TraceBuilder not_taken;
  not_taken.shape(1, 1).warp(0, {event(0x10, 0, 0)});
  TraceBuilder flagged_empty = not_taken;
  flagged_empty.history(0, {});  // the flag without depth counts as no history
  const std::string a = taken.write(dir / "a.trace");
  const std::string b = not_taken.write(dir / "b.trace");
  const std::string b_flagged = flagged_empty.write(dir / "b-flagged.trace");
  const std::string summary_head =
      "\n=== Diff Summary ===\n"
      "Total warps:          1\n"
      "Warps compared:       1\n";
  const std::string report = summary_head +
                             "Warps diverged:       1\n"
                             "Events in trace A:    1\n"
                             "Events in trace B:    1\n"
                             "Total divergences:    1\n"
                             "\n"
                             "✗ DIVERGENCE DETECTED: 1 warps affected\n"
                             "\nDivergence breakdown:\n"
                             "  Branch: 1\n"
                             "\n"
                             "=== Divergences ===\n"
                             "\nSite: 0x00000010 (1 warps affected)\n"
                             "  Warp 0 @ event 0: Branch Direction\n"
                             "    Trace A: TAKEN\n"
                             "    Trace B: NOT-TAKEN\n"
                             "    → Threads at site 0x00000010 took different branch\n";
  const std::string hint = "\nNo history data. Set VEMO_HISTORY_DEPTH=64 to enable time-travel.\n";
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"--history", a, b}, report + hint},
      {{"--history", a, b_flagged}, report + hint},
      {{a, b_flagged}, report},
      // Nothing diverges: neither section nor hint.
      {{"--history", a, a},
       summary_head + "Warps diverged:       0\n"
                      "Events in trace A:    1\n"
                      "Events in trace B:    1\n"
                      "Total divergences:    0\n"
                      "\n"
                      "✓ Traces are IDENTICAL\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ProcessResult run = run_vemo(c.args);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, "Loading traces...\nComparing 1 warps...\n");
  }
}

TEST(CliReport, CrossGpuSummaryBlock) {
  const auto dir = scratch_dir();
  // An NVIDIA trace of two 32-lane warps against an AMD trace of one 64-lane warp: one chunk of
  // 64 threads. Masks compare by their number of lanes: 16 against 16 agree, 32 against 16 not.
  TraceBuilder nvidia;
  nvidia.kernel("vec_add_cuda", 0x1111).shape(2, 1);
  nvidia.warp(0, {event(0x10, 0, 1, 0x0000ffff)}).warp(1, {event(0x10, 0, 1)});
  nvidia.header.cuda_arch = 80;
  nvidia.header.grid = {2, 1, 1};
  TraceBuilder amd;
  amd.kernel("vec_add_hip", 0x2222).shape(1, 2);
  amd.warp(0, {event(0x10, 0, 1, 0xffff0000), event(0x10, 0, 1, 0x0000ffff)});
  amd.header.cuda_arch = 9000;
  amd.header.block = {64, 1, 1};
  // Same shapes, architectures unknown and the largest NVIDIA number.
  TraceBuilder unknown;
  unknown.shape(1, 1).warp(0, {event(0x10, 0, 1)});
  TraceBuilder sm4095 = unknown;
  sm4095.header.cuda_arch = 4095;

  const struct {
    std::string a;
    std::string b;
    std::string out;
    std::string err;
    int status;
  } cases[] = {
      {nvidia.write(dir / "nvidia.trace"), amd.write(dir / "amd.trace"),
       "\n=== Diff Summary ===\n"
       "Cross-GPU mode\n"
       "  Trace A: NVIDIA SM_80 (warp size 32)\n"
       "  Trace B: AMD gfx9000 (warp size 64)\n"
       "  Grid A: [2, 1, 1]  Block A: [32, 1, 1]\n"
       "  Grid B: [1, 1, 1]  Block B: [64, 1, 1]\n"
       "Total warps:          1\n"
       "Warps compared:       1\n"
       "Warps diverged:       1\n"
       "Events in trace A:    2\n"
       "Events in trace B:    2\n"
       "Total divergences:    1\n"
       "\n"
       "✗ DIVERGENCE DETECTED: 1 warps affected\n"
       "\nDivergence breakdown:\n"
       "  ActiveMask: 1\n"
       "\n"
       "=== Divergences ===\n"
       "\nSite: 0x00000010 (1 warps affected)\n"
       "  Warp 0 @ event 1: Active Mask Mismatch\n"
       "    Trace A: 0xffffffff (32 threads active)\n"
       "    Trace B: 0x0000ffff (16 threads active)\n"
       "    → Lanes differ: 0xffff0000\n",
       "Loading traces...\n"
       "Warning: Kernel mismatch (--cross-gpu): 'vec_add_cuda' vs 'vec_add_hip'\n"
       "Note (cross-GPU): Grid dimension mismatch: [2, 1, 1] vs [1, 1, 1]\n"
       "Note (cross-GPU): Block dimension mismatch: [32, 1, 1] vs [64, 1, 1]\n"
       "Comparing 1 warps...\n",
       1},
      {unknown.write(dir / "unknown.trace"), sm4095.write(dir / "sm4095.trace"),
       "\n=== Diff Summary ===\n"
       "Cross-GPU mode\n"
       "  Trace A: Unknown(0) (warp size 32)\n"
       "  Trace B: NVIDIA SM_4095 (warp size 32)\n"
       "  Grid A: [1, 1, 1]  Block A: [32, 1, 1]\n"
       "  Grid B: [1, 1, 1]  Block B: [32, 1, 1]\n"
       "Total warps:          1\n"
       "Warps compared:       1\n"
       "Warps diverged:       0\n"
       "Events in trace A:    1\n"
       "Events in trace B:    1\n"
       "Total divergences:    0\n"
       "\n"
       "✓ Traces are IDENTICAL\n",
       "Loading traces...\nComparing 1 warps...\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.b);
    const ProcessResult run = run_vemo({"--cross-gpu", c.a, c.b});
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, c.status);
  }
}

}  // namespace
}  // namespace vemo::testing
