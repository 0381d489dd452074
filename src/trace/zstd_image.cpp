#include "trace/zstd_image.hpp"

#include <sys/mman.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace vemo {

namespace {

constexpr std::string_view OUT_OF_MEMORY = "out of memory for the decoded trace";

Error decode_failure(std::string_view cause) {
  return Error(std::string(cause)).context("Failed to decompress zstd-compressed trace");
}

class DecompressContext {
 public:
  DecompressContext() : context_(ZSTD_createDCtx()) {}
  DecompressContext(const DecompressContext&) = delete;
  DecompressContext& operator=(const DecompressContext&) = delete;
  ~DecompressContext() { ZSTD_freeDCtx(context_); }
  ZSTD_DCtx* get() const { return context_; }

 private:
  ZSTD_DCtx* context_;
};

std::size_t page_size() {
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return page;
}

// The compressed payload, read through the file's mapping, brought in the same way.
void read_in(std::span<const std::uint8_t> bytes) {
  const std::size_t page = page_size();
  const auto begin = reinterpret_cast<std::uintptr_t>(bytes.data()) / page * page;
  const auto end = reinterpret_cast<std::uintptr_t>(bytes.data() + bytes.size());
  ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_READ);  // only a hint
}

// The most that the blocks of a zstd frame (its bytes, as the decoder found them) can decode to:
// raw and RLE blocks the sizes they state, a compressed block at most the largest block; 0 when
// a block states more than a block may hold, so that the frame is streamed and the decoder
// names the fault. Frame and block headers are read as the zstd format lays them out.
std::uint64_t frame_capacity(std::span<const std::uint8_t> frame) {
  constexpr std::size_t MAGIC_SIZE = 4;
  constexpr std::size_t BLOCK_HEADER_SIZE = 3;
  constexpr std::uint64_t LARGEST_BLOCK = std::uint64_t{128} << 10;
  if (frame.size() <= MAGIC_SIZE) return 0;
  const std::uint8_t descriptor = frame[MAGIC_SIZE];
  const bool single_segment = (descriptor & 0x20) != 0;
  constexpr std::size_t DICTIONARY_ID_SIZES[] = {0, 1, 2, 4};
  constexpr std::size_t CONTENT_SIZE_SIZES[] = {0, 2, 4, 8};
  const unsigned content_size_flag = descriptor >> 6;
  std::size_t at =
      MAGIC_SIZE + 1 + (single_segment ? 0 : 1) + DICTIONARY_ID_SIZES[descriptor & 3] +
      (content_size_flag == 0 && single_segment ? 1 : CONTENT_SIZE_SIZES[content_size_flag]);
  std::uint64_t capacity = 0;
  while (frame.size() - std::min(at, frame.size()) >= BLOCK_HEADER_SIZE) {
    const std::uint32_t header =
        frame[at] | std::uint32_t{frame[at + 1]} << 8 | std::uint32_t{frame[at + 2]} << 16;
    at += BLOCK_HEADER_SIZE;
    const std::uint32_t type = (header >> 1) & 3;
    const std::uint32_t size = header >> 3;
    if (size > LARGEST_BLOCK) return 0;
    capacity += type == 2 ? LARGEST_BLOCK : size;
    at += type == 1 ? 1 : size;    // an RLE block holds its one byte
    if ((header & 1) != 0) break;  // the last block
  }
  return capacity;
}

// Where one frame's bytes are in the payload and where its output goes in the image.
struct PlannedFrame {
  std::size_t input_offset;
  std::size_t input_size;
  std::size_t output_offset;
  std::size_t output_size;
};

// The leading frames whose headers give their decoded sizes, laid out in the image. A size that
// the frame's blocks cannot hold ends the plan there: streamed, such a frame commits memory only
// for what it decodes, and the decoder names its fault.
struct DecodePlan {
  std::vector<PlannedFrame> frames;
  std::size_t unplanned_input = 0;  // payload offset of the first frame not planned
  std::size_t image_size = TRACE_HEADER_SIZE;
  bool over_limit = false;  // the next frame's size would pass the image limit
};

DecodePlan plan_frames(std::span<const std::uint8_t> input, std::uint64_t image_limit) {
  DecodePlan plan;
  while (plan.unplanned_input < input.size()) {
    const std::span<const std::uint8_t> rest = input.subspan(plan.unplanned_input);
    // The size from the frame's header first: finding where the frame ends reads every block's
    // header, which a frame that is streamed anyway need not have read.
    const unsigned long long output_size = ZSTD_getFrameContentSize(rest.data(), rest.size());
    if (output_size == ZSTD_CONTENTSIZE_UNKNOWN || output_size == ZSTD_CONTENTSIZE_ERROR) break;
    const std::size_t input_size = ZSTD_findFrameCompressedSize(rest.data(), rest.size());
    if (ZSTD_isError(input_size)) break;
    if (output_size > frame_capacity(rest.first(input_size))) break;
    const std::uint64_t room = image_limit > plan.image_size ? image_limit - plan.image_size : 0;
    if (output_size > room) {
      plan.over_limit = true;
      break;
    }
    plan.frames.push_back(
        {plan.unplanned_input, input_size, plan.image_size, static_cast<std::size_t>(output_size)});
    plan.unplanned_input += input_size;
    plan.image_size += static_cast<std::size_t>(output_size);
  }
  return plan;
}

// True when the frame decoded to exactly its planned size.
bool decode_planned_frame(std::span<const std::uint8_t> input, const PlannedFrame& frame,
                          std::uint8_t* image) {
  DecompressContext context;
  if (context.get() == nullptr) return false;
  const std::size_t decoded =
      ZSTD_decompressDCtx(context.get(), image + frame.output_offset, frame.output_size,
                          input.data() + frame.input_offset, frame.input_size);
  return !ZSTD_isError(decoded) && decoded == frame.output_size;
}

// The position of the first planned frame that did not decode as planned (all decoded in
// parallel), or the number of frames when all did.
std::size_t decode_planned_frames(WorkerPool& workers, std::span<const std::uint8_t> input,
                                  const std::vector<PlannedFrame>& frames, std::uint8_t* image) {
  std::vector<char> decoded(frames.size(), 0);
  workers.for_each(frames.size(), [&](std::size_t k) {
    decoded[k] = decode_planned_frame(input, frames[k], image);
  });
  return static_cast<std::size_t>(std::find(decoded.begin(), decoded.end(), 0) - decoded.begin());
}

// The capacity that a buffer which starts at 160 + max(payload, one decoder output chunk) and
// doubles whenever it is full has when `written` bytes are in it. The streaming decoder gives
// some errors of a frame whose header lies about its size only when the room left for the frame
// is in a certain range, so the room follows this one rule wherever frames are streamed.
std::uint64_t streaming_capacity(std::size_t written, std::size_t payload_size) {
  std::uint64_t capacity = TRACE_HEADER_SIZE + std::max(payload_size, ZSTD_DStreamOutSize());
  while (capacity <= written) capacity *= 2;
  return capacity;
}

// Resizes the image to `size`, within the limit.
bool resize_within(TraceData& image, std::uint64_t size, std::uint64_t image_limit) {
  return image.resize(static_cast<std::size_t>(std::min(size, image_limit)));
}

// Where the image is likely to end once the rest of the input is decoded, judging by the bytes
// decoded per byte of input so far, within its `size`: the whole of it while nothing is known.
std::size_t likely_end(const ZSTD_inBuffer& in, std::size_t decoded, std::size_t written,
                       std::size_t size) {
  if (in.pos == 0 || decoded == 0) return size;
  const double rest = static_cast<double>(in.size - in.pos) * static_cast<double>(decoded) /
                      static_cast<double>(in.pos);
  const double end = static_cast<double>(written) + rest + static_cast<double>(FAULT_IN_CHUNK);
  return end < static_cast<double>(size) ? static_cast<std::size_t>(end) : size;
}

// One call of the streaming decoder, with the image bytes [fresh, fresh_end) faulted in
// meanwhile.
std::size_t stream_step(WorkerPool& workers, ZSTD_DCtx* context, ZSTD_outBuffer& out,
                        ZSTD_inBuffer& in, std::uint8_t* image, std::size_t fresh,
                        std::size_t fresh_end) {
  std::size_t hint = 0;
  workers.invoke([&] { hint = ZSTD_decompressStream(context, &out, &in); },
                 [&] { fault_in(workers, image + fresh, image + fresh_end); });
  return hint;
}

// Decodes the payload from `resume` on, frame after frame, into the image from `written` on,
// growing it as needed: the path for frames without sizes in their headers, and the one that
// names a bad frame's error. The payload must end with a frame.
Status stream_frames(WorkerPool& workers, std::span<const std::uint8_t> payload, std::size_t resume,
                     TraceData& image, std::size_t& written, std::uint64_t image_limit) {
  DecompressContext context;
  if (context.get() == nullptr) return fail(decode_failure("failed to allocate a zstd decoder"));
  const auto out_of_memory = [] { return fail(decode_failure(OUT_OF_MEMORY)); };
  const std::size_t first_written = written;
  std::size_t fresh = image.size();  // where the bytes not yet faulted in start
  if (!resize_within(image, streaming_capacity(written, payload.size()), image_limit)) {
    return out_of_memory();
  }
  ZSTD_inBuffer in{payload.data() + resume, payload.size() - resume, 0};
  for (;;) {
    if (written == image.size()) {
      if (image.size() >= image_limit) return out_of_memory();
      if (!resize_within(image, std::uint64_t{image.size()} * 2, image_limit)) {
        return out_of_memory();
      }
    }
    // Faulted in no further than the image is likely to reach: the last doubling would
    // otherwise bring in memory that is given back unused.
    fresh = std::min(fresh, image.size());
    const std::size_t fresh_end =
        std::max(fresh, likely_end(in, written - first_written, written, image.size()));
    ZSTD_outBuffer out{image.mutable_data() + written, image.size() - written, 0};
    const std::size_t hint =
        stream_step(workers, context.get(), out, in, image.mutable_data(), fresh, fresh_end);
    fresh = fresh_end;
    if (ZSTD_isError(hint)) return fail(decode_failure(ZSTD_getErrorName(hint)));
    written += out.pos;
    if (in.pos < in.size) continue;
    if (hint == 0) return {};  // input used up exactly at the end of a frame
    // With room left in the output, the decoder stopped because it wants more input.
    if (out.pos < out.size) return fail(decode_failure("incomplete frame"));
  }
}

}  // namespace

Result<TraceData> decode_zstd_image(const TraceData& mapping, const LoadOptions& options) {
  const std::span<const std::uint8_t> payload = mapping.bytes().subspan(TRACE_HEADER_SIZE);
  if (payload.empty()) return fail(decode_failure("incomplete frame"));
  read_in(payload);
  const DecodePlan plan = plan_frames(payload, options.image_limit);
  // Frames without sizes grow the image up to the limit, in place.
  const bool grows = plan.unplanned_input < payload.size();
  auto image = TraceData::allocate(plan.image_size, grows ? options.image_limit : 0);
  if (!image) return fail(decode_failure(OUT_OF_MEMORY));
  std::uint8_t* const data = image->mutable_data();
  std::memcpy(data, mapping.data(), TRACE_HEADER_SIZE);
  WorkerPool& workers = load_workers(options);
  std::size_t first_bad = 0;
  // Once decoding ends, faulting in stops: a frame that fails early must not have the whole size
  // it claimed committed behind it.
  std::atomic<bool> decoded{false};
  workers.invoke(
      [&] {
        first_bad = decode_planned_frames(workers, payload, plan.frames, data);
        decoded = true;
      },
      [&] { fault_in(workers, data + TRACE_HEADER_SIZE, data + image->size(), &decoded); });

  std::size_t written = plan.image_size;
  std::size_t resume = plan.unplanned_input;
  if (first_bad < plan.frames.size()) {
    // Decoded again one frame after the other from there, which gives the decoder's own error.
    written = plan.frames[first_bad].output_offset;
    resume = plan.frames[first_bad].input_offset;
  } else if (plan.over_limit) {
    return fail(decode_failure(OUT_OF_MEMORY));
  }
  if (resume < payload.size()) {
    if (auto streamed =
            stream_frames(workers, payload, resume, *image, written, options.image_limit);
        !streamed) {
      return fail(std::move(streamed.error()));
    }
  }
  image->resize(written);  // in place, giving back the room left
  return std::move(*image);
}

}  // namespace vemo
