#pragma once
// Builds trace images in memory for tests: header fields, warp buffers and events, value
// history and operand snapshots, optional zstd compression in one or several frames.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "parser.hpp"

namespace vemo::testing {

// One event; `mask` defaults to all 32 lanes active.
TraceEvent event(std::uint32_t site_id, std::uint8_t event_type = 0, std::uint8_t branch_dir = 0,
                 std::uint32_t active_mask = 0xffffffff, std::uint32_t value = 0);

struct WarpSpec {
  std::vector<TraceEvent> events;            // written into the first slots
  std::optional<std::uint32_t> event_count;  // default: events.size()
  std::uint32_t overflow_count = 0;
};

struct BlockSpec {
  std::uint32_t capacity = 0;  // default when unset by the helpers: the entry count
  std::uint32_t write_count = 0;
};

struct HistorySpec {
  BlockSpec block;
  std::vector<HistoryEntry> entries;  // written into the first slots
};

struct SnapshotSpec {
  BlockSpec block;
  std::vector<OperandSnapshot> entries;
};

class TraceBuilder {
 public:
  // A valid header: magic, version 1, kernel "test_kernel", hash 0x1234, grid [1, 1, 1],
  // block [32, 1, 1], warps_per_block 1, no warps, events_per_warp 0.
  TraceBuilder();

  TraceHeader header;
  std::map<std::uint32_t, WarpSpec> warps;  // warps not listed are empty

  TraceBuilder& kernel(std::string_view name, std::uint64_t hash);
  // Sets num_warps and events_per_warp.
  TraceBuilder& shape(std::uint32_t num_warps, std::uint32_t events_per_warp);
  // Sets the events of `warp` (event_count = their number unless given afterwards).
  TraceBuilder& warp(std::uint32_t warp, std::vector<TraceEvent> events);

  // Value history: sets flag 0x4 and history_depth; blocks per warp (missing warps empty).
  TraceBuilder& history(std::uint32_t depth, std::map<std::uint32_t, HistorySpec> blocks);
  // Operand snapshots: sets flag 0x10 and snapshot_depth.
  TraceBuilder& snapshots(std::uint32_t depth, std::map<std::uint32_t, SnapshotSpec> blocks);

  // The uncompressed image: header, warp buffers, then the history and snapshot sections at
  // their default positions (unless history_offset / snapshot_offset were set in `header`,
  // then at those offsets).
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

// A snapshot record with the given fields; lanes not listed are zero.
OperandSnapshot snapshot(std::uint32_t site_id, std::uint32_t lane_mask, std::uint32_t seq,
                         std::uint32_t predicate, std::vector<std::uint32_t> lhs = {},
                         std::vector<std::uint32_t> rhs = {});

// Writes raw bytes to `path`.
void write_file(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
void write_file(const std::filesystem::path& path, std::string_view text);

// A fresh empty directory for the running test, removed at process exit.
std::filesystem::path scratch_dir();

}  // namespace vemo::testing
