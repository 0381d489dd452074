// End-to-end: the accidents of real use. Trace paths that are not regular files, a trace that
// shrinks while it is mapped, an export aimed at an input, an export past the file-size limit,
// too little address space for threads or for an input.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "output_fixtures.hpp"
#include "support/process.hpp"

namespace vemo::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono_literals::operator""ms;
using std::chrono_literals::operator""s;

constexpr std::string_view SITE_MAP =
    R"json([{"site_id": 26, "filename": "k.cu", "function": "f", "line": 1, "column": 1,
             "event_type": 0}])json";

// Runs in a scratch directory so that the paths in messages are the short names.
class CliAccident : public ::testing::Test {
 protected:
  fs::path dir = scratch_dir();
  std::string a = "a.trace";
  std::string b = "b.trace";

  void SetUp() override {
    write_trace(dir / a, baseline_warps());
    write_trace(dir / b, diverged_warps());
  }

  ProcessResult run(const std::vector<std::string>& args, ProcessOptions options = {}) const {
    options.cwd = dir.string();
    options.timeout = 90s;  // a run that blocks fails instead of hanging the suite
    return run_vemo(args, options);
  }

  std::string make_fifo(const std::string& name) const {
    if (::mkfifo((dir / name).c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    return name;
  }
};

TEST_F(CliAccident, TracePathThatIsNotARegularFileIsRefusedWithoutBlocking) {
  const std::string fifo = make_fifo("fifo.trace");
  for (const std::string& path : {fifo, std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    const ProcessResult result = run({a, path});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Loading traces...\nError: Failed to load trace B: " + path +
                              "\n\nCaused by:\n    0: Failed to mmap trace file: " + path +
                              "\n    1: No such device (os error 19)\n");
    EXPECT_EQ(result.out, "");
  }
}

// Holds the --map FIFO open for writing from the moment the run opens it, which is after both
// traces are mapped; cuts trace B to its first `keep` bytes in that moment, then hands over the
// site map.
class ShrinkWhileMapped {
 public:
  ShrinkWhileMapped(fs::path fifo, fs::path victim, std::uintmax_t keep = 0)
      : worker_([this, fifo = std::move(fifo), victim = std::move(victim), keep] {
          const int fd = open_writer(fifo);
          if (fd < 0) return;
          fs::resize_file(victim, keep);
          (void)::write(fd, SITE_MAP.data(), SITE_MAP.size());
          ::close(fd);
        }) {}
  ~ShrinkWhileMapped() {
    done_ = true;
    worker_.join();
  }
  ShrinkWhileMapped(const ShrinkWhileMapped&) = delete;
  ShrinkWhileMapped& operator=(const ShrinkWhileMapped&) = delete;

 private:
  // Opening without blocking fails with ENXIO until the run opens the FIFO for reading.
  int open_writer(const fs::path& fifo) const {
    while (!done_) {
      const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0 || errno != ENXIO) return fd;
      std::this_thread::sleep_for(2ms);
    }
    return -1;
  }

  std::atomic<bool> done_ = false;
  std::thread worker_;
};

TEST_F(CliAccident, TraceThatShrinksWhileMappedEndsWithAnErrorNamingIt) {
  struct Case {
    std::string name;
    std::vector<std::string> options;  // what reads trace B after the site map is loaded
    WarpEvents trace_b;
  };
  // Enough event slots for the comparison to go to the worker pool rather than run in place.
  const WarpEvents long_warps(2, std::vector<TraceEvent>(1 << 14, event(0x1a, 0, 0)));
  const Case cases[] = {
      {"comparison on the worker pool", {}, long_warps},
      {"event dump on the main thread", {"--dump-b", "5"}, diverged_warps()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_trace(dir / b, c.trace_b);
    const std::string fifo = make_fifo("map-" + std::to_string(&c - cases) + ".json");
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--map", fifo, a, b});
    ProcessResult result;
    {
      const ShrinkWhileMapped shrink(dir / fifo, dir / b);
      result = run(args);
    }
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.err.starts_with("Loading traces...\nLoaded 1 site mappings\n\n"))
        << result.err;
    EXPECT_TRUE(result.err.ends_with("\nError: Trace file changed while being read: b.trace\n"))
        << result.err;
    EXPECT_EQ(fs::file_size(dir / b), 0u);
  }
}

TEST_F(CliAccident, TraceThatShrinksUnderEveryWorkerIsReportedOnce) {
  // 1024 warps of 1024 events, 16 MiB a trace. The cut leaves the first half of trace B, so
  // every worker is up and reading by the time the claims, taken in warp order, reach it, and
  // they fault on the lost pages together. (With one CPU the pool is the calling thread alone.)
  constexpr std::uint32_t WARPS = 1024;
  constexpr std::uint32_t EVENTS = 1024;
  const WarpEvents warps(WARPS, loop_events(EVENTS));
  write_trace(dir / a, warps);
  const std::uintmax_t warp_bytes = sizeof(WarpBufferHeader) + EVENTS * sizeof(TraceEvent);
  const std::uintmax_t keep = TRACE_HEADER_SIZE + WARPS / 2 * warp_bytes;
  // The comparison reads all of trace B, so every run faults; each run is another chance for
  // several workers to fault at once.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    write_trace(dir / b, warps);
    ASSERT_EQ(fs::file_size(dir / b), TRACE_HEADER_SIZE + WARPS * warp_bytes);
    const std::string fifo = make_fifo(fmt::format("many-{}.json", round));
    ProcessResult result;
    {
      const ShrinkWhileMapped shrink(dir / fifo, dir / b, keep);
      result = run({"--map", fifo, a, b});
    }
    ASSERT_EQ(fs::file_size(dir / b), keep);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(result.err, fmt::format("Loading traces...\nLoaded 1 site mappings\n\n"
                                      "Comparing {} warps...\n"
                                      "Error: Trace file changed while being read: b.trace\n",
                                      WARPS));
    EXPECT_EQ(result.out, "");
  }
}

TEST_F(CliAccident, ExportOntoAnInputIsRefusedBeforeAnythingIsWritten) {
  write_file(dir / "sites.json", SITE_MAP);
  fs::create_hard_link(dir / a, dir / "hard.trace");
  fs::create_symlink("sites.json", dir / "sym.json");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"--csv", b, a, b},
       "Refusing to overwrite trace B: --csv b.trace is the same file as "
       "b.trace"},
      {{"--csv", "./b.trace", a, b},
       "Refusing to overwrite trace B: --csv ./b.trace is the same file as b.trace"},
      {{"--export-flamegraph", "hard.trace", a, b},
       "Refusing to overwrite trace A: --export-flamegraph hard.trace is the same file as "
       "a.trace"},
      {{"--map", "sites.json", "--csv", "out.csv", "--export-flamegraph", "sym.json", a, b},
       "Refusing to overwrite site map: --export-flamegraph sym.json is the same file as "
       "sites.json"},
      {{"--remap-a", "sites.json", "--remap-b", "./sites.json", "--csv", "sym.json", "--tui", a, b},
       "Refusing to overwrite remap-a: --csv sym.json is the same file as sites.json"},
  };
  const std::string trace_a = read_file(dir / a);
  const std::string trace_b = read_file(dir / b);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const ProcessResult result = run(c.args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error: " + c.message + "\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(read_file(dir / a), trace_a);
    EXPECT_EQ(read_file(dir / b), trace_b);
    EXPECT_EQ(read_file(dir / "sites.json"), SITE_MAP);
    EXPECT_FALSE(fs::exists(dir / "out.csv"));
  }
}

TEST_F(CliAccident, ExportPastTheFileSizeLimitFailsWithTheSystemError) {
  write_trace(dir / b, mask_warps(400, 0x0000ffff));
  write_trace(dir / a, mask_warps(400, 0xffffffff));
  for (const std::string option : {"--csv", "--export-flamegraph"}) {
    SCOPED_TRACE(option);
    ProcessOptions options;
    options.file_size_limit = 4096;
    const ProcessResult result = run({option, "out", a, b}, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "Loading traces...\nComparing 1 warps...\n"
              "Error: File too large (os error 27)\n");
    EXPECT_EQ(result.out, "");
  }
}

// Under an address-space limit (`ulimit -v`, in KiB), which AddressSanitizer cannot run in.
ProcessResult run_limited(const fs::path& dir, std::uint64_t kib, std::vector<std::string> args) {
  args.insert(args.begin(),
              {"-c", fmt::format("ulimit -v {}; exec \"$0\" \"$@\"", kib), VEMO_DIFF_BIN});
  ProcessOptions options;
  options.cwd = dir.string();
  options.timeout = 90s;
  return run_process("/bin/sh", args, options);
}

#if defined(__SANITIZE_ADDRESS__)
#define SKIP_UNDER_ADDRESS_SANITIZER() GTEST_SKIP() << "AddressSanitizer needs the address space"
#else
#define SKIP_UNDER_ADDRESS_SANITIZER()
#endif

TEST_F(CliAccident, TooLittleAddressSpaceForThreadsGivesTheSameReport) {
  SKIP_UNDER_ADDRESS_SANITIZER();
  // 64 warps of 1024 events, large enough for the worker pool; also compressed in 4 frames.
  WarpEvents warps_a(64);
  WarpEvents warps_b(64);
  for (std::uint32_t warp = 0; warp < 64; ++warp) {
    for (std::uint32_t k = 0; k < 1024; ++k) {
      warps_a[warp].push_back(event(k, 0, k % 2));
      warps_b[warp].push_back(event(k, 0, (k + (k % 97 == warp ? 1 : 0)) % 2));
    }
  }
  write_trace(dir / "big-a.trace", warps_a);
  write_trace(dir / "big-b.trace", warps_b);
  TraceBuilder compressed;
  compressed.shape(64, 1024);
  for (std::uint32_t warp = 0; warp < 64; ++warp) compressed.warp(warp, warps_b[warp]);
  compressed.write(dir / "big-b.z.trace", 4);
  const std::vector<std::vector<std::string>> runs = {
      {"big-a.trace", "big-b.trace"},
      {"big-a.trace", "big-b.z.trace"},
      {"--json", "big-a.trace", "big-b.z.trace"},
  };
  for (const auto& args : runs) {
    const ProcessResult normal = run(args);
    ASSERT_EQ(normal.status, 1) << args.back() << normal.err;
    // From the calling thread alone to a few more.
    for (const std::uint64_t kib : {60000u, 120000u, 1000000u}) {
      SCOPED_TRACE(fmt::format("{} with ulimit -v {}", args.back(), kib));
      const ProcessResult limited = run_limited(dir, kib, args);
      EXPECT_EQ(limited.status, normal.status);
      EXPECT_EQ(limited.err, normal.err);
      EXPECT_EQ(limited.out, normal.out);
    }
  }
}

TEST_F(CliAccident, AnInputLargerThanTheMemoryIsAReadErrorOfThatInput) {
  SKIP_UNDER_ADDRESS_SANITIZER();
  // 10 GiB of NUL bytes that take no disk, and inputs without an end.
  std::ofstream(dir / "huge.json").close();
  fs::resize_file(dir / "huge.json", std::uint64_t{10} << 30);
  fs::create_directory(dir / "endless");
  fs::create_symlink("/dev/zero", dir / "endless" / "session.json");
  const std::string out_of_memory = "Cannot allocate memory (os error 12)";
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"--map", "huge.json", a, b},
       "Loading traces...\nError: Failed to load site map: huge.json\n\nCaused by:\n    " +
           out_of_memory + "\n"},
      {{"--map", "/dev/zero", a, b},
       "Loading traces...\nError: Failed to load site map: /dev/zero\n\nCaused by:\n    " +
           out_of_memory + "\n"},
      {{"--session", "endless", "endless"},
       "Loading sessions...\nError: Failed to load session A: endless\n\nCaused by:\n"
       "    0: Failed to read session manifest: endless/session.json\n    1: " +
           out_of_memory + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    const ProcessResult result = run_limited(dir, 1000000, c.args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
  }
}

}  // namespace
}  // namespace vemo::testing
