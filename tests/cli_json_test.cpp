// End-to-end: the pair and session JSON documents and their exit statuses.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "output_fixtures.hpp"
#include "support/process.hpp"

namespace vemo::testing {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> concat(std::vector<std::string> args,
                                const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

class CliJsonPair : public ::testing::Test {
 protected:
  fs::path dir = scratch_dir();
  std::string a = write_trace(dir / "a.bin", baseline_warps());
  std::string b = write_trace(dir / "b.bin", diverged_warps());
};

TEST_F(CliJsonPair, IdenticalTraces) {
  const ProcessResult run = run_vemo({"--json", a, a});
  EXPECT_EQ(run.out, R"json({
  "status": "identical",
  "total_divergences": 0,
  "counted_divergences": 0,
  "warps_compared": 2,
  "warps_diverged": 0,
  "total_events_a": 3,
  "total_events_b": 3,
  "divergence_breakdown": {},
  "divergences": [],
  "threshold": 0,
  "passed": true
}
)json");
  EXPECT_EQ(run.err, "Comparing 2 warps...\n");
  EXPECT_EQ(run.status, 0);
}

TEST_F(CliJsonPair, DivergedTracesWithSiteMap) {
  const std::string map = dir / "sites.json";
  write_file(map,
             R"json([{"site_id": 26, "filename": "kernel.cu", "function": "scale", "line": 12,
                    "column": 5, "event_type": 0}])json");
  const ProcessResult run = run_vemo({"--json", "--map", map, a, b});
  EXPECT_EQ(run.out, R"json({
  "status": "diverged",
  "total_divergences": 2,
  "counted_divergences": 2,
  "warps_compared": 2,
  "warps_diverged": 1,
  "total_events_a": 3,
  "total_events_b": 3,
  "divergence_breakdown": {
    "Branch": 1,
    "ActiveMask": 1
  },
  "divergences": [
    {
      "warp_idx": 0,
      "event_idx": 0,
      "site_id": "0x0000001a",
      "kind": "Branch",
      "source_location": "kernel.cu:scale:12:5"
    },
    {
      "warp_idx": 0,
      "event_idx": 1,
      "site_id": "0x0000002b",
      "kind": "ActiveMask"
    }
  ],
  "threshold": 0,
  "passed": false
}
)json");
  EXPECT_EQ(run.err, "Comparing 2 warps...\n");
  EXPECT_EQ(run.status, 1);
}

TEST_F(CliJsonPair, Verdicts) {
  struct Case {
    std::vector<std::string> options;
    std::string counts;  // total and counted divergences as the document shows them
    bool passed;
  };
  const std::vector<Case> cases = {
      {{}, "\"total_divergences\": 2,\n  \"counted_divergences\": 2,", false},
      {{"--max-allowed-divergences", "2"}, "\"counted_divergences\": 2,", true},
      {{"--max-allowed-divergences", "1"}, "\"counted_divergences\": 2,", false},
      {{"--max-allowed-divergences", "1", "--ignore-active-mask"},
       "\"counted_divergences\": 1,",
       true},
      // Filtered down to the mask divergence, which is not counted; warps_diverged stays.
      {{"--filter-kind", "activemask", "--ignore-active-mask"},
       "\"status\": \"diverged\",\n  \"total_divergences\": 1,\n  \"counted_divergences\": 0,\n"
       "  \"warps_compared\": 2,\n  \"warps_diverged\": 1,",
       true},
  };
  for (const Case& c : cases) {
    const ProcessResult run = run_vemo(concat(concat({"--json"}, c.options), {a, b}));
    SCOPED_TRACE(run.out);
    EXPECT_NE(run.out.find(c.counts), std::string::npos);
    const std::string tail = c.passed ? "\"passed\": true\n}\n" : "\"passed\": false\n}\n";
    EXPECT_TRUE(run.out.ends_with(tail));
    EXPECT_EQ(run.status, c.passed ? 0 : 1);
  }
}

TEST(CliJson, CrossGpuDocumentEndsWithArchitectures) {
  const fs::path dir = scratch_dir();
  const std::string a = write_trace(dir / "a.bin", {{event(1)}, {event(1)}}, {.cuda_arch = 86});
  const std::string b = write_trace(dir / "b.bin", {{event(1), event(1)}}, {.cuda_arch = 4352});
  const ProcessResult run = run_vemo({"--json", "--cross-gpu", a, b});
  EXPECT_EQ(run.out, R"json({
  "status": "identical",
  "total_divergences": 0,
  "counted_divergences": 0,
  "warps_compared": 1,
  "warps_diverged": 0,
  "total_events_a": 2,
  "total_events_b": 2,
  "divergence_breakdown": {},
  "divergences": [],
  "threshold": 0,
  "passed": true,
  "cross_gpu": {
    "arch_a": "NVIDIA SM_86",
    "arch_b": "AMD gfx4352",
    "warp_size_a": 32,
    "warp_size_b": 64,
    "grid_a": [
      1,
      1,
      1
    ],
    "grid_b": [
      1,
      1,
      1
    ],
    "block_a": [
      32,
      1,
      1
    ],
    "block_b": [
      32,
      1,
      1
    ]
  }
}
)json");
  EXPECT_EQ(run.err, "Comparing 1 warps...\n");
  EXPECT_EQ(run.status, 0);
}

struct Launch {
  std::string kernel_json;  // the kernel name as a JSON string literal
  std::uint32_t launch;
  std::string file;
};

fs::path write_session(const fs::path& dir, const std::vector<Launch>& launches) {
  fs::create_directories(dir);
  std::string manifest = "[";
  for (const Launch& l : launches) {
    if (manifest.size() > 1) manifest += ",\n";
    manifest += "{\"launch\": " + std::to_string(l.launch) + ", \"kernel\": " + l.kernel_json +
                ", \"file\": \"" + l.file + "\", \"grid\": [1, 1, 1], \"block\": [32, 1, 1]}";
  }
  write_file(dir / "session.json", manifest + "]");
  return dir;
}

TEST(CliJsonSession, FailedPairAndUnmatchedLaunches) {
  const fs::path root = scratch_dir();
  write_trace(root / "a" / "t.bin", baseline_warps());
  const std::string session_a = write_session(
      root / "a",
      {{"\"scale\"", 0, "t.bin"}, {"\"scale\"", 1, "t.bin"}, {R"("only \"a\"")", 0, "t.bin"}});
  write_trace(root / "b" / "t.bin", baseline_warps());
  const std::string session_b = write_session(
      root / "b",
      {{"\"scale\"", 0, "t.bin"}, {"\"scale\"", 1, "missing.bin"}, {"\"only_b\"", 2, "t.bin"}});
  const ProcessResult run =
      run_vemo({"--session", "--json", "--max-allowed-divergences", "5", session_a, session_b});
  EXPECT_EQ(run.out, R"json({
  "status": "diverged",
  "kernel_results": [
    {
      "kernel": "scale",
      "launch": 0,
      "status": "identical",
      "divergences": 0
    },
    {
      "kernel": "scale",
      "launch": 1,
      "status": "error",
      "divergences": 0,
      "error": "Failed to open trace file: )json" +
                         session_b + R"json(/missing.bin"
    }
  ],
  "unmatched_a": [
    "only \"a\" (launch 0)"
  ],
  "unmatched_b": [
    "only_b (launch 2)"
  ],
  "threshold": 5,
  "passed": false
}
)json");
  EXPECT_EQ(run.err, "Comparing 2 warps...\n");
  EXPECT_EQ(run.status, 1);
}

TEST(CliJsonSession, ThresholdOverAllPairsCountsMasks) {
  const fs::path root = scratch_dir();
  write_trace(root / "a" / "t3.bin", mask_warps(3, 0xffffffff));
  write_trace(root / "a" / "t4.bin", mask_warps(4, 0xffffffff));
  write_trace(root / "b" / "t3.bin", mask_warps(3, 0x1));
  write_trace(root / "b" / "t4.bin", mask_warps(4, 0x1));
  const std::vector<Launch> launches = {{"\"k\"", 0, "t3.bin"}, {"\"k\"", 1, "t4.bin"}};
  const std::string session_a = write_session(root / "a", launches);
  const std::string session_b = write_session(root / "b", launches);

  struct Case {
    std::vector<std::string> options;
    bool passed;
  };
  const std::vector<Case> cases = {
      {{"--max-allowed-divergences", "7"}, true},
      {{"--max-allowed-divergences", "6", "--ignore-active-mask"}, false},
  };
  for (const Case& c : cases) {
    const ProcessResult run =
        run_vemo(concat(concat({"--session", "--json"}, c.options), {session_a, session_b}));
    SCOPED_TRACE(run.out);
    EXPECT_TRUE(run.out.starts_with("{\n  \"status\": \"diverged\",\n"));
    EXPECT_NE(run.out.find("\"launch\": 1,\n      \"status\": \"diverged\",\n"
                           "      \"divergences\": 4\n"),
              std::string::npos);
    EXPECT_TRUE(run.out.ends_with(c.passed ? "\"passed\": true\n}\n" : "\"passed\": false\n}\n"));
    EXPECT_EQ(run.err, "Comparing 1 warps...\nComparing 1 warps...\n");
    EXPECT_EQ(run.status, c.passed ? 0 : 1);
  }
}

TEST(CliJsonSession, EmptyManifests) {
  const fs::path root = scratch_dir();
  const std::string session_a = write_session(root / "a", {});
  const std::string session_b = write_session(root / "b", {});
  const ProcessResult run = run_vemo({"--session", "--json", session_a, session_b});
  EXPECT_EQ(run.out, R"json({
  "status": "identical",
  "kernel_results": [],
  "unmatched_a": [],
  "unmatched_b": [],
  "threshold": 0,
  "passed": true
}
)json");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
}

}  // namespace
}  // namespace vemo::testing
