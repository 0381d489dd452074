// End-to-end: the CSV and Chrome-trace files and the export errors.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "output_fixtures.hpp"
#include "support/process.hpp"

namespace vemo::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view CSV_HEADER = "warp_idx,event_idx,site_id,kind,details,source_location\n";
constexpr std::string_view BRANCH_ROW = "0,0,0x0000001a,Branch,dir_a=1 dir_b=0,";
constexpr std::string_view MASK_ROW =
    "0,1,0x0000002b,ActiveMask,mask_a=0xffffffff mask_b=0x0000ffff,\n";

class CliExport : public ::testing::Test {
 protected:
  fs::path dir = scratch_dir();
  std::string a = write_trace(dir / "a.bin", baseline_warps(), {.warps_per_block = 2});
  std::string b = write_trace(dir / "b.bin", diverged_warps(), {.warps_per_block = 2});
  std::string csv = dir / "out.csv";
  std::string chrome = dir / "out.json";

  std::string write_map() {
    const std::string map = dir / "sites.json";
    write_file(map,
               R"json([{"site_id": 26, "filename": "kernel.cu", "function": "scale<int, 4>",
                      "line": 12, "column": 5, "event_type": 0}])json");
    return map;
  }
};

// The flame-graph note's second line names two viewers; only its shape is fixed.
void expect_viewer_hint(const std::string& rest) {
  EXPECT_TRUE(rest.starts_with("Open in ")) << rest;
  EXPECT_NE(rest.find(" or "), std::string::npos) << rest;
  EXPECT_TRUE(rest.ends_with("\n")) << rest;
  EXPECT_EQ(rest.find('\n'), rest.size() - 1) << rest;
}

TEST_F(CliExport, BothFilesWithSiteMap) {
  const ProcessResult run =
      run_vemo({"--map", write_map(), "--csv", csv, "--export-flamegraph", chrome, a, b});
  EXPECT_EQ(run.status, 1);
  const std::string expected_err =
      "Loading traces...\nLoaded 1 site mappings\n\n"
      "Comparing 2 warps...\nCSV exported to: " +
      csv + "\nFlamegraph exported to: " + chrome + "\n";
  ASSERT_TRUE(run.err.starts_with(expected_err)) << run.err;
  expect_viewer_hint(run.err.substr(expected_err.size()));
  EXPECT_FALSE(run.out.empty());

  EXPECT_EQ(read_file(csv), std::string(CSV_HEADER) + std::string(BRANCH_ROW) +
                                "\"kernel.cu:scale<int, 4>:12:5\"\n" + std::string(MASK_ROW));
  EXPECT_EQ(read_file(chrome), R"json({
  "traceEvents": [
    {
      "name": "process_name",
      "cat": "__metadata",
      "ph": "M",
      "ts": 0.0,
      "pid": 0,
      "tid": 0,
      "args": {
        "name": "test_kernel"
      }
    },
    {
      "name": "kernel.cu:12 [Branch]",
      "cat": "Branch",
      "ph": "X",
      "ts": 0.0,
      "dur": 10.0,
      "pid": 0,
      "tid": 0,
      "args": {
        "event_idx": 0,
        "kind": "Branch",
        "site_id": "0x0000001a",
        "warp_idx": 0
      }
    },
    {
      "name": "0x0000002b [ActiveMask]",
      "cat": "ActiveMask",
      "ph": "X",
      "ts": 10.0,
      "dur": 10.0,
      "pid": 0,
      "tid": 0,
      "args": {
        "event_idx": 1,
        "kind": "ActiveMask",
        "site_id": "0x0000002b",
        "warp_idx": 0
      }
    },
    {
      "name": "divergence_count",
      "cat": "heatmap",
      "ph": "C",
      "ts": 120.0,
      "pid": 0,
      "tid": 0,
      "args": {
        "kernel.cu:12": 1
      }
    },
    {
      "name": "divergence_count",
      "cat": "heatmap",
      "ph": "C",
      "ts": 121.0,
      "pid": 0,
      "tid": 0,
      "args": {
        "0x0000002b": 1
      }
    }
  ]
})json");
}

TEST_F(CliExport, JsonModeKeepsOnlyTheFlamegraphNote) {
  const ProcessResult run = run_vemo({"--json", "--csv", csv, "--export-flamegraph", chrome, a, b});
  EXPECT_EQ(run.status, 1);
  const std::string expected_err = "Comparing 2 warps...\nFlamegraph exported to: " + chrome + "\n";
  ASSERT_TRUE(run.err.starts_with(expected_err)) << run.err;
  expect_viewer_hint(run.err.substr(expected_err.size()));
  EXPECT_TRUE(run.out.starts_with("{\n  \"status\": \"diverged\",\n")) << run.out;
  EXPECT_EQ(read_file(csv),
            std::string(CSV_HEADER) + std::string(BRANCH_ROW) + "\n" + std::string(MASK_ROW));
}

TEST_F(CliExport, FiltersApplyBeforeTheCsv) {
  struct Case {
    std::vector<std::string> filter;
    std::string rows;
    int status;
  };
  const std::vector<Case> cases = {
      {{"--filter-kind", "BRANCH"}, std::string(BRANCH_ROW) + "\n", 1},
      {{"--filter-sites", "0x2b"}, std::string(MASK_ROW), 1},
      {{"--warps", "1"}, "", 0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.filter;
    args.insert(args.end(), {"--csv", csv, a, b});
    const ProcessResult run = run_vemo(args);
    SCOPED_TRACE(c.filter.front());
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.err.find("CSV exported to: " + csv + "\n"), std::string::npos) << run.err;
    EXPECT_EQ(read_file(csv), std::string(CSV_HEADER) + c.rows);
  }
}

TEST_F(CliExport, SamePathEndsWithTheChromeTrace) {
  const ProcessResult run = run_vemo({"--csv", csv, "--export-flamegraph", csv, a, b});
  EXPECT_EQ(run.status, 1);
  const std::string text = read_file(csv);
  EXPECT_TRUE(text.starts_with("{\n  \"traceEvents\": [\n")) << text;
  EXPECT_TRUE(text.ends_with("\n  ]\n}")) << text;
}

TEST_F(CliExport, ErrorsAreTheSystemsAlone) {
  struct Case {
    std::vector<std::string> options;
    std::string err_tail;  // after "Loading traces...\nComparing 2 warps...\n"
    bool csv_written;
  };
  const std::string missing = (dir / "missing" / "out").string();
  const std::vector<Case> cases = {
      {{"--csv", missing}, "Error: No such file or directory (os error 2)\n", false},
      {{"--csv", dir.string()}, "Error: Is a directory (os error 21)\n", false},
      {{"--export-flamegraph", dir.string()}, "Error: Is a directory (os error 21)\n", false},
      {{"--csv", csv, "--export-flamegraph", missing},
       "CSV exported to: " + csv + "\nError: No such file or directory (os error 2)\n",
       true},
  };
  for (const Case& c : cases) {
    fs::remove(csv);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {a, b});
    const ProcessResult run = run_vemo(args);
    SCOPED_TRACE(c.err_tail);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Loading traces...\nComparing 2 warps...\n" + c.err_tail);
    EXPECT_EQ(fs::exists(csv), c.csv_written);
  }
}

}  // namespace
}  // namespace vemo::testing
