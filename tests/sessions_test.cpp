#include "compare/sessions.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/trace_builder.hpp"

namespace vemo {
namespace {

using testing::event;
using testing::TraceBuilder;

// A session directory holding "same.bin" (one warp, one event), "other_kernel.bin" (another
// kernel hash) and "wide_grid.bin" (grid [2, 1, 1]); "missing.bin" does not exist.
Session session_with(std::vector<SessionLaunch> launches) {
  const std::filesystem::path dir = testing::scratch_dir();
  TraceBuilder trace;
  trace.shape(1, 4).warp(0, {event(1)});
  trace.write(dir / "same.bin");
  TraceBuilder other = trace;
  other.kernel("other_kernel", 0x99).write(dir / "other_kernel.bin");
  TraceBuilder wide = trace;
  wide.header.grid = {2, 1, 1};
  wide.write(dir / "wide_grid.bin");
  return Session{.dir = dir.string(), .launches = std::move(launches)};
}

SessionLaunch launch(std::string kernel, std::uint32_t number, std::string file = "same.bin",
                     std::array<std::uint32_t, 3> grid = {1, 1, 1}) {
  return SessionLaunch{.launch = number,
                       .kernel = std::move(kernel),
                       .file = std::move(file),
                       .grid = grid,
                       .block = {32, 1, 1}};
}

struct Compared {
  SessionDiff diff;
  std::string err;
};

Compared compare(const Session& a, const Session& b) {
  std::string err;
  SessionDiff diff = compare_sessions(a, b, CompareConfig{}, load_session_trace,
                                      [&](std::string_view line) { err += line; });
  return {std::move(diff), std::move(err)};
}

std::vector<std::pair<std::string, std::uint32_t>> paired(const SessionDiff& diff) {
  std::vector<std::pair<std::string, std::uint32_t>> pairs;
  for (const KernelResult& result : diff.kernel_results) {
    EXPECT_TRUE(result.result.has_value()) << result.kernel;
    pairs.emplace_back(result.kernel, result.launch);
  }
  return pairs;
}

TEST(CompareSessions, PairsLaunchesByKernelAndLaunchNumber) {
  struct Case {
    std::string name;
    std::vector<SessionLaunch> a, b;
    std::vector<std::pair<std::string, std::uint32_t>> pairs;
    std::vector<std::string> unmatched_a, unmatched_b;
  };
  const Case cases[] = {
      {"partial overlap",
       {launch("k1", 0), launch("k1", 1)},
       {launch("k1", 1), launch("k2", 0)},
       {{"k1", 1}},
       {"k1 (launch 0)"},
       {"k2 (launch 0)"}},
      {"duplicates pair with the first partner",
       {launch("k1", 0), launch("k1", 0)},
       {launch("k1", 0), launch("k1", 0)},
       {{"k1", 0}, {"k1", 0}},
       {},
       {"k1 (launch 0)"}},
      {"empty B",
       {launch("k1", 0), launch("k2", 3)},
       {},
       {},
       {"k1 (launch 0)", "k2 (launch 3)"},
       {}},
      {"empty A", {}, {launch("k1", 0)}, {}, {}, {"k1 (launch 0)"}},
      {"names are case-sensitive",
       {launch("K1", 0)},
       {launch("k1", 0)},
       {},
       {"K1 (launch 0)"},
       {"k1 (launch 0)"}},
      {"manifest order of A",
       {launch("k2", 0), launch("k1", 0)},
       {launch("k1", 0), launch("k2", 0)},
       {{"k2", 0}, {"k1", 0}},
       {},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Compared compared = compare(session_with(c.a), session_with(c.b));
    EXPECT_EQ(paired(compared.diff), c.pairs);
    EXPECT_EQ(compared.diff.unmatched_a, c.unmatched_a);
    EXPECT_EQ(compared.diff.unmatched_b, c.unmatched_b);
  }
}

TEST(CompareSessions, AFailedPairKeepsItsErrorAndTheOthersGoOn) {
  const Session a = session_with({launch("missing_a", 0, "missing.bin"), launch("missing_b", 0),
                                  launch("mismatch", 0, "same.bin"), launch("fine", 0)});
  const Session b =
      session_with({launch("missing_a", 0, "missing.bin"), launch("missing_b", 0, "missing.bin"),
                    launch("mismatch", 0, "other_kernel.bin"), launch("fine", 0)});
  const Compared compared = compare(a, b);
  const auto& results = compared.diff.kernel_results;
  ASSERT_EQ(results.size(), 4u);

  // Trace A's loading error: trace B of that pair is never opened.
  const auto load_error_a = load_session_trace(a, a.launches[0]);
  ASSERT_FALSE(load_error_a.has_value());
  ASSERT_FALSE(results[0].result.has_value());
  EXPECT_EQ(results[0].result.error().message(), load_error_a.error().message());
  EXPECT_EQ(results[0].result.error().causes(), load_error_a.error().causes());

  const auto load_error_b = load_session_trace(b, b.launches[1]);
  ASSERT_FALSE(results[1].result.has_value());
  EXPECT_EQ(results[1].result.error().message(), load_error_b.error().message());

  ASSERT_FALSE(results[2].result.has_value());
  EXPECT_TRUE(results[2].result.error().message().starts_with("Kernel mismatch: 'test_kernel'"));

  ASSERT_TRUE(results[3].result.has_value());
  EXPECT_EQ(results[3].result->warps_compared, 1u);
  EXPECT_EQ(compared.err, "Comparing 1 warps...\n");
}

TEST(CompareSessions, ManifestWarningsPrecedeEachPairsProgressLine) {
  SessionLaunch other_block = launch("blocks", 0);
  other_block.block = {64, 1, 1};
  const Session a = session_with(
      {launch("grids", 0, "same.bin", {4, 1, 1}), launch("blocks", 0), launch("headers", 2)});
  const Session b = session_with({launch("grids", 0, "same.bin", {8, 1, 1}), other_block,
                                  launch("headers", 2, "wide_grid.bin")});
  const Compared compared = compare(a, b);
  EXPECT_EQ(compared.err,
            "Warning: Grid dim mismatch for grids (launch 0): [4, 1, 1] vs [8, 1, 1]\n"
            "Comparing 1 warps...\n"
            "Warning: Block dim mismatch for blocks (launch 0): [32, 1, 1] vs [64, 1, 1]\n"
            "Comparing 1 warps...\n");
  const auto& results = compared.diff.kernel_results;
  ASSERT_EQ(results.size(), 3u);
  EXPECT_TRUE(results[0].result.has_value());
  EXPECT_TRUE(results[1].result.has_value());
  ASSERT_FALSE(results[2].result.has_value());
  EXPECT_EQ(results[2].result.error().message(), "Grid dimension mismatch: [1, 1, 1] vs [2, 1, 1]");
}

TEST(CompareSessions, LoadsEachPairThroughTheGivenLoaderInPairOrder) {
  const auto in_memory = [](std::string kernel) {
    SessionLaunch entry = launch(std::move(kernel), 0, "");
    entry.file = entry.kernel;
    return entry;
  };
  const Session a{.dir = "a",
                  .launches = {in_memory("first"), in_memory("broken"), in_memory("last")}};
  const Session b{.dir = "b",
                  .launches = {in_memory("first"), in_memory("broken"), in_memory("last")}};
  std::vector<std::string> loads;
  const LaunchTraceLoader loader = [&](const Session& session,
                                       const SessionLaunch& entry) -> Result<Trace> {
    loads.push_back(session.dir + "/" + entry.file);
    if (entry.file == "broken") return fail("cannot load {}", entry.file);
    TraceBuilder trace;
    trace.shape(1, 4).warp(0, {event(1)});
    return trace.build();
  };
  std::string err;
  const SessionDiff diff =
      compare_sessions(a, b, CompareConfig{}, loader, [&](std::string_view line) { err += line; });
  // Trace B of a pair whose trace A failed is never asked for.
  EXPECT_EQ(loads,
            (std::vector<std::string>{"a/first", "b/first", "a/broken", "a/last", "b/last"}));
  ASSERT_EQ(diff.kernel_results.size(), 3u);
  EXPECT_TRUE(diff.kernel_results[0].result.has_value());
  ASSERT_FALSE(diff.kernel_results[1].result.has_value());
  EXPECT_EQ(diff.kernel_results[1].result.error().message(), "cannot load broken");
  EXPECT_TRUE(diff.kernel_results[2].result.has_value());
  EXPECT_EQ(err, "Comparing 1 warps...\nComparing 1 warps...\n");
}

// Every mapping of the process that names `path` (from /proc/self/maps).
std::size_t mappings_of(const std::filesystem::path& path) {
  std::ifstream maps("/proc/self/maps");
  std::size_t count = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.ends_with(" " + path.string())) ++count;
  }
  return count;
}

TEST(CompareSessions, HandsOnEachResultInPairOrderBeforeTheNextPairLoads) {
  const Session a = session_with({launch("first", 0), launch("only_a", 0), launch("broken", 0),
                                  launch("last", 0), launch("first", 0)});
  const Session b = session_with({launch("last", 0), launch("extra", 1), launch("first", 0),
                                  launch("broken", 0, "missing.bin")});
  const std::filesystem::path trace_a = std::filesystem::path(a.dir) / "same.bin";
  std::vector<std::string> log;
  const LaunchTraceLoader loader = [&](const Session& session, const SessionLaunch& entry) {
    log.push_back("load " + std::string(&session == &a ? "a " : "b ") + entry.kernel);
    return load_session_trace(session, entry);
  };
  const UnmatchedLaunches unmatched = compare_sessions(
      a, b, CompareConfig{}, loader, [](std::string_view) {},
      [&](KernelResult result) {
        // The pair's traces are already unmapped when its result arrives.
        EXPECT_EQ(mappings_of(trace_a), 0u) << result.kernel;
        log.push_back("result " + result.kernel + " " +
                      (result.result ? "ok" : "error: " + result.result.error().message()));
      });
  const auto missing = load_session_trace(b, b.launches[3]);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(log,
            (std::vector<std::string>{
                "load a first", "load b first", "result first ok", "load a broken", "load b broken",
                "result broken error: " + missing.error().message(), "load a last", "load b last",
                "result last ok", "load a first", "load b first", "result first ok"}));
  EXPECT_EQ(unmatched.unmatched_a, (std::vector<std::string>{"only_a (launch 0)"}));
  EXPECT_EQ(unmatched.unmatched_b, (std::vector<std::string>{"extra (launch 1)"}));
}

}  // namespace
}  // namespace vemo
