// Writes large trace pairs for the benchmarks, with plain file I/O:
//   base.trace    the baseline
//   same.trace    identical to it
//   sparse.trace  one flipped branch in every 997th warp
//   base.zst.trace, same.zst.trace   the same contents, zstd-compressed after the header
// or, given DIVERGE_EVERY, only base.trace, same.trace and
//   divergent.trace  one divergence at every DIVERGE_EVERY-th event of each warp, or with
//                    WARP_EVERY of every WARP_EVERY-th warp: a flipped direction at branch
//                    events, a changed active mask at the others
// A HISTORY_DEPTH gives the plain traces a value history of that depth per warp (0 for none).
// Usage: vemo_gen_traces DIR [SIZE_MIB [EVENTS_PER_WARP [DIVERGE_EVERY [HISTORY_DEPTH
//        [WARP_EVERY]]]]]   (defaults 256, 1024, none, 0, 1)

#include <zstd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "trace/trace_file.hpp"

namespace {

using vemo::TraceEvent;
using vemo::TraceHeader;
using vemo::WarpBufferHeader;

constexpr std::uint32_t SPARSE_EVERY = 997;

std::uint32_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return static_cast<std::uint32_t>(x);
}

// A loop body of 16 sites run over and over, with data-dependent directions and values.
TraceEvent event_at(std::uint32_t warp, std::uint32_t index) {
  const std::uint32_t noise = mix((std::uint64_t{warp} << 32) | index);
  TraceEvent event{};
  event.site_id = 0x100 + index % 16;
  event.event_type = index % 16 == 15 ? 6 : 0;  // a global store closes each iteration
  event.branch_dir = static_cast<std::uint8_t>(noise & 1);
  event.active_mask = (noise & 0x30) == 0x30 ? 0x0000ffffu : 0xffffffffu;
  event.value = noise >> 8;
  return event;
}

struct Shape {
  std::uint32_t num_warps;
  std::uint32_t events_per_warp;
  std::uint32_t history_depth = 0;
};

TraceHeader header_for(const Shape& shape) {
  TraceHeader header;
  header.magic = vemo::TRACE_MAGIC;
  header.version = vemo::TRACE_VERSION;
  header.kernel_hash = 0xbe9c4;
  std::memcpy(header.kernel_name.data(), "bench_kernel", 12);
  header.warps_per_block = 8;
  header.grid = {(shape.num_warps + 7) / 8, 1, 1};
  header.block = {256, 1, 1};
  header.num_warps = shape.num_warps;
  header.events_per_warp = shape.events_per_warp;
  header.cuda_arch = 86;
  if (shape.history_depth != 0) {
    header.flags |= vemo::TRACE_FLAG_HISTORY;
    header.history_depth = shape.history_depth;
  }
  return header;
}

// How the events of a trace differ from base.trace's.
struct Change {
  bool sparse = false;              // one flipped branch in every SPARSE_EVERY-th warp
  std::uint64_t diverge_every = 0;  // one divergence at every such event index; 0 for none
  std::uint64_t warp_every = 1;     // in every such warp
};

// Exactly one divergence against the unchanged event.
void diverge(TraceEvent& event) {
  if (event.event_type == 0) {
    event.branch_dir ^= 1;
  } else {
    event.active_mask ^= 0x80000000u;
  }
}

// One warp buffer: its header and events, as the file holds them.
void fill_warp(std::vector<std::uint8_t>& buffer, std::uint32_t warp, const Shape& shape,
               const Change& change) {
  const WarpBufferHeader header{0, 0, shape.events_per_warp, 0};
  buffer.resize(sizeof header + std::size_t{shape.events_per_warp} * sizeof(TraceEvent));
  std::memcpy(buffer.data(), &header, sizeof header);
  for (std::uint32_t i = 0; i < shape.events_per_warp; ++i) {
    TraceEvent event = event_at(warp, i);
    if (change.sparse && warp % SPARSE_EVERY == 0 && i == warp % shape.events_per_warp) {
      event.branch_dir ^= 1;
      event.event_type = 0;
    }
    if (change.diverge_every != 0 && i % change.diverge_every == 0 &&
        warp % change.warp_every == 0) {
      diverge(event);
    }
    std::memcpy(buffer.data() + sizeof header + i * sizeof event, &event, sizeof event);
  }
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File open_for_writing(const std::string& path) {
  File file(std::fopen(path.c_str(), "wb"));
  if (!file) throw std::runtime_error("cannot create " + path);
  return file;
}

void write_all(std::FILE* file, const void* data, std::size_t size) {
  if (size != 0 && std::fwrite(data, 1, size, file) != size) {
    throw std::runtime_error("write failed");
  }
}

// One warp's value-history block: a ring buffer that has wrapped, so its slots are not in seq
// order.
void fill_history(std::vector<std::uint8_t>& buffer, std::uint32_t warp, const Shape& shape) {
  const std::uint32_t depth = shape.history_depth;
  const vemo::RecordBlockHeader header{0, depth, depth, 0};
  buffer.resize(sizeof header + std::size_t{depth} * sizeof(vemo::HistoryEntry));
  std::memcpy(buffer.data(), &header, sizeof header);
  for (std::uint32_t slot = 0; slot < depth; ++slot) {
    const std::uint32_t seq = depth + (slot + depth - warp % depth) % depth;
    const vemo::HistoryEntry entry{0x100 + seq % 16, mix(std::uint64_t{warp} << 32 | seq), seq, 0};
    std::memcpy(buffer.data() + sizeof header + slot * sizeof entry, &entry, sizeof entry);
  }
}

void write_plain(const std::string& path, const Shape& shape, const Change& change) {
  const File file = open_for_writing(path);
  const auto header = header_for(shape).encode();
  write_all(file.get(), header.data(), header.size());
  std::vector<std::uint8_t> buffer;
  for (std::uint32_t warp = 0; warp < shape.num_warps; ++warp) {
    fill_warp(buffer, warp, shape, change);
    write_all(file.get(), buffer.data(), buffer.size());
  }
  if (shape.history_depth == 0) return;
  for (std::uint32_t warp = 0; warp < shape.num_warps; ++warp) {
    fill_history(buffer, warp, shape);
    write_all(file.get(), buffer.data(), buffer.size());
  }
}

void check_zstd(std::size_t code) {
  if (ZSTD_isError(code)) throw std::runtime_error(ZSTD_getErrorName(code));
}

void write_compressed(const std::string& path, const Shape& shape) {
  const File file = open_for_writing(path);
  TraceHeader header = header_for(shape);
  header.flags |= vemo::TRACE_FLAG_ZSTD;
  const auto encoded = header.encode();
  write_all(file.get(), encoded.data(), encoded.size());

  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
  check_zstd(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, 1));
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_nbWorkers, 8);  // ignored without threads
  std::vector<std::uint8_t> out(ZSTD_CStreamOutSize());
  std::vector<std::uint8_t> buffer;
  for (std::uint32_t warp = 0; warp <= shape.num_warps; ++warp) {
    const bool last = warp == shape.num_warps;
    if (!last) fill_warp(buffer, warp, shape, {});
    ZSTD_inBuffer in{buffer.data(), last ? 0 : buffer.size(), 0};
    const ZSTD_EndDirective mode = last ? ZSTD_e_end : ZSTD_e_continue;
    std::size_t remaining = 0;
    do {
      ZSTD_outBuffer chunk{out.data(), out.size(), 0};
      remaining = ZSTD_compressStream2(context.get(), &chunk, &in, mode);
      check_zstd(remaining);
      write_all(file.get(), out.data(), chunk.pos);
    } while (last ? remaining != 0 : in.pos < in.size);
  }
}

std::uint64_t parse_number(const char* text, const char* what, std::uint64_t least) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || value < least) {
    throw std::runtime_error(
        fmt::format("{} must be a number of at least {}: {}", what, least, text));
  }
  return value;
}

std::uint64_t parse_count(const char* text, const char* what) {
  return parse_number(text, what, 1);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc < 2 || argc > 7) {
      std::fputs(
          "usage: vemo_gen_traces DIR [SIZE_MIB [EVENTS_PER_WARP [DIVERGE_EVERY "
          "[HISTORY_DEPTH [WARP_EVERY]]]]]\n",
          stderr);
      return 2;
    }
    const std::string dir = argv[1];
    const std::uint64_t size_mib = argc > 2 ? parse_count(argv[2], "SIZE_MIB") : 256;
    const std::uint64_t events = argc > 3 ? parse_count(argv[3], "EVENTS_PER_WARP") : 1024;
    const std::uint64_t diverge_every = argc > 4 ? parse_count(argv[4], "DIVERGE_EVERY") : 0;
    const std::uint64_t history_depth = argc > 5 ? parse_number(argv[5], "HISTORY_DEPTH", 0) : 0;
    const std::uint64_t warp_every = argc > 6 ? parse_count(argv[6], "WARP_EVERY") : 1;
    if (size_mib > (1u << 20) || events > UINT32_MAX || history_depth > (1u << 16)) {
      throw std::runtime_error(
          "SIZE_MIB is at most 1048576, EVENTS_PER_WARP at most 2^32 - 1, HISTORY_DEPTH at most "
          "65536");
    }
    // Sized by the events alone, so 1024 MiB of 1 Ki-event warps is exactly 64 Ki warps.
    const std::uint64_t stride = sizeof(WarpBufferHeader) + events * sizeof(TraceEvent);
    const std::uint64_t warps = size_mib * 1024 * 1024 / (events * sizeof(TraceEvent));
    if (warps == 0 || warps > UINT32_MAX) {
      throw std::runtime_error("SIZE_MIB and EVENTS_PER_WARP give no valid warp count");
    }
    const Shape shape{static_cast<std::uint32_t>(warps), static_cast<std::uint32_t>(events),
                      static_cast<std::uint32_t>(history_depth)};
    write_plain(dir + "/base.trace", shape, {});
    // Each file is written, not copied, so that all of them sit in the page cache alike.
    write_plain(dir + "/same.trace", shape, {});
    if (diverge_every != 0) {
      write_plain(dir + "/divergent.trace", shape,
                  {.diverge_every = diverge_every, .warp_every = warp_every});
    } else {
      write_plain(dir + "/sparse.trace", shape, {.sparse = true});
      write_compressed(dir + "/base.zst.trace", shape);
      write_compressed(dir + "/same.zst.trace", shape);
    }
    fmt::print("{} warps x {} events, {} bytes per uncompressed trace\n", shape.num_warps,
               shape.events_per_warp, vemo::TRACE_HEADER_SIZE + warps * stride);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vemo_gen_traces: %s\n", error.what());
    return 1;
  }
  return 0;
}
