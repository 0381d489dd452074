// The console outputs through the real binary: trace info, dump, summary, listing and history.

#include <gtest/gtest.h>

#include <string>

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

const std::string kInfoA =
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

const std::string kInfoB =
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

const std::string kReport =
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
  EXPECT_EQ(run.out, kReport);
  EXPECT_EQ(run.err, "Loading traces...\nComparing 2 warps...\n");
  EXPECT_EQ(run.status, 1);
}

TEST(CliReport, VerboseBlocksPrecedeTheReport) {
  const auto pair = write_divergent_pair();
  const ProcessResult run = run_vemo({"--verbose", pair.a, pair.b});
  EXPECT_EQ(run.out, kInfoA + kInfoB + kReport);
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
       "\n=== Trace A ===\n" + kInfoA +
           "\n=== Events (first 3 events) ===\n"
           "\nWarp 0 (2 events, 0 overflows):\n"
           "  [0] site=0x00000010 type=0 branch=1 active_mask=0xffffffff value=0\n"
           "  [1] site=0x00000020 type=0 branch=0 active_mask=0xffffffff value=0\n"
           "\nWarp 1 (2 events, 0 overflows):\n"
           "  [0] site=0x00000010 type=0 branch=1 active_mask=0xffffffff value=0\n"},
      {{"--dump-b", "0", pair.a, pair.b},
       "\n=== Trace B ===\n" + kInfoB + "\n=== Events (first 0 events) ===\n"},
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

}  // namespace
}  // namespace vemo::testing
