#pragma once
// Builds trace images in memory for tests: header fields, warp buffers and events, value
// history and operand snapshots, optional zstd compression in one or several frames.
//
// Fixture mistakes (a warp index at or past num_warps, more events than events_per_warp, more
// entries than the section depth) throw std::invalid_argument from image().

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "trace/trace_file.hpp"

namespace vemo::testing {

// One event; `active_mask` defaults to all 32 lanes active.
TraceEvent event(std::uint32_t site_id, std::uint8_t event_type = 0, std::uint8_t branch_dir = 0,
                 std::uint32_t active_mask = 0xffffffff, std::uint32_t value = 0);
// `count` events over a loop body of 16 sites from `first_site`, the last of them a global
// store, with directions, masks and values that vary from event to event.
std::vector<TraceEvent> loop_events(std::uint32_t count, std::uint32_t first_site = 0x100);
// `events` with the padding bytes of every event set to `fill`.
std::vector<TraceEvent> with_padding(std::vector<TraceEvent> events, std::uint8_t fill);

struct WarpSpec {
  std::vector<TraceEvent> events;            // written into the first slots
  std::optional<std::uint32_t> event_count;  // default: events.size()
  std::uint32_t overflow_count = 0;
};

// The block header of one warp's history or snapshot block; both default to the number of
// entries given.
struct BlockSpec {
  std::optional<std::uint32_t> capacity;
  std::optional<std::uint32_t> write_count;
};

struct HistorySpec {
  BlockSpec block;
  std::vector<HistoryEntry> entries;  // written into the first slots
};

struct SnapshotSpec {
  BlockSpec block;
  std::vector<OperandSnapshot> entries;  // written into the first slots
};

class TraceBuilder {
 public:
  // A valid header: magic, version 1, kernel "test_kernel", hash 0x1234, grid [1, 1, 1],
  // block [32, 1, 1], warps_per_block 1, no warps, events_per_warp 0.
  TraceBuilder();

  TraceHeader header;
  std::map<std::uint32_t, WarpSpec> warps;  // warps not listed are empty

  // Sets the kernel name (cut to 64 bytes, NUL-padded) and hash.
  TraceBuilder& kernel(std::string_view name, std::uint64_t hash);
  // Sets num_warps and events_per_warp.
  TraceBuilder& shape(std::uint32_t num_warps, std::uint32_t events_per_warp);
  // Sets the events of `warp` (event_count = their number unless changed in `warps`).
  TraceBuilder& warp(std::uint32_t warp, std::vector<TraceEvent> events);

  // Value history: sets flag 0x4 and history_depth; blocks per warp (missing warps empty).
  TraceBuilder& history(std::uint32_t depth, std::map<std::uint32_t, HistorySpec> blocks);
  // Operand snapshots: sets flag 0x10 and snapshot_depth.
  TraceBuilder& snapshots(std::uint32_t depth, std::map<std::uint32_t, SnapshotSpec> blocks);

  // The uncompressed image: header, warp buffers, then the history and snapshot sections at
  // their default positions (or at history_offset / snapshot_offset when those are set in
  // `header`); the image ends where the last region ends.
  std::vector<std::uint8_t> image() const;
  // The file bytes: the image, or with `frames` > 0 the header (flag 0x2 set) followed by the
  // rest of the image compressed into that many zstd frames.
  std::vector<std::uint8_t> file_bytes(int frames = 0) const;
  // Writes `file_bytes(frames)` to `path` and returns the path.
  std::string write(const std::filesystem::path& path, int frames = 0) const;
  // The trace loaded from the image in memory (owned buffer), without touching a file.
  Trace build() const;

 private:
  std::map<std::uint32_t, HistorySpec> history_;
  std::map<std::uint32_t, SnapshotSpec> snapshots_;
};

// Runs the last loading step over a copy of `image` in an owned buffer, with the header
// decoded from its first 160 bytes (which must be there).
Result<Trace> trace_from_image(std::span<const std::uint8_t> image);

// A history entry.
HistoryEntry history_entry(std::uint32_t site_id, std::uint32_t value, std::uint32_t seq);

// A snapshot record with the given fields; lanes not listed are zero.
OperandSnapshot snapshot(std::uint32_t site_id, std::uint32_t lane_mask, std::uint32_t seq,
                         std::uint32_t predicate, std::vector<std::uint32_t> lhs = {},
                         std::vector<std::uint32_t> rhs = {});

// `bytes` compressed as `frames` zstd frames of about equal input size, one after another; with
// `sized` false the frame headers leave out the decoded sizes, as a streaming compressor does.
std::vector<std::uint8_t> zstd_frames(std::span<const std::uint8_t> bytes, int frames,
                                      bool sized = true);

// Writes raw bytes to `path`; throws std::runtime_error when it cannot.
void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);
void write_file(const std::filesystem::path& path, std::string_view text);

// A fresh empty directory under $TMPDIR (or /tmp), different on every call, removed at
// process exit.
std::filesystem::path scratch_dir();

}  // namespace vemo::testing
