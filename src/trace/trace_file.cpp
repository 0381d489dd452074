#include "trace/trace_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include <fmt/format.h>

#include "core/file_io.hpp"
#include "core/fresh_memory.hpp"
#include "core/text.hpp"
#include "trace/zstd_image.hpp"

namespace vemo {

namespace {

// Wide enough for every offset a header can describe (num_warps × stride reaches 2^68).
__extension__ typedef unsigned __int128 Wide;

constexpr std::size_t IMAGE_ALIGNMENT = 16;
// Owned images are fresh blocks, aligned for max_align_t.
static_assert(alignof(std::max_align_t) >= IMAGE_ALIGNMENT);
constexpr std::uint64_t RECORD_HEADER_SIZE = 16;
constexpr std::uint64_t EVENT_SIZE = sizeof(TraceEvent);
constexpr std::uint64_t HISTORY_ENTRY_SIZE = sizeof(HistoryEntry);
constexpr std::uint64_t SNAPSHOT_SIZE = sizeof(OperandSnapshot);
constexpr std::string_view MISALIGNED = "TargetAlignmentGreaterAndInputNotAligned";

template <class T>
T load_le(const std::uint8_t* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

template <class T>
void store_le(std::uint8_t* bytes, T value) {
  std::memcpy(bytes, &value, sizeof value);
}

// Calls `visit(offset, field)` for every numeric header field at its file offset.
template <class Header, class Visit>
void visit_header_fields(Header& h, Visit&& visit) {
  visit(0, h.magic);
  visit(8, h.version);
  visit(12, h.flags);
  visit(16, h.kernel_hash);
  for (std::size_t i = 0; i < 3; ++i) visit(88 + 4 * i, h.grid[i]);
  for (std::size_t i = 0; i < 3; ++i) visit(100 + 4 * i, h.block[i]);
  visit(112, h.warps_per_block);
  visit(116, h.num_warps);
  visit(120, h.events_per_warp);
  visit(124, h.reserved);
  visit(128, h.timestamp);
  visit(136, h.cuda_arch);
  visit(140, h.history_depth);
  visit(144, h.history_offset);
  visit(148, h.sample_rate);
  visit(152, h.snapshot_depth);
  visit(156, h.snapshot_offset);
}
constexpr std::size_t KERNEL_NAME_OFFSET = 24;

std::uint64_t stride_of(const TraceHeader& header) {
  return RECORD_HEADER_SIZE + EVENT_SIZE * header.events_per_warp;
}

Wide warp_region_end(const TraceHeader& header) {
  return Wide{TRACE_HEADER_SIZE} + Wide{header.num_warps} * stride_of(header);
}

std::uint64_t history_block_size(const TraceHeader& header) {
  return RECORD_HEADER_SIZE + HISTORY_ENTRY_SIZE * header.history_depth;
}

std::uint64_t snapshot_block_size(const TraceHeader& header) {
  return RECORD_HEADER_SIZE + SNAPSHOT_SIZE * header.snapshot_depth;
}

Wide history_section_start(const TraceHeader& header) {
  if (header.history_offset != 0) return header.history_offset;
  return warp_region_end(header);
}

Wide snapshot_section_start(const TraceHeader& header) {
  if (header.snapshot_offset != 0) return header.snapshot_offset;
  Wide start = warp_region_end(header);
  if (header.has_history()) start += Wide{header.num_warps} * history_block_size(header);
  return start;
}

Error warp_out_of_range(std::uint64_t warp, const TraceHeader& header) {
  return Error(fmt::format("Warp index {} out of range (total warps: {})", warp, header.num_warps));
}

// Where one warp's block of a record section lies, if it lies inside the image.
struct Block {
  std::size_t offset;
  std::size_t size;
};

std::optional<Block> section_block(const Trace& trace, Wide section_start, std::uint64_t block_size,
                                   std::uint64_t warp) {
  const Wide start = section_start + Wide{warp} * block_size;
  const Wide end = start + block_size;
  if (end > trace.data.size()) return std::nullopt;
  return Block{static_cast<std::size_t>(start), static_cast<std::size_t>(block_size)};
}

RecordBlockHeader block_header(const Trace& trace, const Block& block) {
  RecordBlockHeader header;
  std::memcpy(&header, trace.data.data() + block.offset, sizeof header);
  return header;
}

std::uint32_t filled_slots(const RecordBlockHeader& header, std::uint32_t depth) {
  return std::min({header.capacity, header.write_count, depth});
}

Result<TraceData> map_file(const FileDescriptor& file, const std::string& shown_path) {
  const auto mmap_error = [&](Error cause) {
    return std::move(cause).context(fmt::format("Failed to mmap trace file: {}", shown_path));
  };
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return fail(mmap_error(Error::system(errno)));
  // A FIFO, directory or device cannot be mapped as a file image; refused here as mmap would.
  if (!S_ISREG(status.st_mode)) return fail(mmap_error(Error::system(ENODEV)));
  if (status.st_size < 0) {
    return fail(mmap_error(Error("mapping length overflows the signed size range")));
  }
  const auto size = static_cast<std::size_t>(status.st_size);
  // An empty file still gets a one-byte mapping so the address is valid.
  const std::size_t mapping_length = std::max<std::size_t>(size, 1);
  void* address = ::mmap(nullptr, mapping_length, PROT_READ, MAP_SHARED, file.get(), 0);
  if (address == MAP_FAILED) return fail(mmap_error(Error::system(errno)));
  return TraceData::mapped(address, mapping_length, size, shown_path);
}

// The file mapped, with its header checked: every loading step before the payload.
struct OpenedTrace {
  TraceData mapping;
  TraceHeader header;
};

Result<OpenedTrace> open_trace(const std::string& path) {
  const std::string shown_path = lossy_utf8(path);
  // Non-blocking, so that opening a FIFO returns at once (it is refused when mapped).
  const auto file = open_file(path, O_RDONLY | O_NONBLOCK);
  if (!file) {
    return fail(file.error().context(fmt::format("Failed to open trace file: {}", shown_path)));
  }
  auto mapping = map_file(*file, shown_path);
  if (!mapping) return fail(std::move(mapping.error()));
  if (mapping->size() < TRACE_HEADER_SIZE) {
    return fail("File too small: {} bytes (expected at least {})", mapping->size(),
                TRACE_HEADER_SIZE);
  }
  const TraceHeader header = TraceHeader::decode(mapping->bytes().first<TRACE_HEADER_SIZE>());
  if (header.magic != TRACE_MAGIC) {
    return fail("Invalid magic number: 0x{:016x} (expected 0x{:016x})", header.magic, TRACE_MAGIC);
  }
  if (header.version != TRACE_VERSION) {
    return fail("Unsupported version: {} (expected {})", header.version, TRACE_VERSION);
  }
  return OpenedTrace{std::move(*mapping), header};
}

// Decodes the payload of a compressed trace, then checks that the warp buffers fit.
Result<Trace> complete_trace(OpenedTrace opened, const LoadOptions& options) {
  if ((opened.header.flags & TRACE_FLAG_ZSTD) == 0) {
    return finish_trace(std::move(opened.mapping), opened.header);
  }
  auto image = decode_zstd_image(opened.mapping, options);
  if (!image) return fail(std::move(image.error()));
  opened.mapping = std::move(*image);  // releases the mapping
  return finish_trace(std::move(opened.mapping), opened.header);
}

}  // namespace

TraceHeader TraceHeader::decode(std::span<const std::uint8_t, TRACE_HEADER_SIZE> bytes) {
  TraceHeader header;
  visit_header_fields(header, [&](std::size_t offset, auto& field) {
    field = load_le<std::remove_reference_t<decltype(field)>>(bytes.data() + offset);
  });
  std::memcpy(header.kernel_name.data(), bytes.data() + KERNEL_NAME_OFFSET, KERNEL_NAME_SIZE);
  return header;
}

std::array<std::uint8_t, TRACE_HEADER_SIZE> TraceHeader::encode() const {
  std::array<std::uint8_t, TRACE_HEADER_SIZE> bytes{};
  visit_header_fields(*this, [&](std::size_t offset, const auto& field) {
    store_le(bytes.data() + offset, field);
  });
  std::memcpy(bytes.data() + KERNEL_NAME_OFFSET, kernel_name.data(), KERNEL_NAME_SIZE);
  return bytes;
}

std::string_view TraceHeader::kernel_name_bytes() const {
  const auto* begin = reinterpret_cast<const char*>(kernel_name.data());
  const auto* nul = static_cast<const char*>(std::memchr(begin, 0, KERNEL_NAME_SIZE));
  return {begin, nul != nullptr ? static_cast<std::size_t>(nul - begin) : KERNEL_NAME_SIZE};
}

std::string_view TraceHeader::kernel_name_text() const {
  const std::string_view name = kernel_name_bytes();
  return is_valid_utf8(name) ? name : std::string_view("<invalid utf8>");
}

std::string_view event_type_name(std::uint8_t code) {
  static constexpr std::string_view names[] = {"Branch",         "Shared Memory Store", "Atomic",
                                               "Function Entry", "Function Exit",       "Switch",
                                               "Global Store"};
  return code < std::size(names) ? names[code] : "Unknown";
}

std::string_view cmp_predicate_name(CmpPredicate predicate) {
  static constexpr std::string_view float_names[] = {
      "fcmp false", "fcmp oeq", "fcmp ogt", "fcmp oge", "fcmp olt", "fcmp ole",
      "fcmp one",   "fcmp ord", "fcmp uno", "fcmp ueq", "fcmp ugt", "fcmp uge",
      "fcmp ult",   "fcmp ule", "fcmp une", "fcmp true"};
  static constexpr std::string_view int_names[] = {"icmp eq",  "icmp ne",  "icmp ugt", "icmp uge",
                                                   "icmp ult", "icmp ule", "icmp sgt", "icmp sge",
                                                   "icmp slt", "icmp sle"};
  constexpr CmpPredicate first_int = 32;
  if (predicate < std::size(float_names)) return float_names[predicate];
  if (predicate >= first_int && predicate - first_int < std::size(int_names)) {
    return int_names[predicate - first_int];
  }
  return "cmp";
}

TraceData TraceData::mapped(void* address, std::size_t mapping_length, std::size_t length,
                            std::string_view shown_path) {
  TraceData data;
  data.data_ = static_cast<std::uint8_t*>(address);
  data.mapping_length_ = mapping_length;
  data.size_ = length;
  data.registration_ = MappingRegistration(address, mapping_length, shown_path);
  return data;
}

TraceData TraceData::owned(std::size_t length) {
  auto data = allocate(length);
  if (!data) throw std::bad_alloc();
  return std::move(*data);
}

std::optional<TraceData> TraceData::allocate(std::size_t length, std::uint64_t room) {
  auto block = FreshBlock::allocate(length, room);
  if (!block) return std::nullopt;
  TraceData data;
  data.data_ = block->data();
  data.size_ = length;
  data.owned_ = std::move(*block);
  return data;
}

bool TraceData::resize(std::size_t length) {
  if (is_mapped() || !owned_.resize(length)) return false;
  data_ = owned_.data();
  size_ = length;
  return true;
}

TraceData::TraceData(TraceData&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapping_length_(std::exchange(other.mapping_length_, 0)),
      registration_(std::move(other.registration_)),
      owned_(std::move(other.owned_)) {}

TraceData& TraceData::operator=(TraceData&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapping_length_ = std::exchange(other.mapping_length_, 0);
    registration_ = std::move(other.registration_);
    owned_ = std::move(other.owned_);
  }
  return *this;
}

TraceData::~TraceData() {
  release();
}

void TraceData::release() {
  if (data_ == nullptr) return;
  if (is_mapped()) {
    registration_.reset();
    ::munmap(data_, mapping_length_);
  } else {
    owned_ = FreshBlock();
  }
  data_ = nullptr;
  size_ = 0;
  mapping_length_ = 0;
}

Result<Trace> load_trace(const std::string& path, const LoadOptions& options) {
  auto opened = open_trace(path);
  if (!opened) return fail(std::move(opened.error()));
  return complete_trace(std::move(*opened), options);
}

std::expected<TracePair, TracePairFailure> load_trace_pair(const std::string& path_a,
                                                           const std::string& path_b,
                                                           const LoadOptions& options) {
  auto opened_a = open_trace(path_a);
  if (!opened_a) return std::unexpected(TracePairFailure{false, std::move(opened_a.error())});
  std::optional<Result<Trace>> a;
  std::optional<Result<Trace>> b;
  load_workers(options).invoke([&] { a = complete_trace(std::move(*opened_a), options); },
                               [&] { b = load_trace(path_b, options); });
  if (!*a) return std::unexpected(TracePairFailure{false, std::move(a->error())});
  if (!*b) return std::unexpected(TracePairFailure{true, std::move(b->error())});
  return TracePair{std::move(**a), std::move(**b)};
}

Result<Trace> finish_trace(TraceData data, const TraceHeader& header) {
  const Wide required = warp_region_end(header);
  if (Wide{data.size()} < required) {
    return fail("Data too small: {} bytes (expected {} bytes for {} warps)", data.size(), required,
                header.num_warps);
  }
  return Trace{std::move(data), header, TRACE_HEADER_SIZE, stride_of(header)};
}

Result<WarpView> warp_events(const Trace& trace, std::uint64_t warp) {
  if (auto view = readable_warp(trace, warp)) return *view;
  const TraceHeader& header = trace.header;
  if (warp >= header.num_warps) return fail(warp_out_of_range(warp, header));
  const Wide start = Wide{trace.warp_data_offset} + Wide{warp} * trace.warp_stride;
  if (trace.warp_stride < RECORD_HEADER_SIZE || start + trace.warp_stride > trace.data.size()) {
    return fail("Warp buffer extends beyond file boundary");
  }
  return fail("Failed to cast events data: {}", MISALIGNED);
}

WarpTotals warp_totals(const Trace& trace, WorkerPool& workers, std::uint64_t first) {
  // A few thousand headers are read in less time than a hand-over to another thread takes.
  constexpr std::size_t MOST_BLOCKS = 1024;
  constexpr std::size_t LEAST_WARPS = 4096;
  const std::uint64_t warps = trace.header.num_warps;
  if (first >= warps) return {};
  const IndexBlocks blocks(warps - first, MOST_BLOCKS, LEAST_WARPS);
  std::vector<WarpTotals> sums(blocks.count());
  blocks.for_each(workers, [&](std::size_t block, std::size_t from, std::size_t to) {
    WarpTotals& sum = sums[block];
    for (std::uint64_t warp = first + from; warp < first + to; ++warp) {
      const auto view = readable_warp(trace, warp);
      if (!view) continue;
      sum.events += view->header->event_count;
      sum.overflows += view->header->overflow_count;
    }
  });
  WarpTotals totals;
  for (const WarpTotals& sum : sums) {
    totals.events += sum.events;
    totals.overflows += sum.overflows;
  }
  return totals;
}

Result<std::vector<HistoryEntry>> history_entries(const Trace& trace, std::uint64_t warp) {
  const TraceHeader& header = trace.header;
  if (!header.has_history()) return std::vector<HistoryEntry>{};
  if (warp >= header.num_warps) return fail(warp_out_of_range(warp, header));
  const auto block =
      section_block(trace, history_section_start(header), history_block_size(header), warp);
  if (!block) return std::vector<HistoryEntry>{};
  if (block->offset % IMAGE_ALIGNMENT != 0) {
    return fail("Failed to cast history entries: {}", MISALIGNED);
  }
  const std::uint32_t count = filled_slots(block_header(trace, *block), header.history_depth);
  std::vector<HistoryEntry> entries(count);
  if (count != 0) {
    std::memcpy(entries.data(), trace.data.data() + block->offset + RECORD_HEADER_SIZE,
                count * HISTORY_ENTRY_SIZE);
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const HistoryEntry& a, const HistoryEntry& b) { return a.seq < b.seq; });
  return entries;
}

std::vector<HistoryEntry> history_or_empty(const Trace& trace, std::uint64_t warp) {
  auto entries = history_entries(trace, warp);
  return entries ? std::move(*entries) : std::vector<HistoryEntry>{};
}

Result<std::optional<OperandSnapshot>> find_snapshot(const Trace& trace, std::uint64_t warp,
                                                     std::uint32_t site_id) {
  const TraceHeader& header = trace.header;
  if (!header.has_snapshots()) return std::optional<OperandSnapshot>{};
  if (warp >= header.num_warps) return fail(warp_out_of_range(warp, header));
  const auto block =
      section_block(trace, snapshot_section_start(header), snapshot_block_size(header), warp);
  if (!block) return std::optional<OperandSnapshot>{};
  if (block->offset % IMAGE_ALIGNMENT != 0) {
    return fail("Failed to cast snapshot entries: {}", MISALIGNED);
  }
  const std::uint32_t count = filled_slots(block_header(trace, *block), header.snapshot_depth);
  const std::uint8_t* slots = trace.data.data() + block->offset + RECORD_HEADER_SIZE;
  const std::uint8_t* best = nullptr;
  std::uint32_t best_seq = 0;
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    const std::uint8_t* record = slots + std::size_t{slot} * SNAPSHOT_SIZE;
    const auto slot_site = load_le<std::uint32_t>(record + offsetof(OperandSnapshot, site_id));
    const auto slot_seq = load_le<std::uint32_t>(record + offsetof(OperandSnapshot, seq));
    if (slot_site != site_id) continue;
    if (best == nullptr || slot_seq > best_seq) {
      best = record;
      best_seq = slot_seq;
    }
  }
  if (best == nullptr) return std::optional<OperandSnapshot>{};
  OperandSnapshot snapshot;
  std::memcpy(&snapshot, best, sizeof snapshot);
  return std::optional(snapshot);
}

}  // namespace vemo
