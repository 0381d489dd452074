#pragma once
// The trace file format: header, warp buffers, value history and operand snapshots; loading
// (mapped, or zstd-decoded into an owned buffer) and the section readers.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/fresh_memory.hpp"
#include "core/worker_pool.hpp"
#include "trace/mapping_guard.hpp"

namespace vemo {

inline constexpr std::uint64_t TRACE_MAGIC = 0x56454D4F00000000ULL;
inline constexpr std::uint32_t TRACE_VERSION = 1;
inline constexpr std::size_t TRACE_HEADER_SIZE = 160;
inline constexpr std::uint32_t TRACE_FLAG_ZSTD = 0x2;
inline constexpr std::uint32_t TRACE_FLAG_HISTORY = 0x4;
inline constexpr std::uint32_t TRACE_FLAG_SAMPLING = 0x8;
inline constexpr std::uint32_t TRACE_FLAG_SNAPSHOTS = 0x10;
inline constexpr std::size_t SNAPSHOT_LANES = 32;
inline constexpr std::size_t KERNEL_NAME_SIZE = 64;

struct TraceHeader {
  std::uint64_t magic = 0;
  std::uint32_t version = 0;
  std::uint32_t flags = 0;
  std::uint64_t kernel_hash = 0;
  std::array<std::uint8_t, KERNEL_NAME_SIZE> kernel_name{};
  std::array<std::uint32_t, 3> grid{};
  std::array<std::uint32_t, 3> block{};
  std::uint32_t warps_per_block = 0;
  std::uint32_t num_warps = 0;
  std::uint32_t events_per_warp = 0;
  std::uint32_t reserved = 0;
  std::uint64_t timestamp = 0;
  std::uint32_t cuda_arch = 0;
  std::uint32_t history_depth = 0;
  std::uint32_t history_offset = 0;
  std::uint32_t sample_rate = 0;
  std::uint32_t snapshot_depth = 0;
  std::uint32_t snapshot_offset = 0;

  // Decodes the first TRACE_HEADER_SIZE bytes of `bytes` (little-endian).
  static TraceHeader decode(std::span<const std::uint8_t, TRACE_HEADER_SIZE> bytes);
  // The inverse of `decode`.
  std::array<std::uint8_t, TRACE_HEADER_SIZE> encode() const;

  bool has_history() const { return (flags & TRACE_FLAG_HISTORY) != 0 && history_depth != 0; }
  bool has_snapshots() const { return (flags & TRACE_FLAG_SNAPSHOTS) != 0 && snapshot_depth != 0; }
  // The name up to its first NUL byte, or "<invalid utf8>" when those bytes are not UTF-8.
  std::string_view kernel_name_text() const;
  // The raw name bytes up to the first NUL (all 64 when there is none).
  std::string_view kernel_name_bytes() const;
};

// The recorded layouts below match the file byte for byte, so records are viewed in place in
// the image; that, and the header decoding, need a little-endian host.
static_assert(std::endian::native == std::endian::little);
struct WarpBufferHeader {
  std::uint32_t reserved0;
  std::uint32_t overflow_count;
  std::uint32_t event_count;
  std::uint32_t reserved1;
};
static_assert(sizeof(WarpBufferHeader) == 16);

enum class EventType : std::uint8_t {
  Branch = 0,
  SharedMemoryStore = 1,
  Atomic = 2,
  FunctionEntry = 3,
  FunctionExit = 4,
  Switch = 5,
  GlobalStore = 6,
};
// "Branch", "Shared Memory Store", ..., "Unknown" for codes 7 to 255.
std::string_view event_type_name(std::uint8_t code);

struct TraceEvent {
  std::uint32_t site_id;
  std::uint8_t event_type;
  std::uint8_t branch_dir;
  std::uint8_t padding[2];
  std::uint32_t active_mask;
  std::uint32_t value;
};
static_assert(sizeof(TraceEvent) == 16);

struct RecordBlockHeader {
  std::uint32_t reserved0;
  std::uint32_t capacity;
  std::uint32_t write_count;
  std::uint32_t reserved1;
};
static_assert(sizeof(RecordBlockHeader) == 16);

struct HistoryEntry {
  std::uint32_t site_id;
  std::uint32_t value;
  std::uint32_t seq;
  std::uint32_t reserved;
};
static_assert(sizeof(HistoryEntry) == 16);

struct OperandSnapshot {
  std::uint32_t site_id;
  std::uint32_t lane_mask;
  std::uint32_t seq;
  std::uint32_t predicate;
  std::array<std::uint32_t, SNAPSHOT_LANES> lhs;
  std::array<std::uint32_t, SNAPSHOT_LANES> rhs;
  std::uint8_t reserved[16];
};
static_assert(sizeof(OperandSnapshot) == 288);

// The comparison predicate numbers of a snapshot, numbered as LLVM's.
using CmpPredicate = std::uint32_t;
inline constexpr CmpPredicate FLOAT_PREDICATE_LIMIT = 16;
// "fcmp false" ... "fcmp true" (0-15), "icmp eq" ... "icmp sle" (32-41), else "cmp".
std::string_view cmp_predicate_name(CmpPredicate predicate);

// The byte image of a trace: a read-only mapping of the file, or an owned 16-byte-aligned
// buffer holding the header followed by the decoded payload.
class TraceData {
 public:
  // `shown_path` names the file if it shrinks while mapped (see mapping_guard.hpp).
  static TraceData mapped(void* address, std::size_t mapping_length, std::size_t length,
                          std::string_view shown_path);
  static TraceData owned(std::size_t length);  // zero-filled
  // The same, or nothing when memory runs out; a large image grows in place up to `room`
  // bytes (see FreshBlock).
  static std::optional<TraceData> allocate(std::size_t length, std::uint64_t room = 0);
  // Resizes an owned image; bytes added are not initialised, and shrinking gives back the room
  // to grow. False for a mapping or when memory runs out (the image is then unchanged).
  bool resize(std::size_t length);

  TraceData(TraceData&& other) noexcept;
  TraceData& operator=(TraceData&& other) noexcept;
  TraceData(const TraceData&) = delete;
  TraceData& operator=(const TraceData&) = delete;
  ~TraceData();

  bool is_mapped() const { return mapping_length_ != 0; }
  const std::uint8_t* data() const { return data_; }
  std::uint8_t* mutable_data() { return is_mapped() ? nullptr : data_; }
  std::size_t size() const { return size_; }
  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

 private:
  TraceData() = default;
  void release();

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapping_length_ = 0;  // non-zero for a mapping
  MappingRegistration registration_;
  FreshBlock owned_;  // the buffer of an owned image
};

struct Trace {
  TraceData data;
  TraceHeader header;
  std::uint64_t warp_data_offset = TRACE_HEADER_SIZE;
  std::uint64_t warp_stride = 0;
};

struct WarpView {
  const WarpBufferHeader* header;
  std::span<const TraceEvent> events;
};

struct LoadOptions {
  // The largest image a compressed trace may decode to; past it the load fails as out of
  // memory instead of the process being killed.
  std::uint64_t image_limit = UINT64_MAX;
  // Where a pair is loaded and a compressed trace decoded in parallel; null for the calling
  // thread alone.
  WorkerPool* workers = nullptr;
};

// The pool that `options` names, or the calling thread alone.
inline WorkerPool& load_workers(const LoadOptions& options) {
  return options.workers != nullptr ? *options.workers : calling_thread_pool();
}

Result<Trace> load_trace(const std::string& path, const LoadOptions& options = {});

struct TracePair {
  Trace a;
  Trace b;
};
struct TracePairFailure {
  bool in_b;  // false: trace A failed (B may not have been read)
  Error error;
};
// Loads trace A, then trace B while A's payload is decoded; B is not opened when A cannot be.
// A's error wins when both fail.
std::expected<TracePair, TracePairFailure> load_trace_pair(const std::string& path_a,
                                                           const std::string& path_b,
                                                           const LoadOptions& options = {});
// The last loading step: checks that the warp buffers fit in the image.
Result<Trace> finish_trace(TraceData data, const TraceHeader& header);

Result<WarpView> warp_events(const Trace& trace, std::uint64_t warp);
// The same without saying why a warp cannot be read, for loops over every warp that skip such
// warps: inline, since it runs once or twice per warp of a comparison.
inline std::optional<WarpView> readable_warp(const Trace& trace, std::uint64_t warp) {
  constexpr std::uint64_t buffer_header_size = sizeof(WarpBufferHeader);
  if (warp >= trace.header.num_warps || trace.warp_stride < buffer_header_size) return {};
  std::uint64_t offset = 0;
  if (__builtin_mul_overflow(warp, trace.warp_stride, &offset) ||
      __builtin_add_overflow(offset, trace.warp_data_offset, &offset) ||
      offset > trace.data.size() || trace.data.size() - offset < trace.warp_stride) {
    return {};
  }
  const std::uint8_t* buffer = trace.data.data() + offset;
  const auto address = reinterpret_cast<std::uintptr_t>(buffer);
  if (address % alignof(WarpBufferHeader) != 0 || address % alignof(TraceEvent) != 0) return {};
  const auto* buffer_header = reinterpret_cast<const WarpBufferHeader*>(buffer);
  const std::uint64_t slots = (trace.warp_stride - buffer_header_size) / sizeof(TraceEvent);
  const std::uint64_t count = std::min<std::uint64_t>(buffer_header->event_count, slots);
  const auto* events = reinterpret_cast<const TraceEvent*>(buffer + buffer_header_size);
  return WarpView{buffer_header, std::span(events, static_cast<std::size_t>(count))};
}

struct WarpTotals {
  std::uint64_t events = 0;  // the raw event counts, not limited to events_per_warp
  std::uint64_t overflows = 0;
};
// Sums over the warps from `first` on whose buffer can be read; the others are left out
// silently. Summed on `workers`: each warp's header sits on a page of its own, so one thread
// alone would wait on a miss per warp.
WarpTotals warp_totals(const Trace& trace, WorkerPool& workers = calling_thread_pool(),
                       std::uint64_t first = 0);

Result<std::vector<HistoryEntry>> history_entries(const Trace& trace, std::uint64_t warp);
// The same, with a failure shown as an empty history.
std::vector<HistoryEntry> history_or_empty(const Trace& trace, std::uint64_t warp);
Result<std::optional<OperandSnapshot>> find_snapshot(const Trace& trace, std::uint64_t warp,
                                                     std::uint32_t site_id);

}  // namespace vemo
