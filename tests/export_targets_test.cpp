// The export files: created or truncated, the operating system's errors unchanged, and what was
// written before a failed write kept.
#include "cli/export_targets.hpp"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "output/export.hpp"
#include "output_fixtures.hpp"

namespace vemo {
namespace {

using testing::divergence;
using testing::read_file;
using testing::scratch_dir;
using testing::TraceBuilder;
using testing::write_file;

constexpr std::string_view CSV_HEADER = "warp_idx,event_idx,site_id,kind,details,source_location\n";

DiffResult result_with(std::vector<Divergence> divergences) {
  DiffResult result;
  result.divergences = std::move(divergences);
  return result;
}

Trace trace_with(std::uint32_t warps_per_block) {
  TraceBuilder builder;
  builder.header.warps_per_block = warps_per_block;
  return builder.build();
}

using Exporter = std::function<Status(const std::string& path)>;

// Both exports of `result` into the file at a path, by name.
std::vector<std::pair<const char*, Exporter>> exporters(const Trace& trace,
                                                        const DiffResult& result) {
  return {
      {"csv",
       [&](const std::string& path) {
         return write_export_file(path, [&](OutputSink& out) { write_csv(out, result, nullptr); });
       }},
      {"chrome",
       [&](const std::string& path) {
         return write_export_file(path, [&](OutputSink& out) {
           write_chrome_trace(out, trace, trace, result, nullptr);
         });
       }},
  };
}

TEST(ExportFile, ReplacesAnExistingFileWhole) {
  const Trace trace = trace_with(1);
  const DiffResult result = result_with({});
  for (const auto& [exporter, run] : exporters(trace, result)) {
    SCOPED_TRACE(exporter);
    const auto dir = scratch_dir();
    ASSERT_TRUE(run(dir / "new"));
    write_file(dir / "old", std::string(4096, 'x'));
    ASSERT_TRUE(run(dir / "old"));
    EXPECT_EQ(read_file(dir / "old"), read_file(dir / "new"));
  }
}

TEST(ExportFile, OperatingSystemErrorsUnchanged) {
  const Trace trace = trace_with(1);
  const DiffResult result = result_with({divergence(0, 0, 1, DivergenceKind{BranchKind{1, 0}})});
  const std::string dir = scratch_dir();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {dir + "/missing/out", "No such file or directory (os error 2)"},
      {dir, "Is a directory (os error 21)"},
      {"/dev/full", "No space left on device (os error 28)"},
  };
  for (const auto& [exporter, run] : exporters(trace, result)) {
    for (const auto& [path, message] : cases) {
      SCOPED_TRACE(std::string(exporter) + " " + path);
      const Status status = run(path);
      ASSERT_FALSE(status);
      EXPECT_EQ(status.error().message(), message);
      EXPECT_TRUE(status.error().causes().empty());
    }
  }
}

// While alive, no file of this process grows past `bytes`: a write beyond that fails with
// EFBIG (the signal it would raise is ignored).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : old_handler_(std::signal(SIGXFSZ, SIG_IGN)) {
    rlimit limit{};
    active_ = ::getrlimit(RLIMIT_FSIZE, &old_limit_) == 0;
    limit = old_limit_;
    limit.rlim_cur = bytes;
    active_ = active_ && bytes <= limit.rlim_max && ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    if (active_) ::setrlimit(RLIMIT_FSIZE, &old_limit_);
    std::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool active() const { return active_; }

 private:
  rlimit old_limit_{};
  void (*old_handler_)(int);
  bool active_ = false;
};

// An existing file is truncated before anything is written, and a write that fails leaves
// what went out before it in the file.
TEST(ExportFile, WriteFailureKeepsWhatWasWritten) {
  const Trace trace = trace_with(1);
  const DiffResult result = result_with({
      divergence(0, 0, 1, DivergenceKind{BranchKind{1, 0}}),
      divergence(1, 2, 3, DivergenceKind{ValueKind{4, 5}}),
  });
  const std::string first_row = "0,0,0x00000001,Branch,dir_a=1 dir_b=0,\n";
  for (const auto& [exporter, run] : exporters(trace, result)) {
    const auto dir = scratch_dir();
    ASSERT_TRUE(run(dir / "whole"));
    const std::string whole = read_file(dir / "whole");
    // Fails at the first row (the CSV) or in the middle of the document.
    for (const std::size_t limit : {CSV_HEADER.size(), CSV_HEADER.size() + first_row.size() + 5}) {
      SCOPED_TRACE(std::string(exporter) + " " + std::to_string(limit));
      ASSERT_LT(limit, whole.size());
      const auto path = dir / "cut";
      write_file(path, std::string(4096, 'x'));
      Status status;
      {
        const FileSizeLimit size_limit(limit);
        ASSERT_TRUE(size_limit.active());
        status = run(path);
      }
      ASSERT_FALSE(status);
      EXPECT_EQ(status.error().message(), "File too large (os error 27)");
      EXPECT_EQ(read_file(path), whole.substr(0, limit));
    }
  }
}

}  // namespace
}  // namespace vemo
