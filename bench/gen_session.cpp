// Writes two identical session directories of many small launches for the session benchmark:
//   DIR/a/session.json, DIR/a/launch_N.trace and the same under DIR/b, N = 0 .. LAUNCHES-1.
// Every trace is written on its own (not copied) with WARPS warps of EVENTS events, so that all
// files sit in the page cache alike. Launches cycle through 16 kernel names.
// Usage: vemo_gen_session DIR LAUNCHES [WARPS [EVENTS]]   (defaults 8 warps, 32 events)

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "trace/trace_file.hpp"

namespace {

using vemo::TraceEvent;
using vemo::TraceHeader;
using vemo::WarpBufferHeader;

constexpr std::uint32_t KERNELS = 16;
constexpr std::uint32_t WARPS_PER_BLOCK = 8;

struct Shape {
  std::uint32_t warps;
  std::uint32_t events;
};

std::string kernel_name(std::uint32_t launch) {
  return fmt::format("kernel_{:02}", launch % KERNELS);
}

TraceHeader header_for(std::uint32_t launch, const Shape& shape) {
  TraceHeader header;
  header.magic = vemo::TRACE_MAGIC;
  header.version = vemo::TRACE_VERSION;
  header.kernel_hash = 0x5e55 + launch % KERNELS;
  const std::string name = kernel_name(launch);
  std::memcpy(header.kernel_name.data(), name.data(), name.size());
  header.warps_per_block = WARPS_PER_BLOCK;
  header.grid = {(shape.warps + WARPS_PER_BLOCK - 1) / WARPS_PER_BLOCK, 1, 1};
  header.block = {WARPS_PER_BLOCK * 32, 1, 1};
  header.num_warps = shape.warps;
  header.events_per_warp = shape.events;
  header.cuda_arch = 86;
  return header;
}

template <class T>
void append_record(std::vector<std::uint8_t>& image, const T& record) {
  const std::size_t at = image.size();
  image.resize(at + sizeof record);
  std::memcpy(image.data() + at, &record, sizeof record);
}

// The whole file: header, then each warp's buffer header and events.
std::vector<std::uint8_t> trace_image(std::uint32_t launch, const Shape& shape) {
  const auto header = header_for(launch, shape).encode();
  std::vector<std::uint8_t> image(header.begin(), header.end());
  for (std::uint32_t warp = 0; warp < shape.warps; ++warp) {
    const WarpBufferHeader buffer{0, 0, shape.events, 0};
    append_record(image, buffer);
    for (std::uint32_t i = 0; i < shape.events; ++i) {
      TraceEvent event{};
      event.site_id = 0x100 + i % 16;
      event.branch_dir = static_cast<std::uint8_t>((warp + i + launch) & 1);
      event.active_mask = 0xffffffffu;
      event.value = i * 7 + warp;
      append_record(image, event);
    }
  }
  return image;
}

void write_file(const std::string& path, const void* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) throw std::runtime_error("cannot create " + path);
  const bool written = std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !written) throw std::runtime_error("write failed: " + path);
}

void write_session(const std::string& dir, std::uint32_t launches, const Shape& shape) {
  std::string manifest = "[\n";
  for (std::uint32_t launch = 0; launch < launches; ++launch) {
    const std::string file = fmt::format("launch_{}.trace", launch);
    const std::vector<std::uint8_t> image = trace_image(launch, shape);
    write_file(dir + "/" + file, image.data(), image.size());
    const TraceHeader header = header_for(launch, shape);
    manifest += fmt::format(
        R"(  {{"launch": {}, "kernel": "{}", "file": "{}", "grid": [{}, 1, 1], "block": [{}, 1, 1]}}{})",
        launch / KERNELS, kernel_name(launch), file, header.grid[0], header.block[0],
        launch + 1 < launches ? ",\n" : "\n");
  }
  manifest += "]\n";
  write_file(dir + "/session.json", manifest.data(), manifest.size());
}

std::uint32_t parse_count(const char* text, const char* what) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || value == 0 || value > (1u << 24)) {
    throw std::runtime_error(fmt::format("{} must be a number from 1 to 2^24: {}", what, text));
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc < 3 || argc > 5) {
      std::fputs("usage: vemo_gen_session DIR LAUNCHES [WARPS [EVENTS]]\n", stderr);
      return 2;
    }
    const std::string dir = argv[1];
    const std::uint32_t launches = parse_count(argv[2], "LAUNCHES");
    const Shape shape{argc > 3 ? parse_count(argv[3], "WARPS") : 8,
                      argc > 4 ? parse_count(argv[4], "EVENTS") : 32};
    // The directories a and b must exist.
    write_session(dir + "/a", launches, shape);
    write_session(dir + "/b", launches, shape);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vemo_gen_session: %s\n", error.what());
    return 1;
  }
  return 0;
}
