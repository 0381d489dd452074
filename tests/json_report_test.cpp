#include "output/json_report.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "output_fixtures.hpp"

namespace vemo {
namespace {

using testing::divergence;
using testing::location;
using testing::map_with;

const DivergenceKind BRANCH{BranchKind{1, 0}};
const DivergenceKind MASK{ActiveMaskKind{0xffffffff, 0x0000ffff}};
const DivergenceKind PATH{PathKind{0x10, 0x20}};

DiffResult result_with(std::vector<Divergence> divergences) {
  DiffResult result;
  result.divergences = std::move(divergences);
  result.total_warps = 4;
  result.warps_compared = 4;
  result.warps_diverged = 3;
  result.total_events_a = 120;
  result.total_events_b = 118;
  return result;
}

// The document a report writer formats into a string sink.
template <class Report>
std::string document(void (*write)(OutputSink&, const Report&), const Report& report) {
  std::string text;
  OutputSink out(text);
  write(out, report);
  return text;
}

std::string json_text(const JsonReport& report) {
  return document(write_json_report, report);
}

std::string json_text(const SessionJsonReport& report) {
  return document(write_session_json, report);
}

TEST(JsonReport, IdenticalPairDocument) {
  DiffResult result = result_with({});
  result.warps_diverged = 0;
  const JsonReport report = build_json_report(result, nullptr, std::nullopt, false);
  EXPECT_EQ(json_text(report), R"json({
  "status": "identical",
  "total_divergences": 0,
  "counted_divergences": 0,
  "warps_compared": 4,
  "warps_diverged": 0,
  "total_events_a": 120,
  "total_events_b": 118,
  "divergence_breakdown": {},
  "divergences": [],
  "threshold": 0,
  "passed": true
})json");
}

// The list is shorter than warps_diverged says, as after a filter: the totals stay.
TEST(JsonReport, DivergedPairDocumentWithSiteMap) {
  const DiffResult result = result_with({
      divergence(2, 7, 0x1a, PATH),
      divergence(0, 3, 0x2b, BRANCH),
  });
  const SiteMap map = map_with({location(0x1a, "k.cu", "step", 12, 5)});
  const JsonReport report = build_json_report(result, &map, std::nullopt, false);
  EXPECT_EQ(json_text(report), R"json({
  "status": "diverged",
  "total_divergences": 2,
  "counted_divergences": 2,
  "warps_compared": 4,
  "warps_diverged": 3,
  "total_events_a": 120,
  "total_events_b": 118,
  "divergence_breakdown": {
    "Branch": 1,
    "Path": 1
  },
  "divergences": [
    {
      "warp_idx": 2,
      "event_idx": 7,
      "site_id": "0x0000001a",
      "kind": "Path",
      "source_location": "k.cu:step:12:5"
    },
    {
      "warp_idx": 0,
      "event_idx": 3,
      "site_id": "0x0000002b",
      "kind": "Branch"
    }
  ],
  "threshold": 0,
  "passed": false
})json");
}

TEST(JsonReport, EmptySiteMapGivesNoLocation) {
  const SiteMap empty;
  const JsonDivergence entry = json_divergence(divergence(1, 2, 3, BRANCH), &empty);
  EXPECT_FALSE(entry.source_location.has_value());
  EXPECT_EQ(entry.site_id, "0x00000003");
  EXPECT_EQ(entry.kind, "Branch");
}

TEST(JsonReport, Verdicts) {
  struct Case {
    const char* name;
    std::vector<DivergenceKind> kinds;
    std::optional<std::uint64_t> max_allowed;
    bool ignore_active_mask;
    std::uint64_t counted;
    bool passed;
  };
  const std::vector<Case> cases = {
      {"five within five", {BRANCH, BRANCH, MASK, PATH, PATH}, 5, false, 5, true},
      {"six over five", {BRANCH, BRANCH, MASK, PATH, PATH, BRANCH}, 5, false, 6, false},
      {"one without threshold", {BRANCH}, std::nullopt, false, 1, false},
      {"masks ignored", {MASK, MASK, MASK}, std::nullopt, true, 0, true},
      {"masks counted", {MASK, MASK, MASK}, 2, false, 3, false},
      {"only masks skipped", {MASK, BRANCH, MASK}, std::nullopt, true, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Divergence> divergences;
    for (const DivergenceKind& kind : c.kinds) divergences.push_back(divergence(0, 0, 1, kind));
    const JsonReport report =
        build_json_report(result_with(divergences), nullptr, c.max_allowed, c.ignore_active_mask);
    EXPECT_EQ(report.status, "diverged");
    EXPECT_EQ(report.total_divergences, c.kinds.size());
    EXPECT_EQ(report.counted_divergences, c.counted);
    EXPECT_EQ(report.threshold, c.max_allowed.value_or(0));
    EXPECT_EQ(report.passed, c.passed);
  }
}

TEST(JsonReport, IgnoredMasksStayInBreakdown) {
  const JsonReport report = build_json_report(
      result_with({divergence(0, 0, 1, MASK), divergence(1, 0, 1, MASK)}), nullptr, 0, true);
  const std::vector<std::pair<std::string, std::uint64_t>> expected = {{"ActiveMask", 2}};
  EXPECT_EQ(report.divergence_breakdown, expected);
  EXPECT_EQ(report.counted_divergences, 0u);
  EXPECT_TRUE(report.passed);
}

TEST(JsonReport, CrossGpuIsTheLastMember) {
  DiffResult result = result_with({});
  result.cross_gpu = CrossGpuInfo{
      .arch_a = GpuArch::from_cuda_arch(0),
      .arch_b = GpuArch::from_cuda_arch(4352),
      .warp_size_a = 32,
      .warp_size_b = 64,
      .grid_a = {4, 1, 1},
      .grid_b = {2, 1, 1},
      .block_a = {128, 1, 1},
      .block_b = {256, 2, 1},
  };
  const std::string text = json_text(build_json_report(result, nullptr, std::nullopt, false));
  const std::string tail = R"json(
  "passed": true,
  "cross_gpu": {
    "arch_a": "Unknown(0)",
    "arch_b": "AMD gfx4352",
    "warp_size_a": 32,
    "warp_size_b": 64,
    "grid_a": [
      4,
      1,
      1
    ],
    "grid_b": [
      2,
      1,
      1
    ],
    "block_a": [
      128,
      1,
      1
    ],
    "block_b": [
      256,
      2,
      1
    ]
  }
})json";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

KernelResult pair_result(std::string kernel, std::uint32_t launch, std::size_t divergences) {
  std::vector<Divergence> list(divergences, divergence(0, 0, 1, MASK));
  return KernelResult{.kernel = std::move(kernel), .launch = launch, .result = result_with(list)};
}

KernelResult failed_pair(std::string kernel, std::uint32_t launch, Error error) {
  return KernelResult{
      .kernel = std::move(kernel), .launch = launch, .result = std::unexpected(std::move(error))};
}

TEST(SessionJsonReport, DocumentWithFailedAndUnmatchedLaunches) {
  SessionDiff diff;
  diff.kernel_results.push_back(pair_result("scan", 0, 0));
  diff.kernel_results.push_back(pair_result("reduce", 1, 2));
  diff.kernel_results.push_back(failed_pair(
      "sort", 0,
      Error("No such file or directory (os error 2)").context("Failed to open trace: b.bin")));
  diff.unmatched_a = {"scan (launch 1)"};
  diff.unmatched_b = {"fill (launch 0)", "fill (launch 1)"};
  const SessionJsonReport report = build_session_report(diff, 100);
  EXPECT_EQ(json_text(report), R"json({
  "status": "diverged",
  "kernel_results": [
    {
      "kernel": "scan",
      "launch": 0,
      "status": "identical",
      "divergences": 0
    },
    {
      "kernel": "reduce",
      "launch": 1,
      "status": "diverged",
      "divergences": 2
    },
    {
      "kernel": "sort",
      "launch": 0,
      "status": "error",
      "divergences": 0,
      "error": "Failed to open trace: b.bin"
    }
  ],
  "unmatched_a": [
    "scan (launch 1)"
  ],
  "unmatched_b": [
    "fill (launch 0)",
    "fill (launch 1)"
  ],
  "threshold": 100,
  "passed": false
})json");
}

TEST(SessionJsonReport, EmptySessionsDocument) {
  EXPECT_EQ(json_text(build_session_report(SessionDiff{}, std::nullopt)), R"json({
  "status": "identical",
  "kernel_results": [],
  "unmatched_a": [],
  "unmatched_b": [],
  "threshold": 0,
  "passed": true
})json");
}

TEST(SessionJsonReport, Verdicts) {
  struct Case {
    const char* name;
    SessionDiff diff;
    std::optional<std::uint64_t> max_allowed;
    const char* status;
    bool passed;
  };
  std::vector<Case> cases;
  {
    SessionDiff diff;
    diff.kernel_results.push_back(pair_result("k", 0, 3));
    diff.kernel_results.push_back(pair_result("k", 1, 4));
    cases.push_back({"seven within seven", std::move(diff), 7, "diverged", true});
  }
  {
    SessionDiff diff;
    diff.kernel_results.push_back(pair_result("k", 0, 3));
    diff.kernel_results.push_back(pair_result("k", 1, 4));
    cases.push_back({"seven over six (masks count)", std::move(diff), 6, "diverged", false});
  }
  {
    SessionDiff diff;
    diff.kernel_results.push_back(pair_result("k", 0, 0));
    diff.unmatched_b = {"extra (launch 0)"};
    cases.push_back({"only in B", std::move(diff), 10, "diverged", false});
  }
  {
    SessionDiff diff;
    diff.kernel_results.push_back(failed_pair("k", 0, Error("bad trace")));
    cases.push_back({"failed pair", std::move(diff), 10, "diverged", false});
  }
  {
    SessionDiff diff;
    diff.kernel_results.push_back(pair_result("k", 0, 0));
    cases.push_back({"all identical", std::move(diff), std::nullopt, "identical", true});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SessionJsonReport report = build_session_report(c.diff, c.max_allowed);
    EXPECT_EQ(report.status, c.status);
    EXPECT_EQ(report.passed, c.passed);
    EXPECT_EQ(report.threshold, c.max_allowed.value_or(0));
  }
}

TEST(SessionJsonReport, KernelResultUpdatesTally) {
  SessionTally tally;
  session_kernel_result(pair_result("a", 0, 2), tally);
  session_kernel_result(pair_result("b", 0, 5), tally);
  EXPECT_EQ(tally.divergences, 7u);
  EXPECT_FALSE(tally.failed);
  const KernelResultEntry entry = session_kernel_result(failed_pair("c", 3, Error("x")), tally);
  EXPECT_TRUE(tally.failed);
  EXPECT_EQ(tally.divergences, 7u);
  EXPECT_EQ(entry.status, "error");
  EXPECT_EQ(entry.error, "x");
}

TEST(JsonEscaping, ControlCharactersQuotesAndNonAscii) {
  SessionDiff diff;
  // A literal backslash followed by "uABCD" must keep its upper-case letters.
  diff.kernel_results.push_back(failed_pair(
      std::string("q\"b\\s\\uABCD"), 0,
      Error(std::string("line1\nline2\ttab\r\b\f\x01\x0b\x1f\x7f") + std::string(1, '\0') + "é✓")));
  diff.unmatched_a = {"kernel_\xce\xb1 (launch 0)"};
  const std::string text = json_text(build_session_report(diff, std::nullopt));
  EXPECT_NE(text.find(R"json("kernel": "q\"b\\s\\uABCD",)json"), std::string::npos) << text;
  EXPECT_NE(
      text.find("\"error\": \"line1\\nline2\\ttab\\r\\b\\f\\u0001\\u000b\\u001f\x7f\\u0000é✓\""),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("\"kernel_\xce\xb1 (launch 0)\""), std::string::npos) << text;
}

}  // namespace
}  // namespace vemo
