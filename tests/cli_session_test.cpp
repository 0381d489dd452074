// Session mode's text output through the real binary: per-launch sections, failed pairs,
// unmatched launches, manifest warnings, progress lines and exit statuses.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

namespace fs = std::filesystem;

// One warp: a branch at site 0x10 going `direction`, then an event at site 0x20.
TraceBuilder one_warp(std::uint8_t direction) {
  TraceBuilder builder;
  builder.shape(1, 4).warp(0, {event(0x10, 0, direction), event(0x20)});
  return builder;
}

struct Launch {
  std::string kernel;
  int launch;
  std::string file;
  std::string grid = "[1,1,1]";
  std::string block = "[32,1,1]";
};

// Writes `dir`/session.json listing `launches` in order.
void write_manifest(const fs::path& dir, const std::vector<Launch>& launches) {
  fs::create_directories(dir);
  std::string manifest = "[";
  for (const Launch& l : launches) {
    if (manifest.size() > 1) manifest += ",\n ";
    manifest += R"({"launch":)" + std::to_string(l.launch) + R"(,"kernel":")" + l.kernel +
                R"(","file":")" + l.file + R"(","grid":)" + l.grid + R"(,"block":)" + l.block + "}";
  }
  write_file(dir / "session.json", manifest + "]\n");
}

// Runs vemo-diff in `dir`, so that the paths in messages are the relative ones given.
ProcessResult run_in(const fs::path& dir, const std::vector<std::string>& args) {
  ProcessOptions options;
  options.cwd = dir.string();
  return run_vemo(args, options);
}

const std::string IDENTICAL_SECTION =
    "\n=== Diff Summary ===\n"
    "Total warps:          1\n"
    "Warps compared:       1\n"
    "Warps diverged:       0\n"
    "Events in trace A:    2\n"
    "Events in trace B:    2\n"
    "Total divergences:    0\n"
    "\n"
    "✓ Traces are IDENTICAL\n"
    "\n";

const std::string BRANCH_SECTION =
    "\n=== Diff Summary ===\n"
    "Total warps:          1\n"
    "Warps compared:       1\n"
    "Warps diverged:       1\n"
    "Events in trace A:    2\n"
    "Events in trace B:    2\n"
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
    "    → Threads at site 0x00000010 took different branch\n"
    "\n";

TEST(CliSessionText, IdenticalCompressedSessionsPassWithOneSectionPerLaunch) {
  const fs::path root = scratch_dir();
  fs::create_directories(root / "sa");
  fs::create_directories(root / "sb");
  one_warp(1).write(root / "sa" / "k0.trace", 1);
  one_warp(1).write(root / "sa" / "k1.trace");
  one_warp(1).write(root / "sb" / "k0.trace", 3);
  one_warp(1).write(root / "sb" / "k1.trace", 1);
  write_manifest(root / "sa", {{"scan", 0, "k0.trace"}, {"scan", 1, "k1.trace"}});
  // Session B lists the launches the other way round; pairing follows session A's order.
  write_manifest(root / "sb", {{"scan", 1, "k1.trace"}, {"scan", 0, "k0.trace"}});

  const ProcessResult run = run_in(root, {"--session", "sa", "sb"});
  EXPECT_EQ(run.out, "--- Kernel: scan (launch 0) ---\n" + IDENTICAL_SECTION +
                         "--- Kernel: scan (launch 1) ---\n" + IDENTICAL_SECTION);
  EXPECT_EQ(run.err,
            "Loading sessions...\n"
            "Session A: 2 launches, Session B: 2 launches\n\n"
            "Comparing 1 warps...\n"
            "Comparing 1 warps...\n");
  EXPECT_EQ(run.status, 0);
}

TEST(CliSessionText, MixedSessionsShowEveryOutcomeInItsPlace) {
  const fs::path root = scratch_dir();
  const fs::path a = root / "sa";
  const fs::path b = root / "sb";
  fs::create_directories(a);
  fs::create_directories(b);
  one_warp(1).write(a / "alpha.trace");
  one_warp(1).write(b / "alpha.trace");
  // Trace A of the diverging pair records value history, which session mode never shows.
  TraceBuilder beta_a = one_warp(1);
  beta_a.history(8, {{0, HistorySpec{{}, {history_entry(0x10, 7, 1)}}}});
  beta_a.write(a / "beta.trace");
  one_warp(0).write(b / "beta.trace");
  one_warp(1).write(b / "beta1.trace");
  one_warp(1).write(a / "gamma.trace");
  one_warp(1).kernel("other", 0x5678).write(b / "gamma.trace");
  one_warp(1).write(b / "delta.trace");

  write_manifest(a, {
                        {"alpha", 0, "alpha.trace"},
                        {"beta", 0, "beta.trace", "[2,1,1]"},
                        {"beta", 1, "missing.trace"},
                        {"gamma", 0, "gamma.trace"},
                        {"delta", 2, "delta.trace"},
                    });
  write_manifest(b, {
                        {"delta", 3, "delta.trace"},
                        {"beta", 1, "beta1.trace"},
                        {"alpha", 0, "alpha.trace"},
                        {"Beta", 0, "beta.trace"},
                        {"beta", 0, "beta.trace", "[1,1,1]", "[64,1,1]"},
                        {"gamma", 0, "gamma.trace"},
                    });

  const std::string out = "--- Kernel: alpha (launch 0) ---\n" + IDENTICAL_SECTION +
                          "--- Kernel: beta (launch 0) ---\n" + BRANCH_SECTION +
                          "--- Kernel: beta (launch 1) ---\n"
                          "  ERROR: Failed to open trace file: sa/missing.trace\n"
                          "\n"
                          "--- Kernel: gamma (launch 0) ---\n"
                          "  ERROR: Kernel mismatch: 'test_kernel' (0x0000000000001234) vs 'other' "
                          "(0x0000000000005678)\n"
                          "Hint: use --force to compare different kernel variants\n"
                          "\n"
                          "Warning: Unmatched launch in session A (not in B): delta (launch 2)\n"
                          "Warning: Unmatched launch in session B (not in A): delta (launch 3)\n"
                          "Warning: Unmatched launch in session B (not in A): Beta (launch 0)\n";
  const std::string err =
      "Loading sessions...\n"
      "Session A: 5 launches, Session B: 6 launches\n\n"
      "Comparing 1 warps...\n"
      "Warning: Grid dim mismatch for beta (launch 0): [2, 1, 1] vs [1, 1, 1]\n"
      "Warning: Block dim mismatch for beta (launch 0): [32, 1, 1] vs [64, 1, 1]\n"
      "Comparing 1 warps...\n";

  // Options that only pair mode reads change nothing, a missing site map included.
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{}, {"--classify", "--history", "--map", "nowhere.json", "-v"}}) {
    SCOPED_TRACE(::testing::PrintToString(options));
    std::vector<std::string> args = options;
    args.insert(args.end(), {"--session", "sa", "sb"});
    const ProcessResult run = run_in(root, args);
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, err);
    EXPECT_EQ(run.status, 1);
  }
}

TEST(CliSessionText, AnyUnmatchedFailedOrDivergingLaunchFailsTheRun) {
  struct Case {
    std::string name;
    std::vector<Launch> a;
    std::vector<Launch> b;
    std::string out;
  };
  const Case cases[] = {
      {"unmatched in A",
       {{"k", 0, "same.trace"}, {"k", 1, "same.trace"}},
       {{"k", 0, "same.trace"}},
       "--- Kernel: k (launch 0) ---\n" + IDENTICAL_SECTION +
           "Warning: Unmatched launch in session A (not in B): k (launch 1)\n"},
      {"unmatched in B",
       {{"k", 0, "same.trace"}},
       {{"k", 0, "same.trace"}, {"K", 0, "same.trace"}},
       "--- Kernel: k (launch 0) ---\n" + IDENTICAL_SECTION +
           "Warning: Unmatched launch in session B (not in A): K (launch 0)\n"},
      {"failed pair",
       {{"k", 0, "same.trace"}},
       {{"k", 0, "gone.trace"}},
       "--- Kernel: k (launch 0) ---\n"
       "  ERROR: Failed to open trace file: sb/gone.trace\n\n"},
      {"diverging pair",
       {{"k", 0, "same.trace"}},
       {{"k", 0, "other.trace"}},
       "--- Kernel: k (launch 0) ---\n" + BRANCH_SECTION},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path root = scratch_dir();
    for (const char* side : {"sa", "sb"}) {
      fs::create_directories(root / side);
      one_warp(1).write(root / side / "same.trace");
      one_warp(0).write(root / side / "other.trace");
    }
    write_manifest(root / "sa", c.a);
    write_manifest(root / "sb", c.b);
    const ProcessResult run = run_in(root, {"--session", "sa", "sb"});
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err.find("Warning"), std::string::npos) << run.err;
    EXPECT_EQ(run.status, 1);
  }
}

}  // namespace
}  // namespace vemo::testing
