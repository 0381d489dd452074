// Writes a compressed copy of a plain trace in one of the shapes recorders produce:
//   frame           one zstd frame whose header gives its decoded size
//   frame-unsized   one zstd frame without its decoded size (as a streaming writer leaves it)
//   frames          independent 4 MiB frames, each giving its decoded size
// The 160 header bytes get the compression flag; everything after them is compressed at level 1.
// Usage: vemo_zstd_trace MODE PLAIN_TRACE OUT

#include <zstd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "trace/trace_file.hpp"

namespace {

constexpr std::size_t FRAME_INPUT = std::size_t{4} << 20;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File open_file(const std::string& path, const char* mode) {
  File file(std::fopen(path.c_str(), mode));
  if (!file) throw std::runtime_error("cannot open " + path);
  return file;
}

std::vector<std::uint8_t> read_all(const std::string& path) {
  const File file = open_file(path, "rb");
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[1 << 16];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) != 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  if (std::ferror(file.get()) != 0) throw std::runtime_error("cannot read " + path);
  return bytes;
}

void check_zstd(std::size_t code) {
  if (ZSTD_isError(code)) throw std::runtime_error(ZSTD_getErrorName(code));
}

// The frames of `input`, `frame_input` bytes of it per frame.
std::vector<std::uint8_t> compress(std::span<const std::uint8_t> input, std::size_t frame_input,
                                   bool with_size) {
  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
  check_zstd(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, 1));
  check_zstd(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, with_size ? 1 : 0));
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_nbWorkers, 8);  // ignored without threads
  std::vector<std::uint8_t> output;
  for (std::size_t at = 0; at < input.size(); at += frame_input) {
    const std::span<const std::uint8_t> part =
        input.subspan(at, std::min(frame_input, input.size() - at));
    const std::size_t used = output.size();
    output.resize(used + ZSTD_compressBound(part.size()));
    const std::size_t written = ZSTD_compress2(context.get(), output.data() + used,
                                               output.size() - used, part.data(), part.size());
    check_zstd(written);
    output.resize(used + written);
  }
  return output;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string_view mode = argc == 4 ? argv[1] : "";
    if (mode != "frame" && mode != "frame-unsized" && mode != "frames") {
      std::fputs("usage: vemo_zstd_trace frame|frame-unsized|frames PLAIN_TRACE OUT\n", stderr);
      return 2;
    }
    std::vector<std::uint8_t> trace = read_all(argv[2]);
    if (trace.size() < vemo::TRACE_HEADER_SIZE) throw std::runtime_error("not a trace");
    const std::span<const std::uint8_t> payload = std::span(trace).subspan(vemo::TRACE_HEADER_SIZE);
    const std::size_t frame_input = mode == "frames" ? FRAME_INPUT : payload.size();
    const std::vector<std::uint8_t> frames =
        compress(payload, std::max<std::size_t>(frame_input, 1), mode != "frame-unsized");

    vemo::TraceHeader header =
        vemo::TraceHeader::decode(std::span(trace).first<vemo::TRACE_HEADER_SIZE>());
    header.flags |= vemo::TRACE_FLAG_ZSTD;
    const auto encoded = header.encode();
    const File out = open_file(argv[3], "wb");
    if (std::fwrite(encoded.data(), 1, encoded.size(), out.get()) != encoded.size() ||
        std::fwrite(frames.data(), 1, frames.size(), out.get()) != frames.size()) {
      throw std::runtime_error("write failed");
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vemo_zstd_trace: %s\n", error.what());
    return 1;
  }
  return 0;
}
