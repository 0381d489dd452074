#include "support/trace_builder.hpp"

#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>

namespace vemo::testing {

namespace {

constexpr std::size_t BLOCK_HEADER_SIZE = 16;

std::size_t history_block_size(const TraceHeader& h) {
  return BLOCK_HEADER_SIZE + sizeof(HistoryEntry) * h.history_depth;
}

std::size_t snapshot_block_size(const TraceHeader& h) {
  return BLOCK_HEADER_SIZE + sizeof(OperandSnapshot) * h.snapshot_depth;
}

std::size_t warp_stride(const TraceHeader& h) {
  return BLOCK_HEADER_SIZE + sizeof(TraceEvent) * h.events_per_warp;
}

std::size_t warps_end(const TraceHeader& h) {
  return TRACE_HEADER_SIZE + std::size_t{h.num_warps} * warp_stride(h);
}

std::size_t history_start(const TraceHeader& h) {
  return h.history_offset != 0 ? h.history_offset : warps_end(h);
}

std::size_t snapshot_start(const TraceHeader& h) {
  if (h.snapshot_offset != 0) return h.snapshot_offset;
  std::size_t start = warps_end(h);
  if (h.has_history()) start += std::size_t{h.num_warps} * history_block_size(h);
  return start;
}

template <class T>
void put(std::vector<std::uint8_t>& image, std::size_t offset, const T& value) {
  std::memcpy(image.data() + offset, &value, sizeof value);
}

void check_warp(const TraceHeader& h, std::uint32_t warp, std::string_view what) {
  if (warp >= h.num_warps) {
    throw std::invalid_argument(
        fmt::format("{} for warp {} of a trace with {} warps", what, warp, h.num_warps));
  }
}

template <class Spec>
void put_blocks(std::vector<std::uint8_t>& image, const TraceHeader& h,
                const std::map<std::uint32_t, Spec>& blocks, std::size_t start,
                std::size_t block_size, std::uint32_t depth, std::string_view what) {
  for (const auto& [warp, spec] : blocks) {
    check_warp(h, warp, what);
    if (spec.entries.size() > depth) {
      throw std::invalid_argument(fmt::format("{} entries of warp {} exceed the depth {}",
                                              spec.entries.size(), warp, depth));
    }
    const std::size_t offset = start + warp * block_size;
    const auto count = static_cast<std::uint32_t>(spec.entries.size());
    put(image, offset,
        RecordBlockHeader{0, spec.block.capacity.value_or(count),
                          spec.block.write_count.value_or(count), 0});
    for (std::size_t i = 0; i < spec.entries.size(); ++i) {
      put(image, offset + BLOCK_HEADER_SIZE + i * sizeof(spec.entries[i]), spec.entries[i]);
    }
  }
}

// Directories handed out by scratch_dir(), removed when the process exits.
class ScratchDirs {
 public:
  ScratchDirs(const ScratchDirs&) = delete;
  ScratchDirs& operator=(const ScratchDirs&) = delete;

  static ScratchDirs& instance() {
    static ScratchDirs dirs;
    return dirs;
  }

  std::filesystem::path make() {
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    std::string pattern = (base / "vemo-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot create a scratch directory under " + base.string());
    }
    std::lock_guard lock(mutex_);
    dirs_.emplace_back(pattern);
    return dirs_.back();
  }

 private:
  ScratchDirs() : owner_(::getpid()) {}
  ~ScratchDirs() {
    // A forked child that exits must not take its parent's directories with it.
    if (::getpid() != owner_) return;
    for (const auto& dir : dirs_) {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  }

  pid_t owner_;
  std::mutex mutex_;
  std::vector<std::filesystem::path> dirs_;
};

}  // namespace

TraceEvent event(std::uint32_t site_id, std::uint8_t event_type, std::uint8_t branch_dir,
                 std::uint32_t active_mask, std::uint32_t value) {
  return TraceEvent{site_id, event_type, branch_dir, {0, 0}, active_mask, value};
}

std::vector<TraceEvent> loop_events(std::uint32_t count, std::uint32_t first_site) {
  std::vector<TraceEvent> events;
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint32_t noise = k * 2654435761u;
    const EventType type = k % 16 == 15 ? EventType::GlobalStore : EventType::Branch;
    events.push_back(event(first_site + k % 16, static_cast<std::uint8_t>(type),
                           static_cast<std::uint8_t>(noise >> 31),
                           (noise & 0x300) == 0x300 ? 0xffffu : 0xffffffffu, noise >> 8));
  }
  return events;
}

std::vector<TraceEvent> with_padding(std::vector<TraceEvent> events, std::uint8_t fill) {
  for (TraceEvent& e : events) e.padding[0] = e.padding[1] = fill;
  return events;
}

TraceBuilder::TraceBuilder() {
  header.magic = TRACE_MAGIC;
  header.version = TRACE_VERSION;
  header.grid = {1, 1, 1};
  header.block = {32, 1, 1};
  header.warps_per_block = 1;
  kernel("test_kernel", 0x1234);
}

TraceBuilder& TraceBuilder::kernel(std::string_view name, std::uint64_t hash) {
  header.kernel_name.fill(0);
  std::memcpy(header.kernel_name.data(), name.data(), std::min(name.size(), KERNEL_NAME_SIZE));
  header.kernel_hash = hash;
  return *this;
}

TraceBuilder& TraceBuilder::shape(std::uint32_t num_warps, std::uint32_t events_per_warp) {
  header.num_warps = num_warps;
  header.events_per_warp = events_per_warp;
  return *this;
}

TraceBuilder& TraceBuilder::warp(std::uint32_t warp, std::vector<TraceEvent> events) {
  warps[warp] = WarpSpec{std::move(events), std::nullopt, 0};
  return *this;
}

TraceBuilder& TraceBuilder::history(std::uint32_t depth,
                                    std::map<std::uint32_t, HistorySpec> blocks) {
  header.flags |= TRACE_FLAG_HISTORY;
  header.history_depth = depth;
  history_ = std::move(blocks);
  return *this;
}

TraceBuilder& TraceBuilder::snapshots(std::uint32_t depth,
                                      std::map<std::uint32_t, SnapshotSpec> blocks) {
  header.flags |= TRACE_FLAG_SNAPSHOTS;
  header.snapshot_depth = depth;
  snapshots_ = std::move(blocks);
  return *this;
}

std::vector<std::uint8_t> TraceBuilder::image() const {
  const TraceHeader& h = header;
  std::size_t size = warps_end(h);
  if (h.has_history()) {
    size = std::max(size, history_start(h) + h.num_warps * history_block_size(h));
  }
  if (h.has_snapshots()) {
    size = std::max(size, snapshot_start(h) + h.num_warps * snapshot_block_size(h));
  }
  std::vector<std::uint8_t> image(size, 0);
  const auto encoded = h.encode();
  std::copy(encoded.begin(), encoded.end(), image.begin());

  for (const auto& [warp, spec] : warps) {
    check_warp(h, warp, "events");
    if (spec.events.size() > h.events_per_warp) {
      throw std::invalid_argument(fmt::format("{} events of warp {} exceed events_per_warp {}",
                                              spec.events.size(), warp, h.events_per_warp));
    }
    const std::size_t offset = TRACE_HEADER_SIZE + warp * warp_stride(h);
    const auto count = static_cast<std::uint32_t>(spec.events.size());
    put(image, offset,
        WarpBufferHeader{0, spec.overflow_count, spec.event_count.value_or(count), 0});
    for (std::size_t i = 0; i < spec.events.size(); ++i) {
      put(image, offset + BLOCK_HEADER_SIZE + i * sizeof(TraceEvent), spec.events[i]);
    }
  }
  if (h.has_history()) {
    put_blocks(image, h, history_, history_start(h), history_block_size(h), h.history_depth,
               "history");
  }
  if (h.has_snapshots()) {
    put_blocks(image, h, snapshots_, snapshot_start(h), snapshot_block_size(h), h.snapshot_depth,
               "snapshots");
  }
  return image;
}

std::vector<std::uint8_t> TraceBuilder::file_bytes(int frames) const {
  std::vector<std::uint8_t> bytes = image();
  if (frames <= 0) return bytes;
  TraceHeader compressed = header;
  compressed.flags |= TRACE_FLAG_ZSTD;
  const auto encoded = compressed.encode();
  std::vector<std::uint8_t> file(encoded.begin(), encoded.end());
  const auto payload = zstd_frames(std::span(bytes).subspan(TRACE_HEADER_SIZE), frames);
  file.insert(file.end(), payload.begin(), payload.end());
  return file;
}

std::string TraceBuilder::write(const std::filesystem::path& path, int frames) const {
  write_file(path, file_bytes(frames));
  return path.string();
}

Trace TraceBuilder::build() const {
  return trace_from_image(image()).value();
}

Result<Trace> trace_from_image(std::span<const std::uint8_t> image) {
  if (image.size() < TRACE_HEADER_SIZE) {
    throw std::invalid_argument("an image needs at least the 160 header bytes");
  }
  TraceData data = TraceData::owned(image.size());
  std::memcpy(data.mutable_data(), image.data(), image.size());
  return finish_trace(std::move(data), TraceHeader::decode(image.first<TRACE_HEADER_SIZE>()));
}

HistoryEntry history_entry(std::uint32_t site_id, std::uint32_t value, std::uint32_t seq) {
  return HistoryEntry{site_id, value, seq, 0};
}

OperandSnapshot snapshot(std::uint32_t site_id, std::uint32_t lane_mask, std::uint32_t seq,
                         std::uint32_t predicate, std::vector<std::uint32_t> lhs,
                         std::vector<std::uint32_t> rhs) {
  OperandSnapshot record{};
  record.site_id = site_id;
  record.lane_mask = lane_mask;
  record.seq = seq;
  record.predicate = predicate;
  std::copy_n(lhs.begin(), std::min(lhs.size(), SNAPSHOT_LANES), record.lhs.begin());
  std::copy_n(rhs.begin(), std::min(rhs.size(), SNAPSHOT_LANES), record.rhs.begin());
  return record;
}

std::vector<std::uint8_t> zstd_frames(std::span<const std::uint8_t> bytes, int frames, bool sized) {
  const std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(),
                                                                     ZSTD_freeCCtx);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, sized ? 1 : 0);
  std::vector<std::uint8_t> out;
  const auto count = static_cast<std::size_t>(std::max(frames, 1));
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t begin = i * bytes.size() / count;
    const std::size_t end = (i + 1) * bytes.size() / count;
    const auto piece = bytes.subspan(begin, end - begin);
    std::vector<std::uint8_t> frame(ZSTD_compressBound(piece.size()));
    const std::size_t size =
        ZSTD_compress2(context.get(), frame.data(), frame.size(), piece.data(), piece.size());
    if (ZSTD_isError(size)) throw std::runtime_error(ZSTD_getErrorName(size));
    out.insert(out.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(size));
  }
  return out;
}

void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

void write_file(const std::filesystem::path& path, std::string_view text) {
  write_file(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::filesystem::path scratch_dir() {
  return ScratchDirs::instance().make();
}

}  // namespace vemo::testing
