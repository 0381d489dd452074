// The command line, the main flow, its exit statuses and the error report, through the real
// binary.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

namespace fs = std::filesystem;

const std::string USAGE_TAIL =
    "\n\nUsage: vemo-diff [OPTIONS] <TRACE_A> <TRACE_B>\n\nFor more information, try '--help'.\n";

ProcessOptions with_stdout_closed() {
  ProcessOptions options;
  options.close_stdout = true;
  return options;
}

std::string usage_error(const std::string& message) {
  return "error: " + message + USAGE_TAIL;
}

// One warp: a branch at site 0x10 going `direction`, then an event at site `second_site`.
TraceBuilder one_warp(std::uint8_t direction, std::uint32_t second_site = 0x20) {
  TraceBuilder builder;
  builder.shape(1, 4).warp(0, {event(0x10, 0, direction), event(second_site)});
  return builder;
}

// A scratch directory the binary runs in, so that paths in messages stay short.
class Workspace {
 public:
  Workspace() : dir_(scratch_dir()) {}

  const fs::path& dir() const { return dir_; }

  std::string trace(const std::string& name, const TraceBuilder& builder, int frames = 0) const {
    builder.write(dir_ / name, frames);
    return name;
  }
  std::string file(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    write_file(dir_ / name, bytes);
    return name;
  }
  std::string file(const std::string& name, std::string_view text) const {
    write_file(dir_ / name, text);
    return name;
  }

  ProcessResult run(const std::vector<std::string>& args, ProcessOptions options = {}) const {
    options.cwd = dir_.string();
    return run_vemo(args, options);
  }

 private:
  fs::path dir_;
};

// ---- help, version, usage errors ----

TEST(CliArgs, HelpAndVersionGoToStandardOutput) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help"}, {"-h"}, {"a", "-h", "--max-shown=x"}}) {
    const ProcessResult r = run_vemo(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(
        r.out.starts_with("GPU Differential Debugger - Compare CUDA execution traces\n\n"
                          "Usage: vemo-diff [OPTIONS] <TRACE_A> <TRACE_B>\n"))
        << r.out;
  }
  for (const std::string flag : {"-V", "--version"}) {
    ProcessOptions renamed;
    renamed.argv0 = "/opt/bin/renamed";
    const ProcessResult r = run_vemo({flag}, renamed);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "vemo-diff 0.1.0\n");
    EXPECT_EQ(r.err, "");
  }
}

TEST(CliArgs, UsageErrorsEndWithStatus2) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"a.trace"}, "the following required arguments were not provided:\n  <TRACE_B>"},
      {{"a", "b", "c"}, "unexpected argument 'c' found"},
      {{"--bogus", "a", "b"}, "unexpected argument '--bogus' found"},
      {{"a", "b", "--csv"}, "a value is required for '--csv <PATH>' but none was supplied"},
      {{"--csv", "--json", "a", "b"},
       "a value is required for '--csv <PATH>' but none was supplied"},
      {{"-v", "a", "b", "-v"}, "the argument '--verbose' cannot be used multiple times"},
      {{"--csv", "x.csv", "--csv", "y.csv", "a", "b"},
       "the argument '--csv <PATH>' cannot be used multiple times"},
      {{"--verbose=yes", "a", "b"}, "the flag '--verbose' takes no value, but 'yes' was given"},
      {{"--map", "", "a", "b"}, "a value is required for '--map <SITE_MAP>' but none was supplied"},
      {{"-n", "\xff", "a", "b"},
       "invalid value '\xEF\xBF\xBD' for '--max-shown <MAX_SHOWN>': invalid UTF-8"},
      {{"--max-shown=-1", "a", "b"},
       "invalid value '-1' for '--max-shown <MAX_SHOWN>': invalid digit found in string"},
      {{"--max-shown=", "a", "b"},
       "invalid value '' for '--max-shown <MAX_SHOWN>': cannot parse integer from empty string"},
      {{"--lookahead", " 3", "a", "b"},
       "invalid value ' 3' for '--lookahead <LOOKAHEAD>': invalid digit found in string"},
      {{"-l", "3x", "a", "b"},
       "invalid value '3x' for '--limit <MAX_DIVERGENCES>': invalid digit found in string"},
      {{"--dump-a", "18446744073709551616", "a", "b"},
       "invalid value '18446744073709551616' for '--dump-a <DUMP_A>': number too large to fit in "
       "target type"},
  };
  for (const Case& c : cases) {
    const ProcessResult r = run_vemo(c.args);
    EXPECT_EQ(r.status, 2) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage_error(c.message));
  }
}

TEST(CliArgs, AcceptedCountsReachTheRun) {
  const Workspace ws;
  const std::string a = ws.trace("a.trace", one_warp(1));
  for (const std::string count : {"+7", "007"}) {
    const ProcessResult r = ws.run({"--dump-a", count, a, a});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n=== Events (first 7 events) ===\n"), std::string::npos) << r.out;
  }
  const ProcessResult largest = ws.run({"--dump-b=18446744073709551615", a, a});
  EXPECT_EQ(largest.status, 0) << largest.err;
  EXPECT_NE(largest.out.find("(first 18446744073709551615 events)"), std::string::npos);
}

// ---- loading ----

TEST(CliLoad, LoaderFailuresAreReportedWithTheirCauses) {
  const Workspace ws;
  const std::string good = ws.trace("good.trace", one_warp(1));
  fs::create_directory(ws.dir() / "dir.trace");
  ws.file("empty.trace", std::vector<std::uint8_t>{});
  TraceBuilder bad_magic;
  bad_magic.header.magic = 0;
  ws.trace("magic.trace", bad_magic);
  TraceBuilder bad_version;
  bad_version.header.version = 2;
  ws.trace("version.trace", bad_version);
  TraceBuilder zstd_without_payload;
  zstd_without_payload.header.flags |= TRACE_FLAG_ZSTD;
  ws.trace("no-payload.trace", zstd_without_payload);
  std::vector<std::uint8_t> cut = one_warp(1).file_bytes(1);
  cut.resize(cut.size() - 3);
  ws.file("cut.trace", cut);
  std::vector<std::uint8_t> garbage = zstd_without_payload.file_bytes();
  for (char c : std::string_view("not a zstd frame"))
    garbage.push_back(static_cast<std::uint8_t>(c));
  ws.file("garbage.trace", garbage);
  std::vector<std::uint8_t> short_warps = TraceBuilder().shape(2, 4).file_bytes();
  short_warps.resize(319);
  ws.file("short.trace", short_warps);
  // A frame whose header promises 1 TiB and whose one block holds 4 bytes: the claim is not
  // believed, and the decoder names the fault without memory set aside for it.
  std::vector<std::uint8_t> huge = zstd_without_payload.file_bytes();
  const std::uint8_t frame[] = {
      0x28, 0xb5, 0x2f, 0xfd, 0xc0, 0x00,         // magic, 8-byte content size, window
      0,    0,    0,    0,    0,    0x01, 0,  0,  // content size 2^40
      0x21, 0,    0,    'a',  'b',  'c',  'd'};   // the last block: 4 raw bytes
  huge.insert(huge.end(), std::begin(frame), std::end(frame));
  ws.file("huge.trace", huge);

  struct Case {
    std::string path;
    std::string causes;  // everything after "Caused by:\n"
  };
  const Case cases[] = {
      {"missing.trace",
       "    0: Failed to open trace file: missing.trace\n"
       "    1: No such file or directory (os error 2)\n"},
      {"dir.trace",
       "    0: Failed to mmap trace file: dir.trace\n"
       "    1: No such device (os error 19)\n"},
      {"empty.trace", "    File too small: 0 bytes (expected at least 160)\n"},
      {"magic.trace",
       "    Invalid magic number: 0x0000000000000000 (expected 0x56454d4f00000000)\n"},
      {"version.trace", "    Unsupported version: 2 (expected 1)\n"},
      {"no-payload.trace",
       "    0: Failed to decompress zstd-compressed trace\n"
       "    1: incomplete frame\n"},
      {"cut.trace",
       "    0: Failed to decompress zstd-compressed trace\n"
       "    1: incomplete frame\n"},
      {"garbage.trace",
       "    0: Failed to decompress zstd-compressed trace\n"
       "    1: Unknown frame descriptor\n"},
      {"short.trace", "    Data too small: 319 bytes (expected 320 bytes for 2 warps)\n"},
      {"huge.trace",
       "    0: Failed to decompress zstd-compressed trace\n"
       "    1: Data corruption detected\n"},
      {"missing\xff.trace",
       "    0: Failed to open trace file: missing\xEF\xBF\xBD.trace\n"
       "    1: No such file or directory (os error 2)\n"},
  };
  for (const Case& c : cases) {
    const std::string shown = c.path == "missing\xff.trace" ? "missing\xEF\xBF\xBD.trace" : c.path;
    const ProcessResult as_a = ws.run({c.path, good});
    EXPECT_EQ(as_a.status, 1) << c.path;
    EXPECT_EQ(as_a.out, "");
    EXPECT_EQ(as_a.err, "Loading traces...\nError: Failed to load trace A: " + shown +
                            "\n\nCaused by:\n" + c.causes);
    const ProcessResult as_b = ws.run({good, c.path});
    EXPECT_EQ(as_b.status, 1) << c.path;
    EXPECT_EQ(as_b.err, "Loading traces...\nError: Failed to load trace B: " + shown +
                            "\n\nCaused by:\n" + c.causes);
  }
}

TEST(CliLoad, TraceAIsLoadedFirst) {
  const Workspace ws;
  const ProcessResult r = ws.run({"gone-a.trace", "gone-b.trace"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Failed to load trace A: gone-a.trace"), std::string::npos);
  EXPECT_EQ(r.err.find("gone-b.trace"), std::string::npos);

  // Decoded side by side, two bad payloads still report trace A's.
  TraceBuilder compressed;
  compressed.header.flags |= TRACE_FLAG_ZSTD;
  std::vector<std::uint8_t> garbage = compressed.file_bytes();
  garbage.insert(garbage.end(), 64, 0x5a);
  ws.file("garbage.trace", garbage);
  ws.trace("no-payload.trace", compressed);
  const ProcessResult both = ws.run({"garbage.trace", "no-payload.trace"});
  EXPECT_EQ(both.status, 1);
  EXPECT_EQ(both.err,
            "Loading traces...\nError: Failed to load trace A: garbage.trace\n\nCaused by:\n"
            "    0: Failed to decompress zstd-compressed trace\n    1: Unknown frame descriptor\n");
}

// ---- pair mode ----

TEST(CliPair, ConsoleStatusFollowsTheFilteredDivergences) {
  const Workspace ws;
  const std::string a = ws.trace("a.trace", one_warp(1));
  const std::string b = ws.trace("b.trace", one_warp(0));
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {
      {{a, a}, 0},
      {{a, b}, 1},
      {{"--limit", "1", a, b}, 1},
      {{"--warps", "3-9", a, b}, 0},
      {{"--filter-kind", "path", a, b}, 0},
      {{"--filter-kind", "BRANCH", a, b}, 1},
      {{"--filter-sites", "0x99", a, b}, 0},
  };
  for (const Case& c : cases) {
    const ProcessResult r = ws.run(c.args);
    EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args) << r.err;
    EXPECT_EQ(r.err, "Loading traces...\nComparing 1 warps...\n");
    EXPECT_NE(r.out.find("Diff Summary"), std::string::npos);
  }
}

TEST(CliPair, JsonLeavesOutTheProgressLinesAndSetsTheVerdict) {
  const Workspace ws;
  const std::string a = ws.trace("a.trace", one_warp(1));
  const std::string b = ws.trace("b.trace", one_warp(0));
  ws.file("map.json", R"([{"site_id":16,"filename":"k.cu","function":"f","line":3,"column":1,
                          "event_type":0,"ordinal":0}])");
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {
      {{"--json", a, a}, 0},
      {{"--json", a, b}, 1},
      {{"--json", "--max-allowed-divergences", "1", a, b}, 0},
      {{"--json", "--tui", a, b}, 1},  // JSON wins over the viewer
      {{"--json", "--map", "map.json", "--csv", "out.csv", a, b}, 1},
  };
  for (const Case& c : cases) {
    const ProcessResult r = ws.run(c.args);
    EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.err, "Comparing 1 warps...\n") << ::testing::PrintToString(c.args);
    EXPECT_TRUE(r.out.starts_with("{\n") && r.out.ends_with("\n}\n")) << r.out;
  }
}

TEST(CliPair, VerboseBlocksStandAheadOfTheJsonDocument) {
  const Workspace ws;
  const std::string a = ws.trace("a.trace", one_warp(1));
  const ProcessResult r = ws.run({"--json", "-v", a, a});
  EXPECT_EQ(r.status, 0);
  const std::size_t info_a = r.out.find("=== Trace A ===");
  const std::size_t info_b = r.out.find("=== Trace B ===");
  const std::size_t document = r.out.find("\n{\n");
  EXPECT_LT(info_a, info_b);
  EXPECT_NE(document, std::string::npos);
  EXPECT_LT(info_b, document);
}

TEST(CliPair, DumpRunsInsteadOfTheComparison) {
  const Workspace ws;
  const std::string a = ws.trace("a.trace", one_warp(1));
  const std::string b = ws.trace("b.trace", one_warp(0));

  const ProcessResult both = ws.run({"--dump-b", "1", "--dump-a", "0", a, b});
  EXPECT_EQ(both.status, 0);
  EXPECT_EQ(both.err, "Loading traces...\n");  // nothing compared
  EXPECT_TRUE(both.out.starts_with("\n=== Trace A ===\n")) << both.out;
  EXPECT_EQ(both.out.find("Trace B"), std::string::npos);

  const ProcessResult dump_b = ws.run({"--dump-b", "1", a, b});
  EXPECT_EQ(dump_b.status, 0);
  EXPECT_TRUE(dump_b.out.starts_with("\n=== Trace B ===\n")) << dump_b.out;

  // Neither --json nor --tui nor a missing remap file changes a dump run.
  const ProcessResult json =
      ws.run({"--dump-a", "0", "--json", "--tui", "--remap-a", "x", "--remap-b", "y", a, b});
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.err, "");
  EXPECT_EQ(json.out, both.out);

  const ProcessResult verbose = ws.run({"-v", "--dump-a", "0", a, b});
  const std::size_t dump_heading = verbose.out.find("\n=== Trace A ===\n", 1);
  EXPECT_LT(verbose.out.find("Trace B"), dump_heading);
  EXPECT_NE(dump_heading, std::string::npos);
}

TEST(CliPair, DumpStillNeedsBothTracesAndTheSiteMap) {
  const Workspace ws;
  const std::string a = ws.trace("a.trace", one_warp(1));
  const ProcessResult bad_b = ws.run({"--dump-a", "5", a, "missing.trace"});
  EXPECT_EQ(bad_b.status, 1);
  EXPECT_EQ(bad_b.out, "");
  EXPECT_TRUE(bad_b.err.starts_with(
      "Loading traces...\nError: Failed to load trace B: missing.trace\n\nCaused by:\n"));

  const ProcessResult bad_map = ws.run({"--dump-a", "5", "--map", "none.json", a, a});
  EXPECT_EQ(bad_map.status, 1);
  EXPECT_EQ(bad_map.out, "");
  EXPECT_EQ(bad_map.err,
            "Loading traces...\nError: Failed to load site map: none.json\n\nCaused by:\n"
            "    No such file or directory (os error 2)\n");
}

TEST(CliPair, RemapperIsBuiltOnlyFromBothMaps) {
  const Workspace ws;
  // Build B numbers the second site 0x99 where build A has 0x20; both maps name it f/0/ordinal 1.
  const std::string a = ws.trace("a.trace", one_warp(1, 0x20));
  const std::string b = ws.trace("b.trace", one_warp(1, 0x99));
  ws.file("map-a.json", R"([{"site_id":32,"filename":"k.cu","function":"f","line":3,"column":1,
                             "event_type":0,"ordinal":1}])");
  ws.file("map-b.json", R"([{"site_id":153,"filename":"k.cu","function":"f","line":3,"column":1,
                             "event_type":0,"ordinal":1}])");

  const ProcessResult remapped =
      ws.run({"--remap-a", "map-a.json", "--remap-b", "map-b.json", a, b});
  EXPECT_EQ(remapped.status, 0) << remapped.out;
  EXPECT_EQ(remapped.err,
            "Loading traces...\nSite remapper: 1 site_ids remapped\n\nComparing 1 warps...\n");

  // One of the two alone is ignored, even when its file does not exist.
  const ProcessResult one = ws.run({"--remap-a", "nowhere.json", a, b});
  EXPECT_EQ(one.status, 1);
  EXPECT_EQ(one.err, "Loading traces...\nComparing 1 warps...\n");

  const ProcessResult bad = ws.run({"--remap-a", "map-a.json", "--remap-b", "nowhere.json", a, b});
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(bad.err.starts_with(
      "Loading traces...\nError: Failed to load remap-b: nowhere.json\n\nCaused by:\n"));

  // Both maps are read side by side, and remap-a's failure still comes first.
  ws.file("cut.json", "[");
  const ProcessResult both_bad = ws.run({"--remap-a", "cut.json", "--remap-b", "cut.json", a, b});
  EXPECT_EQ(both_bad.status, 1);
  EXPECT_EQ(both_bad.err,
            "Loading traces...\nError: Failed to load remap-a: cut.json\n\nCaused by:\n"
            "    EOF while parsing a list at line 1 column 1\n");

  const ProcessResult mapped = ws.run({"--map", "map-a.json", a, a});
  EXPECT_EQ(mapped.err, "Loading traces...\nLoaded 1 site mappings\n\nComparing 1 warps...\n");

  // With --json neither line is written; the remapper still serves the comparison.
  const ProcessResult json = ws.run({"--json", "--map", "map-a.json", "--remap-a", "map-a.json",
                                     "--remap-b", "map-b.json", a, b});
  EXPECT_EQ(json.status, 0) << json.out;
  EXPECT_EQ(json.err, "Comparing 1 warps...\n");
}

TEST(CliPair, FiltersThatRemoveEverythingLeaveTheComparisonsCounts) {
  const Workspace ws;
  const std::string a = ws.trace("a.trace", one_warp(1));
  const std::string b = ws.trace("b.trace", one_warp(0));
  const ProcessResult r = ws.run({"--filter-kind", "Value", a, b});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Warps diverged:       1\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Total divergences:    0\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\u2713 Traces are IDENTICAL"), std::string::npos) << r.out;
}

TEST(CliPair, ExportLinesAndExportErrors) {
  const Workspace ws;
  const std::string a = ws.trace("a.trace", one_warp(1));
  const std::string b = ws.trace("b.trace", one_warp(0));
  const std::string flame_note =
      "Flamegraph exported to: f.json\nOpen in chrome://tracing or https://ui.perfetto.dev\n";

  const ProcessResult console = ws.run({"--csv", "d.csv", "--export-flamegraph", "f.json", a, b});
  EXPECT_EQ(console.status, 1);
  EXPECT_EQ(console.err,
            "Loading traces...\nComparing 1 warps...\nCSV exported to: d.csv\n" + flame_note);
  EXPECT_TRUE(fs::exists(ws.dir() / "d.csv"));
  EXPECT_TRUE(fs::exists(ws.dir() / "f.json"));

  // With --json only the flame-graph note is kept.
  const ProcessResult json =
      ws.run({"--json", "--csv", "d.csv", "--export-flamegraph", "f.json", a, b});
  EXPECT_EQ(json.err, "Comparing 1 warps...\n" + flame_note);

  // An export error carries no context; the CSV error stops the run before the Chrome trace.
  const ProcessResult failed =
      ws.run({"--csv", "no/dir.csv", "--export-flamegraph", "late.json", a, b});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "");
  EXPECT_EQ(failed.err,
            "Loading traces...\nComparing 1 warps...\nError: No such file or directory (os error "
            "2)\n");
  EXPECT_FALSE(fs::exists(ws.dir() / "late.json"));
}

// ---- session mode ----

std::string manifest_entry(const std::string& kernel, int launch, const std::string& file) {
  return R"({"launch":)" + std::to_string(launch) + R"(,"kernel":")" + kernel + R"(","file":")" +
         file + R"(","grid":[1,1,1],"block":[32,1,1]})";
}

TEST(CliSession, LoadFailuresAndEmptySessions) {
  const Workspace ws;
  fs::create_directory(ws.dir() / "empty-a");
  fs::create_directory(ws.dir() / "empty-b");
  ws.file("empty-a/session.json", "[]");
  ws.file("empty-b/session.json", "[]\n");

  const ProcessResult missing = ws.run({"--session", "nowhere", "empty-b"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err,
            "Loading sessions...\nError: Failed to load session A: nowhere\n\nCaused by:\n"
            "    0: Failed to read session manifest: nowhere/session.json\n"
            "    1: No such file or directory (os error 2)\n");
  const ProcessResult missing_b = ws.run({"--session", "empty-a", "nowhere"});
  EXPECT_NE(missing_b.err.find("Error: Failed to load session B: nowhere\n"), std::string::npos);

  // Options only pair mode reads have no effect.
  const ProcessResult empty =
      ws.run({"--session", "--dump-a", "1", "--tui", "--csv", "x.csv", "empty-a", "empty-b"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.err, "Loading sessions...\nSession A: 0 launches, Session B: 0 launches\n\n");
  EXPECT_FALSE(fs::exists(ws.dir() / "x.csv"));

  const ProcessResult json = ws.run({"--session", "--json", "empty-a", "empty-b"});
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.err, "");
  EXPECT_TRUE(json.out.starts_with("{\n") && json.out.ends_with("\n}\n")) << json.out;
}

TEST(CliSession, FailedPairsAndUnmatchedLaunchesFailTheRun) {
  const Workspace ws;
  fs::create_directory(ws.dir() / "sa");
  fs::create_directory(ws.dir() / "sb");
  ws.trace("sa/k0.trace", one_warp(1));
  ws.trace("sb/k0.trace", one_warp(1));
  ws.trace("sb/k1.trace", one_warp(1));
  ws.file("sa/session.json", "[" + manifest_entry("k", 0, "k0.trace") + "," +
                                 manifest_entry("k", 1, "gone.trace") + "]");
  ws.file("sb/session.json", "[" + manifest_entry("k", 0, "k0.trace") + "," +
                                 manifest_entry("k", 1, "k1.trace") + "," +
                                 manifest_entry("extra", 0, "k0.trace") + "]");

  const ProcessResult r = ws.run({"--session", "sa", "sb"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "Loading sessions...\nSession A: 2 launches, Session B: 3 launches\n\n"
            "Comparing 1 warps...\n");
  EXPECT_TRUE(r.out.starts_with("--- Kernel: k (launch 0) ---\n")) << r.out;
  EXPECT_NE(r.out.find("\n\n--- Kernel: k (launch 1) ---\n"
                       "  ERROR: Failed to open trace file: sa/gone.trace\n\n"
                       "Warning: Unmatched launch in session B (not in A): extra (launch 0)\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(r.out.ends_with("(launch 0)\n"));

  // With --json only the comparison's own lines stay on standard error; the verdict fails.
  const ProcessResult json = ws.run({"--session", "--json", "sa", "sb"});
  EXPECT_EQ(json.status, 1);
  EXPECT_EQ(json.err, "Comparing 1 warps...\n");
  EXPECT_TRUE(json.out.starts_with("{\n") && json.out.ends_with("\n}\n")) << json.out;
  EXPECT_EQ(json.out.find("Warning:"), std::string::npos);
}

// ---- output streams ----

TEST(CliOutput, ABrokenPipeEndsTheRunWithStatus101) {
  const Workspace ws;
  const std::string a = ws.trace("a.trace", one_warp(1));
  const std::string b = ws.trace("b.trace", one_warp(0));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--dump-a", "0", a, b}, {a, b}, {"--json", a, b}}) {
    const ProcessResult r = ws.run(args, with_stdout_closed());
    EXPECT_EQ(r.status, 101) << ::testing::PrintToString(args);
    EXPECT_TRUE(r.err.ends_with("failed printing to stdout: Broken pipe (os error 32)\n")) << r.err;
  }
  // Help and usage errors keep their status whatever happens to the stream.
  EXPECT_EQ(ws.run({"--help"}, with_stdout_closed()).status, 0);
  EXPECT_EQ(ws.run({"a"}, with_stdout_closed()).status, 2);
}

TEST(CliOutput, AClosedStandardErrorKeepsUsageStatusesAndFailsARun) {
  const Workspace ws;
  const std::string a = ws.trace("a.trace", one_warp(1));
  ProcessOptions closed;
  closed.close_stderr = true;
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {
      {{"a"}, 2},                   // a usage error
      {{"--version"}, 0},           // nothing for standard error
      {{a, a}, 101},                // "Loading traces..."
      {{"--json", "x", "y"}, 101},  // the error report
  };
  for (const Case& c : cases) {
    const ProcessResult r = ws.run(c.args, closed);
    EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args);
  }
}

}  // namespace
}  // namespace vemo::testing
