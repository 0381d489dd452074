#include "trace/session.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

namespace fs = std::filesystem;

// Runs the enclosing scope inside `dir`, so paths can be relative as a user gives them.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const fs::path& dir) : previous_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~WorkingDirectory() { fs::current_path(previous_); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  fs::path previous_;
};

// A session directory `name` under a fresh scratch directory, holding `manifest`.
fs::path session_dir(std::string_view manifest, const fs::path& root = scratch_dir(),
                     std::string_view name = "sessA") {
  const fs::path dir = root / name;
  fs::create_directories(dir);
  write_file(dir / "session.json", manifest);
  return dir;
}

SessionLaunch launch_of(std::string file) {
  SessionLaunch launch;
  launch.file = std::move(file);
  return launch;
}

TEST(Session, JoinsPathsWithOneSlash) {
  const struct {
    std::string dir, name, joined;
  } cases[] = {
      {"sessA", "session.json", "sessA/session.json"},
      {"sessA/", "session.json", "sessA/session.json"},
      {"", "session.json", "session.json"},
      {"/", "t0.bin", "/t0.bin"},
      {"a//", "t0.bin", "a//t0.bin"},
      {"sessA", "../x/t0.bin", "sessA/../x/t0.bin"},
  };
  for (const auto& c : cases) EXPECT_EQ(join_path(c.dir, c.name), c.joined) << c.dir;
}

TEST(Session, LoadsLaunchesInFileOrder) {
  const fs::path dir = session_dir(R"([
    {"launch": 0, "kernel": "scan", "file": "t0.bin", "grid": [4, 1, 1], "block": [256, 1, 1],
     "elapsed_ms": 1.25},
    [1, "scan", "/abs/t1.bin", [4294967295, 2, 3], [32, 1, 1]],
    {"block": [1, 2, 3], "grid": [0, 0, 0], "file": "t2.bin", "kernel": "reduce", "launch": 0}
  ])");
  const auto session = load_session(dir);
  ASSERT_TRUE(session) << session.error().message();
  EXPECT_EQ(session->dir, dir.string());
  ASSERT_EQ(session->launches.size(), 3u);
  const SessionLaunch& first = session->launches[0];
  EXPECT_EQ(first.launch, 0u);
  EXPECT_EQ(first.kernel, "scan");
  EXPECT_EQ(first.file, "t0.bin");
  EXPECT_EQ(first.grid, (std::array<std::uint32_t, 3>{4, 1, 1}));
  EXPECT_EQ(first.block, (std::array<std::uint32_t, 3>{256, 1, 1}));
  EXPECT_EQ(session->launches[1].file, "/abs/t1.bin");
  EXPECT_EQ(session->launches[1].grid, (std::array<std::uint32_t, 3>{4294967295u, 2, 3}));
  EXPECT_EQ(session->launches[2].kernel, "reduce");
  EXPECT_EQ(session->launches[2].block, (std::array<std::uint32_t, 3>{1, 2, 3}));
}

TEST(Session, DirectoryIsKeptAsPassed) {
  const fs::path root = scratch_dir();
  session_dir("[]", root);
  const WorkingDirectory inside(root);
  for (const std::string dir : {"sessA", "sessA/", "./sessA"}) {
    const auto session = load_session(dir);
    ASSERT_TRUE(session) << dir << ": " << session.error().message();
    EXPECT_EQ(session->dir, dir);
    EXPECT_TRUE(session->launches.empty());
  }
}

TEST(Session, ReadFailuresNameTheManifest) {
  const fs::path root = scratch_dir();
  session_dir("[{\"kernel\": \"caf\xe9\"}]", root, "latin1");
  fs::create_directories(root / "empty");
  const WorkingDirectory inside(root);
  const struct {
    std::string dir;
    std::string_view message;
    std::string_view cause;
  } cases[] = {
      {"empty", "Failed to read session manifest: empty/session.json",
       "No such file or directory (os error 2)"},
      {"empty/", "Failed to read session manifest: empty/session.json",
       "No such file or directory (os error 2)"},
      {"sess\xff", "Failed to read session manifest: sess\xef\xbf\xbd/session.json",
       "No such file or directory (os error 2)"},
      {"latin1", "Failed to read session manifest: latin1/session.json",
       "stream did not contain valid UTF-8"},
  };
  for (const auto& c : cases) {
    const auto session = load_session(c.dir);
    ASSERT_FALSE(session) << c.dir;
    EXPECT_EQ(session.error().message(), c.message);
    EXPECT_EQ(session.error().causes(), std::vector<std::string>{std::string(c.cause)});
  }
}

TEST(Session, ParseFailuresCarryTheReadersError) {
  const struct {
    std::string_view manifest;
    std::string_view cause;
  } cases[] = {
      {R"([{"launch": 0, "kernel": "k", "file": "t", "grid": [1, 1], "block": [1, 1, 1]}])",
       "invalid length 2, expected an array of length 3 at line 1 column 57"},
      {R"([[0, "k", "t", [1, 1, 1, 1], [1, 1, 1]]])", "trailing characters at line 1 column 26"},
      {R"([{"launch": 0, "kernel": "k", "grid": [1, 1, 1], "block": [1, 1, 1]}])",
       "missing field `file` at line 1 column 68"},
      {R"([{"launch": 0, "grid": [1, 1, 1], "block": [1, 1, 1]}])",
       "missing field `kernel` at line 1 column 53"},
      {R"([{"launch": 0, "launch": 1}])", "duplicate field `launch` at line 1 column 23"},
      {R"([[0, "k", "t", [1, 1, 1]]])",
       "invalid length 4, expected struct SessionLaunch with 5 elements at line 1 column 25"},
      {R"([[0, "k", "t", [1, 1, 1], [1, 1, 1], 7]])", "trailing characters at line 1 column 38"},
      {R"([[-1, "k", "t", [1, 1, 1], [1, 1, 1]]])",
       "invalid value: integer `-1`, expected u32 at line 1 column 4"},
      {R"([[0, "k", "t", [1, 1.5, 1], [1, 1, 1]]])",
       "invalid type: floating point `1.5`, expected u32 at line 1 column 22"},
      {R"([[0, 7, "t", [1, 1, 1], [1, 1, 1]]])",
       "invalid type: integer `7`, expected a string at line 1 column 6"},
      {"[0]", "invalid type: integer `0`, expected struct SessionLaunch at line 1 column 2"},
      {R"({"launches": []})", "invalid type: map, expected a sequence at line 1 column 1"},
      {"[] []", "trailing characters at line 1 column 4"},
      {"[\n{\"launch\": 0,}\n]", "key must be a string at line 2 column 14"},
  };
  for (const auto& c : cases) {
    const auto session = load_session(session_dir(c.manifest));
    ASSERT_FALSE(session) << c.manifest;
    EXPECT_EQ(session.error().message(), "Failed to parse session manifest");
    EXPECT_EQ(session.error().causes(), std::vector<std::string>{std::string(c.cause)});
  }
}

TEST(Session, TracePathsAreAbsoluteOrJoinedAsWritten) {
  const struct {
    std::string dir, file, path;
  } cases[] = {
      {"sessA", "/data/t0.bin", "/data/t0.bin"}, {"sessA", "t0.bin", "sessA/t0.bin"},
      {"sessA/", "t0.bin", "sessA/t0.bin"},      {"sessA", "../x/t0.bin", "sessA/../x/t0.bin"},
      {"sessA", "./t0.bin", "sessA/./t0.bin"},   {"", "t0.bin", "t0.bin"},
  };
  for (const auto& c : cases) {
    const Session session{.dir = c.dir, .launches = {}};
    EXPECT_EQ(session_trace_path(session, launch_of(c.file)), c.path) << c.file;
  }
}

TEST(Session, LoadsLaunchTraces) {
  const fs::path root = scratch_dir();
  fs::create_directories(root / "sessA");
  fs::create_directories(root / "x");
  TraceBuilder builder;
  builder.kernel("relative", 1).write(root / "sessA" / "t0.bin");
  builder.kernel("parent", 2).write(root / "x" / "t1.bin");
  builder.kernel("absolute", 3).write(root / "abs.bin");

  const WorkingDirectory inside(root);
  const Session session{.dir = "sessA", .launches = {}};
  const struct {
    std::string file;
    std::string_view kernel;
  } cases[] = {
      {"t0.bin", "relative"},
      {"../x/t1.bin", "parent"},
      {(root / "abs.bin").string(), "absolute"},
  };
  for (const auto& c : cases) {
    const auto trace = load_session_trace(session, launch_of(c.file));
    ASSERT_TRUE(trace) << c.file << ": " << trace.error().message();
    EXPECT_EQ(trace->header.kernel_name_text(), c.kernel);
  }
}

TEST(Session, TraceErrorsAreLoadTracesOwn) {
  const WorkingDirectory inside(scratch_dir());
  const Session session{.dir = "sessA", .launches = {}};
  const auto trace = load_session_trace(session, launch_of("t0.bin"));
  ASSERT_FALSE(trace);
  EXPECT_EQ(trace.error().message(), "Failed to open trace file: sessA/t0.bin");
  EXPECT_EQ(trace.error().causes(),
            std::vector<std::string>{"No such file or directory (os error 2)"});
}

}  // namespace
}  // namespace vemo::testing
