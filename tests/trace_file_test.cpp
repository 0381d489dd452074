#include "trace/trace_file.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The message of a failed result followed by its causes.
template <class T>
std::vector<std::string> error_chain(const Result<T>& result) {
  if (result) return {"<success>"};
  std::vector<std::string> chain{result.error().message()};
  for (auto& cause : result.error().causes()) chain.push_back(cause);
  return chain;
}

std::string error_message(const auto& result) {
  return error_chain(result).front();
}

std::size_t open_descriptor_count() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// The number of this process's mappings of files under `dir`.
std::size_t mapping_count(const std::filesystem::path& dir) {
  std::ifstream maps("/proc/self/maps");
  std::size_t count = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.find(dir.string() + "/") != std::string::npos) ++count;
  }
  return count;
}

// A builder with two warps of four event slots: 160 + 2 × 80 = 320 bytes.
TraceBuilder two_warps() {
  TraceBuilder builder;
  builder.shape(2, 4)
      .warp(0, {event(1, 0, 1), event(2, 2, 0, 0xff, 7)})
      .warp(1, {event(3, 5, 0, 0x1, 9)});
  return builder;
}

Bytes header_only(const TraceHeader& header) {
  const auto encoded = header.encode();
  return {encoded.begin(), encoded.end()};
}

Bytes header_with_zstd_garbage() {
  TraceBuilder builder;
  builder.header.flags = TRACE_FLAG_ZSTD;
  Bytes bytes = header_only(builder.header);
  bytes.insert(bytes.end(), 32, 0x5a);
  return bytes;
}

// ---- Header layout and names ----

TEST(TraceHeaderTest, DecodesEveryFieldFromItsOffset) {
  struct Field {
    std::size_t offset;
    std::size_t width;
    std::uint64_t (*get)(const TraceHeader&);
  };
  const Field fields[] = {
      {0, 8, [](const TraceHeader& h) -> std::uint64_t { return h.magic; }},
      {8, 4, [](const TraceHeader& h) -> std::uint64_t { return h.version; }},
      {12, 4, [](const TraceHeader& h) -> std::uint64_t { return h.flags; }},
      {16, 8, [](const TraceHeader& h) -> std::uint64_t { return h.kernel_hash; }},
      {88, 4, [](const TraceHeader& h) -> std::uint64_t { return h.grid[0]; }},
      {92, 4, [](const TraceHeader& h) -> std::uint64_t { return h.grid[1]; }},
      {96, 4, [](const TraceHeader& h) -> std::uint64_t { return h.grid[2]; }},
      {100, 4, [](const TraceHeader& h) -> std::uint64_t { return h.block[0]; }},
      {104, 4, [](const TraceHeader& h) -> std::uint64_t { return h.block[1]; }},
      {108, 4, [](const TraceHeader& h) -> std::uint64_t { return h.block[2]; }},
      {112, 4, [](const TraceHeader& h) -> std::uint64_t { return h.warps_per_block; }},
      {116, 4, [](const TraceHeader& h) -> std::uint64_t { return h.num_warps; }},
      {120, 4, [](const TraceHeader& h) -> std::uint64_t { return h.events_per_warp; }},
      {124, 4, [](const TraceHeader& h) -> std::uint64_t { return h.reserved; }},
      {128, 8, [](const TraceHeader& h) -> std::uint64_t { return h.timestamp; }},
      {136, 4, [](const TraceHeader& h) -> std::uint64_t { return h.cuda_arch; }},
      {140, 4, [](const TraceHeader& h) -> std::uint64_t { return h.history_depth; }},
      {144, 4, [](const TraceHeader& h) -> std::uint64_t { return h.history_offset; }},
      {148, 4, [](const TraceHeader& h) -> std::uint64_t { return h.sample_rate; }},
      {152, 4, [](const TraceHeader& h) -> std::uint64_t { return h.snapshot_depth; }},
      {156, 4, [](const TraceHeader& h) -> std::uint64_t { return h.snapshot_offset; }},
  };
  std::array<std::uint8_t, TRACE_HEADER_SIZE> bytes{};
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    // Little-endian: the first byte is the low byte, the last one the high byte.
    bytes[fields[i].offset] = static_cast<std::uint8_t>(i + 1);
    bytes[fields[i].offset + fields[i].width - 1] |= 0x80;
  }
  for (std::size_t i = 0; i < KERNEL_NAME_SIZE; ++i) bytes[24 + i] = static_cast<std::uint8_t>(i);

  const TraceHeader header = TraceHeader::decode(bytes);
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    const std::uint64_t expected = (std::uint64_t{0x80} << (8 * (fields[i].width - 1))) | (i + 1);
    EXPECT_EQ(fields[i].get(header), expected) << "field at offset " << fields[i].offset;
  }
  for (std::size_t i = 0; i < KERNEL_NAME_SIZE; ++i) EXPECT_EQ(header.kernel_name[i], i);
  EXPECT_EQ(header.encode(), bytes);
}

TEST(TraceHeaderTest, SectionPresenceNeedsFlagAndDepth) {
  struct Case {
    std::uint32_t flags, history_depth, snapshot_depth;
    bool history, snapshots;
  };
  const Case cases[] = {
      {0, 8, 8, false, false},
      {TRACE_FLAG_HISTORY | TRACE_FLAG_SNAPSHOTS, 0, 0, false, false},
      {TRACE_FLAG_HISTORY, 8, 8, true, false},
      {TRACE_FLAG_SNAPSHOTS, 8, 8, false, true},
      {TRACE_FLAG_HISTORY | TRACE_FLAG_SNAPSHOTS, 1, 1, true, true},
  };
  for (const auto& c : cases) {
    TraceHeader header;
    header.flags = c.flags;
    header.history_depth = c.history_depth;
    header.snapshot_depth = c.snapshot_depth;
    EXPECT_EQ(header.has_history(), c.history) << c.flags << " " << c.history_depth;
    EXPECT_EQ(header.has_snapshots(), c.snapshots) << c.flags << " " << c.snapshot_depth;
  }
}

TEST(TraceHeaderTest, KernelNameText) {
  struct Case {
    std::string bytes;
    std::string expected;
  };
  const std::string full(64, 'k');
  const Case cases[] = {
      {"reduce_sum", "reduce_sum"},
      {full, full},
      {std::string("\0abc", 4), ""},
      {" padded ", " padded "},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"bad\xff", "<invalid utf8>"},
      {std::string("ok\0\xff\xfe", 5), "ok"},
      {std::string(63, 'a') + "\xc3", "<invalid utf8>"},  // a sequence cut by the field's end
  };
  for (const auto& c : cases) {
    TraceHeader header;
    std::memcpy(header.kernel_name.data(), c.bytes.data(), c.bytes.size());
    EXPECT_EQ(header.kernel_name_text(), c.expected) << c.bytes;
  }
}

TEST(NamesTest, EventTypeNames) {
  const std::pair<std::uint8_t, std::string_view> cases[] = {
      {0, "Branch"},        {1, "Shared Memory Store"},
      {2, "Atomic"},        {3, "Function Entry"},
      {4, "Function Exit"}, {5, "Switch"},
      {6, "Global Store"},  {7, "Unknown"},
      {255, "Unknown"},
  };
  for (const auto& [code, name] : cases) EXPECT_EQ(event_type_name(code), name) << int{code};
}

TEST(NamesTest, CmpPredicateNames) {
  const std::pair<CmpPredicate, std::string_view> cases[] = {
      {0, "fcmp false"}, {1, "fcmp oeq"},  {4, "fcmp olt"}, {9, "fcmp ueq"},     {14, "fcmp une"},
      {15, "fcmp true"}, {16, "cmp"},      {31, "cmp"},     {32, "icmp eq"},     {36, "icmp ult"},
      {38, "icmp sgt"},  {41, "icmp sle"}, {42, "cmp"},     {0xffffffff, "cmp"},
  };
  for (const auto& [code, name] : cases) EXPECT_EQ(cmp_predicate_name(code), name) << code;
}

// ---- TraceData ----

TEST(TraceDataTest, OwnedBufferIsZeroedAlignedAndMovable) {
  TraceData data = TraceData::owned(100);
  ASSERT_NE(data.data(), nullptr);
  EXPECT_FALSE(data.is_mapped());
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data.data()) % 16, 0u);
  for (std::uint8_t byte : data.bytes()) ASSERT_EQ(byte, 0);

  const std::uint8_t* address = data.data();
  TraceData moved = std::move(data);
  EXPECT_EQ(moved.data(), address);
  EXPECT_EQ(moved.size(), 100u);
  EXPECT_EQ(data.data(), nullptr);  // NOLINT(bugprone-use-after-move): the moved-from state
  EXPECT_EQ(data.size(), 0u);

  TraceData other = TraceData::owned(0);
  EXPECT_NE(other.data(), nullptr);
  EXPECT_EQ(other.size(), 0u);
  other = std::move(moved);  // frees the empty buffer, takes the other one
  EXPECT_EQ(other.data(), address);
}

// ---- finish_trace ----

TEST(FinishTraceTest, RequiredSizeIsExact) {
  struct Case {
    std::uint32_t num_warps, events_per_warp;
    std::size_t image_size;
    std::string error;  // empty: loads
  };
  const Case cases[] = {
      {0, 0, 160, ""},
      {2, 4, 320, ""},
      {2, 4, 319, "Data too small: 319 bytes (expected 320 bytes for 2 warps)"},
      {2, 4, 4096, ""},
      {3, 0, 208, ""},
      {3, 0, 207, "Data too small: 207 bytes (expected 208 bytes for 3 warps)"},
      {0xffffffff, 0xffffffff, 160,
       "Data too small: 160 bytes (expected 295147905110633349280 bytes for 4294967295 warps)"},
      {0xffffffff, 0, 160,
       "Data too small: 160 bytes (expected 68719476880 bytes for 4294967295 warps)"},
  };
  for (const auto& c : cases) {
    TraceHeader header = TraceBuilder().header;
    header.num_warps = c.num_warps;
    header.events_per_warp = c.events_per_warp;
    auto trace = finish_trace(TraceData::owned(c.image_size), header);
    if (c.error.empty()) {
      ASSERT_TRUE(trace) << error_message(trace);
      EXPECT_EQ(trace->warp_data_offset, 160u);
      EXPECT_EQ(trace->warp_stride, 16u + 16u * c.events_per_warp);
      EXPECT_EQ(trace->data.size(), c.image_size);
    } else {
      EXPECT_EQ(error_chain(trace), std::vector<std::string>{c.error});
    }
  }
}

// ---- load_trace ----

class LoadTraceTest : public ::testing::Test {
 protected:
  std::string file(const std::string& name, const Bytes& bytes) {
    const auto path = dir_ / name;
    write_file(path, bytes);
    return path.string();
  }

  std::filesystem::path dir_ = scratch_dir();
};

// Four warps of 20000 events: bigger than the decoder's output chunk, and worth decoding on
// several threads.
TraceBuilder large_trace() {
  TraceBuilder builder;
  builder.shape(4, 20000);
  for (std::uint32_t w = 0; w < 4; ++w) {
    std::vector<TraceEvent> events;
    for (std::uint32_t i = 0; i < 20000; ++i) events.push_back(event(i, 0, i % 2, ~i, i * w));
    builder.warp(w, std::move(events));
  }
  return builder;
}

TEST_F(LoadTraceTest, MappedTraceIsTheFileInPlace) {
  const TraceBuilder builder = two_warps();
  const std::string path = builder.write(dir_ / "plain.trace");
  auto trace = load_trace(path);
  ASSERT_TRUE(trace) << error_message(trace);
  EXPECT_TRUE(trace->data.is_mapped());
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(trace->data.data()) % 4096, 0u);
  const Bytes image = builder.image();
  EXPECT_EQ(Bytes(trace->data.bytes().begin(), trace->data.bytes().end()), image);
  EXPECT_EQ(trace->header.encode(), builder.header.encode());
  EXPECT_EQ(trace->warp_stride, 80u);
}

TEST_F(LoadTraceTest, HeaderOnlyFileHasNoWarps) {
  TraceBuilder builder;
  auto trace = load_trace(builder.write(dir_ / "header-only"));
  ASSERT_TRUE(trace) << error_message(trace);
  EXPECT_TRUE(trace->data.is_mapped());
  EXPECT_EQ(trace->data.size(), 160u);
  EXPECT_EQ(trace->header.num_warps, 0u);
  EXPECT_EQ(error_message(warp_events(*trace, 0)), "Warp index 0 out of range (total warps: 0)");
}

TEST_F(LoadTraceTest, CompressedTraceDecodesEveryFrame) {
  TraceBuilder builder = two_warps();
  builder.history(8, {{1, {{}, {history_entry(3, 30, 1)}}}});
  const Bytes image = builder.image();
  for (int frames : {1, 2, 5}) {
    const std::string path = builder.write(dir_ / fmt::format("z{}", frames), frames);
    auto trace = load_trace(path);
    ASSERT_TRUE(trace) << frames << ": " << error_message(trace);
    EXPECT_FALSE(trace->data.is_mapped());
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(trace->data.data()) % 16, 0u);
    // The image is the file's header (flag 0x2 included) followed by the decoded payload.
    Bytes expected = image;
    expected[12] |= TRACE_FLAG_ZSTD;
    EXPECT_EQ(Bytes(trace->data.bytes().begin(), trace->data.bytes().end()), expected) << frames;
    EXPECT_EQ(warp_events(*trace, 1)->events.front().site_id, 3u);
    EXPECT_EQ(history_entries(*trace, 1)->size(), 1u);
  }
}

TEST_F(LoadTraceTest, PoolsShortOfThreadsDecodeTheSameImages) {
  const TraceBuilder builder = large_trace();
  Bytes expected = builder.image();
  expected[12] |= TRACE_FLAG_ZSTD;
  const auto compressed = [&](const std::string& name, int frames, bool sized) {
    Bytes bytes(expected.begin(), expected.begin() + TRACE_HEADER_SIZE);
    const Bytes payload =
        zstd_frames(std::span(expected).subspan(TRACE_HEADER_SIZE), frames, sized);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return file(name, bytes);
  };
  const std::string sized = compressed("sized", 5, true);
  const std::string unsized = compressed("unsized", 3, false);
  // Pools whose n-th thread could not be created, down to the calling thread alone.
  for (const std::uint32_t may_start : {0u, 1u, 2u, 3u, 7u}) {
    WorkerPool pool(8, may_start);
    EXPECT_EQ(pool.concurrency(), may_start + 1);
    auto pair = load_trace_pair(sized, unsized, LoadOptions{.workers = &pool});
    ASSERT_TRUE(pair) << may_start << ": " << pair.error().error.message();
    EXPECT_EQ(Bytes(pair->a.data.bytes().begin(), pair->a.data.bytes().end()), expected)
        << may_start;
    EXPECT_EQ(Bytes(pair->b.data.bytes().begin(), pair->b.data.bytes().end()), expected)
        << may_start;
  }
}

TEST_F(LoadTraceTest, CompressedHeaderOnlyImage) {
  // One frame of an empty payload: the image is just the header.
  TraceBuilder builder;
  auto trace = load_trace(builder.write(dir_ / "empty-payload", 1));
  ASSERT_TRUE(trace) << error_message(trace);
  EXPECT_EQ(trace->data.size(), 160u);
}

TEST_F(LoadTraceTest, IgnoredFlagBitsChangeNothing) {
  TraceBuilder builder = two_warps();
  builder.header.flags = 0x1 | 0x20 | 0x80000000u | TRACE_FLAG_SAMPLING;
  auto trace = load_trace(builder.write(dir_ / "flags.trace"));
  ASSERT_TRUE(trace) << error_message(trace);
  EXPECT_TRUE(trace->data.is_mapped());
  EXPECT_EQ(warp_events(*trace, 0)->events.size(), 2u);
}

TEST_F(LoadTraceTest, RejectsBadFiles) {
  const TraceBuilder valid = two_warps();
  const Bytes image = valid.image();
  const Bytes compressed = valid.file_bytes(1);
  auto with = [](Bytes bytes, auto change) {
    change(bytes);
    return bytes;
  };
  auto header_with = [](auto change) {
    TraceBuilder builder;
    change(builder.header);
    return header_only(builder.header);
  };
  const std::string decompress = "Failed to decompress zstd-compressed trace";

  struct Case {
    std::string name;
    Bytes bytes;
    std::vector<std::string> error;
  };
  const Case cases[] = {
      {"empty", {}, {"File too small: 0 bytes (expected at least 160)"}},
      {"short",
       Bytes(image.begin(), image.begin() + 159),
       {"File too small: 159 bytes (expected at least 160)"}},
      {"zero magic",
       with(image, [](Bytes& b) { std::fill_n(b.begin(), 8, 0); }),
       {"Invalid magic number: 0x0000000000000000 (expected 0x56454d4f00000000)"}},
      {"byte-swapped magic",
       with(image, [](Bytes& b) { std::reverse(b.begin(), b.begin() + 8); }),
       {"Invalid magic number: 0x000000004f4d4556 (expected 0x56454d4f00000000)"}},
      {"version 2",
       header_with([](TraceHeader& h) { h.version = 2; }),
       {"Unsupported version: 2 (expected 1)"}},
      {"version 0",
       header_with([](TraceHeader& h) { h.version = 0; }),
       {"Unsupported version: 0 (expected 1)"}},
      {"one byte short",
       Bytes(image.begin(), image.end() - 1),
       {"Data too small: 319 bytes (expected 320 bytes for 2 warps)"}},
      {"huge warp counts",
       header_with([](TraceHeader& h) {
         h.num_warps = 0xffffffff;
         h.events_per_warp = 0xffffffff;
       }),
       {"Data too small: 160 bytes (expected 295147905110633349280 bytes for 4294967295 warps)"}},
      {"zstd without payload",
       header_with([](TraceHeader& h) { h.flags = TRACE_FLAG_ZSTD; }),
       {decompress, "incomplete frame"}},
      {"zstd frame cut short",
       Bytes(compressed.begin(), compressed.end() - 3),
       {decompress, "incomplete frame"}},
      {"zstd frame header only",
       Bytes(compressed.begin(), compressed.begin() + 164),
       {decompress, "incomplete frame"}},
      {"garbage after header",
       with(header_with([](TraceHeader& h) { h.flags = TRACE_FLAG_ZSTD; }),
            [](Bytes& b) {
              b.insert(b.end(), {'n', 'o', 't', ' ', 'z', 's', 't', 'd'});
            }),
       {decompress, "Unknown frame descriptor"}},
      {"garbage after a frame",
       with(compressed,
            [](Bytes& b) {
              b.insert(b.end(), {1, 2, 3, 4, 5, 6, 7, 8});
            }),
       {decompress, "Unknown frame descriptor"}},
  };
  for (const auto& c : cases) {
    const std::string path = file("bad", c.bytes);
    EXPECT_EQ(error_chain(load_trace(path)), c.error) << c.name;
  }
}

TEST_F(LoadTraceTest, CompressedSizeRuleUsesTheDecodedImage) {
  // A header that asks for two warps but a payload that decodes to only 100 bytes.
  TraceBuilder builder = two_warps();
  const Bytes header = header_only(builder.header);
  Bytes file_bytes = header;
  file_bytes[12] |= TRACE_FLAG_ZSTD;
  const Bytes payload(100, 0xab);
  const Bytes frames = zstd_frames(payload, 2);
  file_bytes.insert(file_bytes.end(), frames.begin(), frames.end());
  ASSERT_LT(file_bytes.size(), 260u);
  EXPECT_EQ(error_chain(load_trace(file("short-payload", file_bytes))),
            std::vector<std::string>{"Data too small: 260 bytes (expected 320 bytes for 2 warps)"});
}

TEST_F(LoadTraceTest, LargeCompressedPayload) {
  // Bigger than the decoder's output chunk, so the output buffer has to grow several times.
  const TraceBuilder builder = large_trace();
  auto trace = load_trace(builder.write(dir_ / "large", 3));
  ASSERT_TRUE(trace) << error_message(trace);
  EXPECT_EQ(trace->data.size(), builder.image().size());
  EXPECT_EQ(warp_events(*trace, 3)->events[19999].value, 19999u * 3);
}

// two_warps() with the compression flag set: the image that its compressed file decodes to.
Bytes compressed_two_warps_image() {
  Bytes image = two_warps().image();
  image[12] |= TRACE_FLAG_ZSTD;
  return image;
}

// The compressed file of that image: its header, then `frames` frames with or without sizes.
Bytes compressed_two_warps(int frames, bool sized) {
  const Bytes image = compressed_two_warps_image();
  Bytes bytes(image.begin(), image.begin() + TRACE_HEADER_SIZE);
  const Bytes payload = zstd_frames(std::span(image).subspan(TRACE_HEADER_SIZE), frames, sized);
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

TEST_F(LoadTraceTest, DecodedImageIsBoundedByTheLimit) {
  const std::size_t image_size = two_warps().image().size();
  const std::vector<std::string> out_of_memory = {"Failed to decompress zstd-compressed trace",
                                                  "out of memory for the decoded trace"};
  struct Case {
    std::string name;
    int frames;
    bool sized;
  };
  const Case cases[] = {
      {"one frame with its size", 1, true},
      {"three frames with their sizes", 3, true},
      {"one frame without its size", 1, false},
      {"three frames without their sizes", 3, false},
  };
  for (const Case& c : cases) {
    const std::string path = file("limited", compressed_two_warps(c.frames, c.sized));
    const auto fits = load_trace(path, LoadOptions{.image_limit = image_size});
    ASSERT_TRUE(fits) << c.name << ": " << error_message(fits);
    EXPECT_EQ(Bytes(fits->data.bytes().begin(), fits->data.bytes().end()),
              compressed_two_warps_image())
        << c.name;
    EXPECT_EQ(error_chain(load_trace(path, LoadOptions{.image_limit = image_size - 1})),
              out_of_memory)
        << c.name;
  }
}

TEST_F(LoadTraceTest, ABadFrameAmongGoodOnesGivesTheDecodersOwnError) {
  const Bytes good = compressed_two_warps(2, true);
  // A frame that says it decodes to 3 bytes and holds a raw block of 4.
  const Bytes longer_than_said = {0x28, 0xb5, 0x2f, 0xfd, 0x20, 3, 0x21, 0, 0, 'a', 'b', 'c', 'd'};
  struct Case {
    std::string name;
    Bytes tail;
    std::string cause;
  };
  const Case cases[] = {
      {"frame longer than its header says", longer_than_said, "Data corruption detected"},
      {"that frame, then garbage",
       [&] {
         Bytes tail = longer_than_said;
         tail.insert(tail.end(), 8, 0x5a);
         return tail;
       }(),
       "Data corruption detected"},
      {"a skippable frame, then garbage",
       {0x50, 0x2a, 0x4d, 0x18, 2, 0, 0, 0, 'x', 'y', 1, 2, 3, 4, 5, 6, 7, 8},
       "Unknown frame descriptor"},
  };
  for (const Case& c : cases) {
    Bytes bytes = good;
    bytes.insert(bytes.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(error_chain(load_trace(file("bad-tail", bytes))),
              (std::vector<std::string>{"Failed to decompress zstd-compressed trace", c.cause}))
        << c.name;
  }
}

// An unsized frame of `payload` whose header is given the decoded size `claim`, either after
// its window descriptor or, as a single segment, in its place.
Bytes frame_claiming(std::span<const std::uint8_t> payload, std::uint64_t claim,
                     bool single_segment) {
  const Bytes frame = zstd_frames(payload, 1, false);
  const std::uint8_t descriptor = frame[4];
  EXPECT_EQ(descriptor & 0xe3, 0) << "no size, no dictionary, not a single segment";
  const bool wide = claim > UINT32_MAX;
  Bytes claimed(frame.begin(), frame.begin() + 4);
  claimed.push_back(static_cast<std::uint8_t>((wide ? 0xc0 : 0x80) | (single_segment ? 0x20 : 0) |
                                              (descriptor & 0x1f)));
  if (!single_segment) claimed.push_back(frame[5]);
  for (int k = 0; k < (wide ? 8 : 4); ++k)
    claimed.push_back(static_cast<std::uint8_t>(claim >> (8 * k)));
  claimed.insert(claimed.end(), frame.begin() + 6, frame.end());
  return claimed;
}

std::uint64_t peak_resident_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<std::uint64_t>(usage.ru_maxrss);
}

TEST_F(LoadTraceTest, SizeClaimsTheDataCannotFillCostNoMemory) {
  const Bytes image = compressed_two_warps_image();
  const std::span<const std::uint8_t> payload = std::span(image).subspan(TRACE_HEADER_SIZE);
  const Bytes good_frame = zstd_frames(payload.first(64), 1);
  struct Case {
    std::string name;
    std::uint64_t claim;
    bool single_segment;
    bool after_a_good_frame;
    std::string cause;
  };
  const std::string corrupt = "Data corruption detected";
  // A single segment's window is its size, which the streaming decoder will not take.
  const std::string window = "Frame requires too much memory for decoding";
  const Case cases[] = {
      {"3 GiB", std::uint64_t{3} << 30, false, false, corrupt},
      {"2^50 bytes", std::uint64_t{1} << 50, false, false, corrupt},
      {"3 GiB after a good frame", std::uint64_t{3} << 30, false, true, corrupt},
      {"2^50 bytes after a good frame", std::uint64_t{1} << 50, false, true, corrupt},
      {"3 GiB as a single segment", std::uint64_t{3} << 30, true, false, window},
      {"2^50 bytes as a single segment", std::uint64_t{1} << 50, true, false, window},
  };
  for (const Case& c : cases) {
    Bytes bytes(image.begin(), image.begin() + TRACE_HEADER_SIZE);
    if (c.after_a_good_frame) bytes.insert(bytes.end(), good_frame.begin(), good_frame.end());
    const Bytes lying =
        frame_claiming(payload.subspan(c.after_a_good_frame ? 64 : 0), c.claim, c.single_segment);
    bytes.insert(bytes.end(), lying.begin(), lying.end());
    ASSERT_LT(bytes.size(), 10000u) << c.name;
    WorkerPool pool(4);
    EXPECT_EQ(error_chain(load_trace(file("claim", bytes), LoadOptions{.workers = &pool})),
              (std::vector<std::string>{"Failed to decompress zstd-compressed trace", c.cause}))
        << c.name;
  }
  EXPECT_LT(peak_resident_kib(), std::uint64_t{256} << 10);
}

// A frame claiming `claim` bytes, made of `blocks` as (type, stated size) pairs: a raw block
// holds that many 0xff bytes, an RLE block its one byte, a compressed block that many 0xff bytes
// (not a valid block).
Bytes frame_of_blocks(std::uint64_t claim,
                      const std::vector<std::pair<std::uint32_t, std::uint32_t>>& blocks) {
  Bytes frame = {0x28, 0xb5, 0x2f, 0xfd, 0xc0, 0x58};
  for (int k = 0; k < 8; ++k) frame.push_back(static_cast<std::uint8_t>(claim >> (8 * k)));
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    const auto [type, size] = blocks[k];
    const std::uint32_t header = size << 3 | type << 1 | (k + 1 == blocks.size() ? 1 : 0);
    for (int b = 0; b < 3; ++b) frame.push_back(static_cast<std::uint8_t>(header >> (8 * b)));
    frame.insert(frame.end(), type == 1 ? 1 : size, type == 1 ? 0 : 0xff);
  }
  return frame;
}

TEST_F(LoadTraceTest, BlocksThatCannotHoldTheClaimCostNoMemory) {
  constexpr std::uint32_t RAW = 0, RLE = 1, COMPRESSED = 2;
  constexpr std::uint32_t LARGEST_BLOCK = 128 << 10;
  struct Case {
    std::string name;
    std::uint64_t claim;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> blocks;
  };
  // RLE blocks stating more than a block may hold.
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> oversized(1600, {RLE, (1u << 21) - 1});
  // A broken first block in front of well-formed RLE blocks that could hold the claim.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> broken_first(2301, {RLE, LARGEST_BLOCK});
  broken_first.front() = {COMPRESSED, 16};
  std::vector<std::pair<std::uint32_t, std::uint32_t>> oversized_raw = {{RAW, 1u << 20}};
  const Case cases[] = {
      {"RLE blocks stating 2 MiB each", std::uint64_t{3} << 30, oversized},
      {"a broken block before 2300 full RLE blocks", std::uint64_t{2301} * LARGEST_BLOCK,
       broken_first},
      {"a raw block stating 1 MiB", std::uint64_t{3} << 30, oversized_raw},
  };
  const Bytes image = compressed_two_warps_image();
  for (const Case& c : cases) {
    Bytes bytes(image.begin(), image.begin() + TRACE_HEADER_SIZE);
    const Bytes frame = frame_of_blocks(c.claim, c.blocks);
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    ASSERT_LT(bytes.size(), std::size_t{2} << 20) << c.name;
    WorkerPool pool(4);
    const auto chain =
        error_chain(load_trace(file("blocks", bytes), LoadOptions{.workers = &pool}));
    ASSERT_EQ(chain.size(), 2u) << c.name;
    EXPECT_EQ(chain[0], "Failed to decompress zstd-compressed trace") << c.name;
    EXPECT_NE(chain[1], "out of memory for the decoded trace") << c.name;
  }
  EXPECT_LT(peak_resident_kib(), std::uint64_t{256} << 10);
}

TEST_F(LoadTraceTest, ABombStillRunsOutOfMemoryAtTheLimit) {
  // 96 MiB of zeros in a few KB, sized or not: real content past a 32 MiB limit.
  const Bytes zeros(std::size_t{96} << 20, 0);
  const Bytes header = header_with_zstd_garbage();
  for (const bool sized : {true, false}) {
    Bytes bytes(header.begin(), header.begin() + TRACE_HEADER_SIZE);
    const Bytes frame = zstd_frames(zeros, 1, sized);
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    ASSERT_LT(bytes.size(), 100000u);
    EXPECT_EQ(error_chain(load_trace(file("bomb", bytes),
                                     LoadOptions{.image_limit = std::uint64_t{32} << 20})),
              (std::vector<std::string>{"Failed to decompress zstd-compressed trace",
                                        "out of memory for the decoded trace"}))
        << sized;
  }
}

TEST_F(LoadTraceTest, PairLoadsBothOrNamesTheFirstFailure) {
  const std::string good = two_warps().write(dir_ / "good");
  const std::string compressed = file("good.z", compressed_two_warps(2, true));
  const std::string garbage = file("garbage.z", header_with_zstd_garbage());
  const std::string missing = (dir_ / "missing").string();

  auto both = load_trace_pair(compressed, good);
  ASSERT_TRUE(both);
  EXPECT_EQ(Bytes(both->a.data.bytes().begin(), both->a.data.bytes().end()),
            compressed_two_warps_image());
  EXPECT_TRUE(both->b.data.is_mapped());

  struct Case {
    std::string a;
    std::string b;
    bool in_b;
    std::string cause;
  };
  const Case cases[] = {
      {missing, garbage, false, "Failed to open trace file: " + missing},
      {garbage, missing, false, "Failed to decompress zstd-compressed trace"},
      {compressed, garbage, true, "Failed to decompress zstd-compressed trace"},
      {good, missing, true, "Failed to open trace file: " + missing},
  };
  for (const Case& c : cases) {
    const auto pair = load_trace_pair(c.a, c.b);
    ASSERT_FALSE(pair) << c.a << " " << c.b;
    EXPECT_EQ(pair.error().in_b, c.in_b) << c.a << " " << c.b;
    EXPECT_EQ(pair.error().error.message(), c.cause) << c.a << " " << c.b;
  }
}

TEST_F(LoadTraceTest, FileSystemErrorsNameThePath) {
  const std::string missing = (dir_ / "missing.trace").string();
  EXPECT_EQ(error_chain(load_trace(missing)),
            (std::vector<std::string>{"Failed to open trace file: " + missing,
                                      "No such file or directory (os error 2)"}));

  const std::string invalid_utf8 = (dir_ / "bad\xff.trace").string();
  EXPECT_EQ(error_message(load_trace(invalid_utf8)),
            "Failed to open trace file: " + (dir_ / "bad\xef\xbf\xbd.trace").string());

  // A manifest can hand over a path with a NUL byte; it must not open the shorter path.
  write_file(dir_ / "t0.bin", std::string_view("x"));
  const std::string with_nul = (dir_ / "t0.bin").string() + std::string("\0x", 2);
  EXPECT_EQ(error_chain(load_trace(with_nul)).back(), "Invalid argument (os error 22)");

  const auto directory = error_chain(load_trace(dir_.string()));
  ASSERT_EQ(directory.size(), 2u);
  EXPECT_EQ(directory[0], "Failed to mmap trace file: " + dir_.string());
  EXPECT_EQ(directory[1], "No such device (os error 19)");
}

// Neither descriptors nor mappings outlive a failed load or a released trace.
TEST_F(LoadTraceTest, ReleasesTheDescriptorOnEveryPath) {
  const std::string good = two_warps().write(dir_ / "good");
  const std::string compressed = two_warps().write(dir_ / "good.z", 2);
  const std::string too_small = file("small", Bytes(10, 0));
  const std::string bad_frame = file("bad.z", header_with_zstd_garbage());
  const std::string wrong_size = file("short", [] {
    Bytes bytes = two_warps().image();
    bytes.pop_back();
    return bytes;
  }());
  const std::string short_frame = file("short.z", [] {
    Bytes bytes = two_warps().file_bytes(1);
    bytes.pop_back();
    return bytes;
  }());
  const std::size_t before = open_descriptor_count();
  ASSERT_EQ(mapping_count(dir_), 0u);
  {
    auto a = load_trace(good);
    auto b = load_trace(compressed);
    ASSERT_TRUE(a && b);
    // Only the uncompressed trace keeps its file mapped.
    EXPECT_EQ(mapping_count(dir_), 1u);
    EXPECT_FALSE(load_trace(too_small));
    EXPECT_EQ(error_message(load_trace(wrong_size)),
              "Data too small: 319 bytes (expected 320 bytes for 2 warps)");
    EXPECT_FALSE(load_trace(bad_frame));
    EXPECT_EQ(error_chain(load_trace(short_frame)).back(), "incomplete frame");
    EXPECT_FALSE(load_trace(dir_.string()));
    EXPECT_EQ(open_descriptor_count(), before);
    EXPECT_EQ(mapping_count(dir_), 1u);
  }
  EXPECT_EQ(open_descriptor_count(), before);
  EXPECT_EQ(mapping_count(dir_), 0u);
}

// ---- warp_events ----

TEST(WarpEventsTest, ViewsTheRecordedEventsInPlace) {
  const Trace trace = two_warps().build();
  auto warp0 = warp_events(trace, 0);
  ASSERT_TRUE(warp0) << error_message(warp0);
  ASSERT_EQ(warp0->events.size(), 2u);
  EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(warp0->header), trace.data.data() + 160);
  EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(warp0->events.data()), trace.data.data() + 176);
  const TraceEvent& second = warp0->events[1];
  EXPECT_EQ(second.site_id, 2u);
  EXPECT_EQ(second.event_type, 2);
  EXPECT_EQ(second.branch_dir, 0);
  EXPECT_EQ(second.active_mask, 0xffu);
  EXPECT_EQ(second.value, 7u);

  auto warp1 = warp_events(trace, 1);
  ASSERT_TRUE(warp1);
  EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(warp1->header), trace.data.data() + 240);
  EXPECT_EQ(warp1->events.front().site_id, 3u);
}

TEST(WarpEventsTest, WarpIndexOutOfRange) {
  TraceBuilder builder;
  builder.shape(4, 1);
  const Trace trace = builder.build();
  EXPECT_TRUE(warp_events(trace, 3));
  EXPECT_EQ(error_chain(warp_events(trace, 4)),
            std::vector<std::string>{"Warp index 4 out of range (total warps: 4)"});
  EXPECT_EQ(error_message(warp_events(trace, 1ULL << 40)),
            "Warp index 1099511627776 out of range (total warps: 4)");
}

// Buffers outside the image or misaligned in it are errors of warp_events, and warps that the
// comparison's loops skip: both read the same bounds.
TEST(WarpEventsTest, BuffersThatCannotBeReadAreErrorsAndSkipped) {
  const std::string beyond = "Warp buffer extends beyond file boundary";
  const std::string misaligned =
      "Failed to cast events data: TargetAlignmentGreaterAndInputNotAligned";
  struct Case {
    std::string_view name;
    std::size_t image_size;
    std::uint64_t offset, stride, warp;
    std::string error;  // empty when the warp can be read
  };
  const Case cases[] = {
      {"readable", 160 + 2 * 32, 160, 32, 1, ""},
      {"past the image", 160 + 32 + 16, 160, 32, 1, beyond},
      {"stride below the buffer header", 160 + 64, 160, 8, 0, beyond},
      {"offset that overflows", 4096, ~std::uint64_t{0} - 15, 32, 1, beyond},
      {"stride that overflows", 4096, 160, std::uint64_t{1} << 63, 2, beyond},
      {"misaligned", 160 + 64, 161, 32, 0, misaligned},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TraceHeader header;
    header.num_warps = 3;
    Trace trace{TraceData::owned(c.image_size), header, c.offset, c.stride};
    const auto view = warp_events(trace, c.warp);
    EXPECT_EQ(view ? std::string() : error_message(view), c.error);
    EXPECT_EQ(readable_warp(trace, c.warp).has_value(), c.error.empty());
  }
}

TEST(WarpEventsTest, EventCountIsBoundedBySlots) {
  struct Case {
    std::uint32_t events_per_warp, recorded, event_count;
    std::size_t viewed;
  };
  const Case cases[] = {
      {64, 64, 100, 64}, {64, 10, 10, 10}, {64, 10, 0, 0}, {0, 0, 5, 0}, {4, 4, 0xffffffff, 4},
  };
  for (const auto& c : cases) {
    TraceBuilder builder;
    builder.shape(1, c.events_per_warp);
    builder.warps[0] = {std::vector<TraceEvent>(c.recorded, event(1)), c.event_count, 3};
    const Trace trace = builder.build();
    auto view = warp_events(trace, 0);
    ASSERT_TRUE(view) << error_message(view);
    EXPECT_EQ(view->events.size(), c.viewed) << c.event_count;
    EXPECT_EQ(view->header->event_count, c.event_count);
    EXPECT_EQ(view->header->overflow_count, 3u);
  }
}

// ---- history_entries ----

TEST(HistoryTest, AbsentSectionIsEmptyForAnyWarp) {
  TraceBuilder no_flag = two_warps();
  no_flag.header.history_depth = 8;
  TraceBuilder zero_depth = two_warps();
  zero_depth.history(0, {});
  for (const TraceBuilder* builder : {&no_flag, &zero_depth}) {
    const Trace trace = builder->build();
    for (std::uint64_t warp : {0ULL, 2ULL, ~0ULL}) {
      auto entries = history_entries(trace, warp);
      ASSERT_TRUE(entries) << error_message(entries);
      EXPECT_TRUE(entries->empty());
    }
  }
}

TEST(HistoryTest, WarpIndexOutOfRangeWhenPresent) {
  TraceBuilder builder = two_warps();
  builder.history(8, {});
  EXPECT_EQ(error_message(history_entries(builder.build(), 2)),
            "Warp index 2 out of range (total warps: 2)");
}

TEST(HistoryTest, EntryCountIsTheSmallestOfCapacityWriteCountAndDepth) {
  struct Case {
    std::uint32_t capacity, write_count;
    std::size_t expected;
  };
  const Case cases[] = {{5, 10, 5}, {10, 3, 3}, {20, 20, 8}, {0, 8, 0}, {8, 0, 0}, {8, 8, 8}};
  std::vector<HistoryEntry> slots;
  for (std::uint32_t i = 0; i < 8; ++i) slots.push_back(history_entry(i, 100 + i, i));
  for (const auto& c : cases) {
    TraceBuilder builder = two_warps();
    builder.history(8, {{1, {{c.capacity, c.write_count}, slots}}});
    auto entries = history_entries(builder.build(), 1);
    ASSERT_TRUE(entries) << error_message(entries);
    ASSERT_EQ(entries->size(), c.expected) << c.capacity << "/" << c.write_count;
    for (std::size_t i = 0; i < entries->size(); ++i) EXPECT_EQ((*entries)[i].value, 100 + i);
  }
}

TEST(HistoryTest, EntriesComeInSeqOrderStably) {
  TraceBuilder builder = two_warps();
  builder.history(8, {{0,
                       {{},
                        {history_entry(1, 10, 5), history_entry(2, 20, 3), history_entry(3, 30, 9),
                         history_entry(4, 40, 3), history_entry(5, 50, 0xffffffff)}}}});
  auto entries = history_entries(builder.build(), 0);
  ASSERT_TRUE(entries) << error_message(entries);
  std::vector<std::uint32_t> sites;
  for (const auto& entry : *entries) sites.push_back(entry.site_id);
  EXPECT_EQ(sites, (std::vector<std::uint32_t>{2, 4, 1, 3, 5}));
  EXPECT_EQ((*entries)[0].value, 20u);
  EXPECT_EQ((*entries)[0].seq, 3u);
}

TEST(HistoryTest, SectionPositionAndBounds) {
  TraceBuilder builder = two_warps();
  builder.history(2, {{0, {{}, {history_entry(7, 70, 1)}}}, {1, {{}, {history_entry(8, 80, 1)}}}});
  // Default position: right after the warp buffers at 320; blocks of 48 bytes.
  Bytes image = builder.image();
  ASSERT_EQ(image.size(), 320u + 2 * 48);

  struct Case {
    std::string name;
    std::uint32_t history_offset;
    std::size_t image_size;
    std::vector<std::string> error;  // empty: succeeds
    std::size_t warp1_entries = 0;
  };
  const Case cases[] = {
      {"default position", 0, 416, {}, 1},
      {"last block cut short", 0, 415, {}, 0},
      {"explicit aligned offset", 320, 416, {}, 1},
      {"offset past the image", 4096, 416, {}, 0},
      {"offset 8",
       8,
       416,
       {"Failed to cast history entries: TargetAlignmentGreaterAndInputNotAligned"}},
      {"offset 1",
       1,
       416,
       {"Failed to cast history entries: TargetAlignmentGreaterAndInputNotAligned"}},
      {"offset near 2^32", 0xfffffff0, 416, {}, 0},
  };
  for (const auto& c : cases) {
    Bytes bytes = image;
    bytes.resize(c.image_size);
    std::memcpy(bytes.data() + 144, &c.history_offset, 4);
    auto trace = trace_from_image(bytes);
    ASSERT_TRUE(trace) << c.name;
    auto entries = history_entries(*trace, 1);
    if (!c.error.empty()) {
      EXPECT_EQ(error_chain(entries), c.error) << c.name;
      continue;
    }
    ASSERT_TRUE(entries) << c.name << ": " << error_message(entries);
    EXPECT_EQ(entries->size(), c.warp1_entries) << c.name;
    if (!entries->empty()) {
      EXPECT_EQ(entries->front().value, 80u) << c.name;
    }
  }
}

// ---- find_snapshot ----

TEST(SnapshotTest, AbsentSectionGivesNothingForAnyWarp) {
  TraceBuilder no_flag = two_warps();
  no_flag.header.snapshot_depth = 2;
  TraceBuilder zero_depth = two_warps();
  zero_depth.snapshots(0, {});
  for (const TraceBuilder* builder : {&no_flag, &zero_depth}) {
    auto found = find_snapshot(builder->build(), 99, 1);
    ASSERT_TRUE(found) << error_message(found);
    EXPECT_FALSE(found->has_value());
  }
  TraceBuilder present = two_warps();
  present.snapshots(2, {});
  EXPECT_EQ(error_message(find_snapshot(present.build(), 2, 1)),
            "Warp index 2 out of range (total warps: 2)");
}

TEST(SnapshotTest, GreatestSeqWinsAndLowestSlotBreaksTies) {
  struct Case {
    std::string name;
    std::vector<OperandSnapshot> slots;
    BlockSpec block;
    std::uint32_t site;
    std::optional<std::uint32_t> lane_mask;  // identifies the chosen slot
  };
  auto at = [](std::uint32_t site, std::uint32_t seq, std::uint32_t id) {
    return snapshot(site, id, seq, 4);
  };
  const Case cases[] = {
      {"equal seq", {at(5, 7, 1), at(5, 7, 2)}, {}, 5, 1},
      {"greater seq later", {at(5, 7, 1), at(5, 9, 2)}, {}, 5, 2},
      {"greater seq first", {at(5, 9, 1), at(5, 7, 2), at(6, 99, 3)}, {}, 5, 1},
      {"seq 0 still matches", {at(5, 0, 1)}, {}, 5, 1},
      {"no matching site", {at(5, 7, 1)}, {}, 6, std::nullopt},
      {"beyond write_count", {at(5, 1, 1), at(5, 9, 2)}, {2, 1}, 5, 1},
      {"beyond capacity", {at(5, 1, 1), at(5, 9, 2), at(5, 10, 3)}, {2, 3}, 5, 2},
      {"capacity 0", {at(5, 1, 1)}, {0, 1}, 5, std::nullopt},
      {"write_count 0", {at(5, 1, 1)}, {1, 0}, 5, std::nullopt},
      {"counts beyond depth", {at(5, 1, 1), at(5, 2, 2), at(5, 3, 3)}, {50, 50}, 5, 3},
  };
  for (const auto& c : cases) {
    TraceBuilder builder = two_warps();
    builder.snapshots(3, {{1, {c.block, c.slots}}});
    auto found = find_snapshot(builder.build(), 1, c.site);
    ASSERT_TRUE(found) << c.name << ": " << error_message(found);
    ASSERT_EQ(found->has_value(), c.lane_mask.has_value()) << c.name;
    if (c.lane_mask) {
      EXPECT_EQ((*found)->lane_mask, *c.lane_mask) << c.name;
    }
  }
}

TEST(SnapshotTest, CopiesTheWholeRecord) {
  TraceBuilder builder = two_warps();
  std::vector<std::uint32_t> lhs(32), rhs(32);
  for (std::uint32_t i = 0; i < 32; ++i) {
    lhs[i] = 0x3f800000 + i;
    rhs[i] = 0x40000000 - i;
  }
  builder.snapshots(1, {{0, {{}, {snapshot(12, 0xf0f0f0f0, 4, 36, lhs, rhs)}}}});
  auto found = find_snapshot(builder.build(), 0, 12);
  ASSERT_TRUE(found && found->has_value());
  const OperandSnapshot& record = **found;
  EXPECT_EQ(record.site_id, 12u);
  EXPECT_EQ(record.lane_mask, 0xf0f0f0f0u);
  EXPECT_EQ(record.seq, 4u);
  EXPECT_EQ(record.predicate, 36u);
  EXPECT_EQ(std::vector(record.lhs.begin(), record.lhs.end()), lhs);
  EXPECT_EQ(std::vector(record.rhs.begin(), record.rhs.end()), rhs);
}

TEST(SnapshotTest, SectionPositionAndBounds) {
  // Two warps of 80 bytes, a history of 2 warps × 48 bytes, then snapshot blocks of 304 bytes.
  TraceBuilder builder = two_warps();
  builder.history(2, {});
  builder.snapshots(1, {{1, {{}, {snapshot(3, 0x1, 1, 4)}}}});
  const Bytes image = builder.image();
  ASSERT_EQ(image.size(), 320u + 96 + 2 * 304);

  struct Case {
    std::string name;
    std::uint32_t flags_cleared;
    std::uint32_t snapshot_offset, history_offset;
    std::size_t image_size;
    bool found;
    std::string error;
  };
  const std::string misaligned =
      "Failed to cast snapshot entries: TargetAlignmentGreaterAndInputNotAligned";
  const Case cases[] = {
      {"default after history", 0, 0, 0, image.size(), true, ""},
      // A moved history section still counts for the default snapshot start.
      {"history moved elsewhere", 0, 0, 0x8000, image.size(), true, ""},
      {"explicit offset", 0, 416, 0, image.size(), true, ""},
      {"last block cut short", 0, 0, 0, image.size() - 1, false, ""},
      {"offset past the image", 0, 0xffffffff, 0, image.size(), false, ""},
      {"misaligned offset", 0, 8, 0, image.size(), false, misaligned},
      // Without history the default start is right after the warps, where nothing was written.
      {"history flag cleared", TRACE_FLAG_HISTORY, 0, 0, image.size(), false, ""},
  };
  for (const auto& c : cases) {
    Bytes bytes = image;
    bytes.resize(c.image_size);
    std::uint32_t flags;
    std::memcpy(&flags, bytes.data() + 12, 4);
    flags &= ~c.flags_cleared;
    std::memcpy(bytes.data() + 12, &flags, 4);
    std::memcpy(bytes.data() + 144, &c.history_offset, 4);
    std::memcpy(bytes.data() + 156, &c.snapshot_offset, 4);
    auto trace = trace_from_image(bytes);
    ASSERT_TRUE(trace) << c.name;
    auto found = find_snapshot(*trace, 1, 3);
    if (!c.error.empty()) {
      EXPECT_EQ(error_chain(found), std::vector<std::string>{c.error}) << c.name;
      continue;
    }
    ASSERT_TRUE(found) << c.name << ": " << error_message(found);
    EXPECT_EQ(found->has_value(), c.found) << c.name;
  }
}

TEST(SnapshotTest, HugeDepthsNeverReadOutsideTheImage) {
  TraceBuilder builder = two_warps();
  builder.header.flags |= TRACE_FLAG_SNAPSHOTS | TRACE_FLAG_HISTORY;
  builder.header.snapshot_depth = 0xffffffff;
  builder.header.history_depth = 0xffffffff;
  builder.header.history_offset = 0xfffffff0;
  Bytes bytes = header_only(builder.header);
  bytes.resize(320 + 4096, 0xff);  // block headers claiming full blocks everywhere
  auto trace = trace_from_image(bytes);
  ASSERT_TRUE(trace);
  for (std::uint64_t warp : {0, 1}) {
    auto found = find_snapshot(*trace, warp, 0xffffffff);
    ASSERT_TRUE(found);
    EXPECT_FALSE(found->has_value());
    auto entries = history_entries(*trace, warp);
    ASSERT_TRUE(entries);
    EXPECT_TRUE(entries->empty());
  }
}

// ---- The committed examples ----

TEST(ExamplesTest, ExampleTracesLoadWithTheirSections) {
  const std::filesystem::path examples = std::filesystem::path(VEMO_SOURCE_DIR) / "examples";
  const char* const all[] = {
      "pair/baseline.trace",
      "pair/divergent.trace",
      "sessions/run_a/reduce_sum_0.trace",
      "sessions/run_a/reduce_sum_1.trace",
      "sessions/run_b/reduce_sum_0.trace",
      "sessions/run_b/reduce_sum_1.trace.zst",
      "sessions/run_b/normalize_0.trace",
  };
  for (const char* name : all) {
    auto trace = load_trace((examples / name).string());
    ASSERT_TRUE(trace) << name << ": " << error_message(trace);
    ASSERT_GT(trace->header.num_warps, 0u) << name;
    for (std::uint64_t w = 0; w < trace->header.num_warps; ++w) {
      auto view = warp_events(*trace, w);
      ASSERT_TRUE(view) << name;
      EXPECT_FALSE(view->events.empty()) << name << " warp " << w;
    }
  }
  for (const char* name : {"pair/baseline.trace", "pair/divergent.trace"}) {
    auto trace = load_trace((examples / name).string());
    ASSERT_TRUE(trace);
    EXPECT_EQ(trace->header.kernel_name_text(), "reduce_sum");
    EXPECT_TRUE(trace->header.has_history() && trace->header.has_snapshots()) << name;
    for (std::uint64_t w = 0; w < trace->header.num_warps; ++w) {
      auto history = history_entries(*trace, w);
      ASSERT_TRUE(history) << error_message(history);
      EXPECT_FALSE(history->empty()) << name;
      EXPECT_TRUE(std::is_sorted(history->begin(), history->end(),
                                 [](auto& a, auto& b) { return a.seq < b.seq; }));
      auto below = find_snapshot(*trace, w, 5);
      ASSERT_TRUE(below && below->has_value()) << name << " warp " << w;
      EXPECT_EQ((*below)->predicate, 4u);
    }
  }
}

}  // namespace
}  // namespace vemo::testing
