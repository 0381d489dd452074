// Writes the example traces, site map, source file and session directories.
// Usage: make_examples OUTPUT_DIR (normally the repository's examples/ directory).

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "support/trace_builder.hpp"

namespace fs = std::filesystem;
using namespace vemo;
using namespace vemo::testing;

namespace {

constexpr std::string_view KERNEL_SOURCE =
    R"(// reduce_sum: per-block partial sums of `in`, accumulated into `out`.
#include <cuda_runtime.h>

__device__ float strided_sum(const float* in, int n, int tid, int stride) {
  float sum = 0.0f;
  for (int i = tid; i < n; i += stride) {
    sum += in[i];
  }
  return sum;
}

__global__ void reduce_sum(const float* in, float* out, int n, float threshold, int width) {
  __shared__ float partial[64];
  const int tid = blockIdx.x * blockDim.x + threadIdx.x;
  float sum = strided_sum(in, n, tid, blockDim.x * gridDim.x);
  partial[threadIdx.x] = sum;
  __syncthreads();

  if (sum < threshold) {
    sum = 0.0f;
  }
  if (threadIdx.x % 32 < width) {
    sum *= 2.0f;
  }
  if (tid >= n) {
    out[gridDim.x + blockIdx.x] = sum;
  } else {
    partial[threadIdx.x] = sum;
  }
  switch (blockIdx.x) {
    case 0: sum += 1.0f; break;
    default: sum -= 1.0f; break;
  }
  atomicAdd(&out[blockIdx.x], sum);
  out[2 * gridDim.x + tid] = sum;
}
)";

constexpr std::uint32_t FULL_MASK = 0xffffffff;
constexpr std::uint64_t REDUCE_SUM_HASH = 0x9e3779b97f4a7c15;
constexpr std::uint32_t WARPS = 4;
constexpr std::uint32_t EVENTS_PER_WARP = 16;
constexpr std::uint32_t STRIDE = 128;  // threads in the grid
constexpr float THRESHOLD = 1.0f;

// The instrumented sites of kernel.cu, in source order.
enum Site : std::uint32_t {
  ENTRY = 1,          // strided_sum entry
  LOOP = 2,           // i < n
  EXIT = 3,           // return sum
  STORE_PARTIAL = 4,  // partial[threadIdx.x] = sum
  BELOW = 5,          // sum < threshold (float compare)
  WIDTH = 6,          // threadIdx.x % 32 < width
  TAIL = 7,           // tid >= n
  STORE_TAIL = 8,     // out[gridDim.x + blockIdx.x] = sum
  STORE_KEEP = 9,     // partial[threadIdx.x] = sum, second store
  SWITCH = 10,        // switch (blockIdx.x)
  ATOMIC = 11,        // atomicAdd
  STORE_OUT = 12,     // out[2 * gridDim.x + tid] = sum
};

struct SiteInfo {
  std::uint32_t site_id;
  std::string_view function;
  std::uint32_t line;
  std::string_view token;  // the column is where this text starts on the line
  EventType type;
  std::uint32_t ordinal;
};

constexpr SiteInfo SITES[] = {
    {ENTRY, "strided_sum", 4, "strided_sum", EventType::FunctionEntry, 0},
    {LOOP, "strided_sum", 6, "i < n", EventType::Branch, 0},
    {EXIT, "strided_sum", 9, "return", EventType::FunctionExit, 0},
    {STORE_PARTIAL, "reduce_sum", 16, "partial", EventType::SharedMemoryStore, 0},
    {BELOW, "reduce_sum", 19, "sum < threshold", EventType::Branch, 0},
    {WIDTH, "reduce_sum", 22, "threadIdx.x % 32", EventType::Branch, 1},
    {TAIL, "reduce_sum", 25, "tid >= n", EventType::Branch, 2},
    {STORE_TAIL, "reduce_sum", 26, "out", EventType::GlobalStore, 0},
    {STORE_KEEP, "reduce_sum", 28, "partial", EventType::SharedMemoryStore, 1},
    {SWITCH, "reduce_sum", 30, "switch", EventType::Switch, 0},
    {ATOMIC, "reduce_sum", 34, "atomicAdd", EventType::Atomic, 0},
    {STORE_OUT, "reduce_sum", 35, "out", EventType::GlobalStore, 1},
};

std::string_view source_line(std::uint32_t number) {
  std::string_view rest = KERNEL_SOURCE;
  for (std::uint32_t line = 1; line < number; ++line) rest.remove_prefix(rest.find('\n') + 1);
  return rest.substr(0, rest.find('\n'));
}

std::uint32_t column_of(const SiteInfo& site) {
  const auto at = source_line(site.line).find(site.token);
  if (at == std::string_view::npos) {
    throw std::logic_error(
        fmt::format("site {}: `{}` not on line {}", site.site_id, site.token, site.line));
  }
  return static_cast<std::uint32_t>(at + 1);
}

std::string site_map_json() {
  std::string json = "[\n";
  for (const auto& site : SITES) {
    json += fmt::format(
        "  {{\"site_id\": {}, \"filename\": \"kernel.cu\", \"function\": \"{}\", \"line\": {}, "
        "\"column\": {}, \"event_type\": {}, \"ordinal\": {}}}{}\n",
        site.site_id, site.function, site.line, column_of(site), static_cast<int>(site.type),
        site.ordinal, &site == &SITES[std::size(SITES) - 1] ? "" : ",");
  }
  return json + "]\n";
}

// What one warp did in one run; the events, history and snapshots follow from it.
struct WarpRun {
  float lane0_sum;  // lane l's sum is this + l / 4
  std::uint32_t iterations;
  std::uint32_t width;  // lanes below it take the WIDTH branch
  std::uint32_t n;      // element count; lanes with tid >= n take the TAIL branch
};

struct Recorded {
  std::vector<TraceEvent> events;
  std::vector<HistoryEntry> values;  // in recording order
};

std::uint32_t bits(float value) {
  return std::bit_cast<std::uint32_t>(value);
}

float lane_sum(const WarpRun& run, std::uint32_t lane) {
  return run.lane0_sum + 0.25f * lane;
}

std::uint32_t lane_mask_below(std::uint32_t width) {
  return width >= 32 ? FULL_MASK : (std::uint32_t{1} << width) - 1;
}

Recorded record_warp(std::uint32_t warp, const WarpRun& run) {
  Recorded out;
  const std::uint32_t tid0 = warp * 32;
  const std::uint32_t block = warp / 2;
  auto add = [&](Site site, EventType type, std::uint8_t dir, std::uint32_t mask,
                 std::uint32_t value) {
    out.events.push_back(event(site, static_cast<std::uint8_t>(type), dir, mask, value));
  };
  auto add_value = [&](Site site, EventType type, std::uint32_t value) {
    add(site, type, 0, FULL_MASK, value);
    const auto seq = static_cast<std::uint32_t>(out.events.size());
    out.values.push_back(history_entry(site, value, seq));
  };

  add(ENTRY, EventType::FunctionEntry, 0, FULL_MASK, tid0);
  for (std::uint32_t k = 0; k <= run.iterations; ++k) {
    add_value(LOOP, EventType::Branch, tid0 + k * STRIDE);
    out.events.back().branch_dir = k < run.iterations ? 1 : 0;
  }
  float sum = run.lane0_sum;
  add(EXIT, EventType::FunctionExit, 0, FULL_MASK, bits(sum));
  add_value(STORE_PARTIAL, EventType::SharedMemoryStore, bits(sum));

  const bool below = sum < THRESHOLD;
  add(BELOW, EventType::Branch, below ? 1 : 0, FULL_MASK, bits(sum));
  if (below) sum = 0.0f;
  add(WIDTH, EventType::Branch, 1, lane_mask_below(run.width), run.width);
  sum *= 2.0f;
  const bool tail = tid0 >= run.n;
  add(TAIL, EventType::Branch, tail ? 1 : 0, FULL_MASK, run.n);
  if (tail) {
    add_value(STORE_TAIL, EventType::GlobalStore, bits(sum));
  } else {
    add_value(STORE_KEEP, EventType::SharedMemoryStore, bits(sum));
  }
  add(SWITCH, EventType::Switch, 0, FULL_MASK, block);
  sum += block == 0 ? 1.0f : -1.0f;
  add_value(ATOMIC, EventType::Atomic, bits(sum));
  add_value(STORE_OUT, EventType::GlobalStore, bits(sum));
  return out;
}

// The recorder keeps the last `depth` values in a ring, so the slots are not in seq order.
HistorySpec history_ring(const std::vector<HistoryEntry>& values, std::uint32_t depth) {
  std::vector<HistoryEntry> slots(std::min<std::size_t>(values.size(), depth));
  for (std::size_t i = 0; i < values.size(); ++i) slots[i % depth] = values[i];
  const auto written = static_cast<std::uint32_t>(values.size());
  return HistorySpec{{depth, written}, slots};
}

SnapshotSpec operand_snapshots(std::uint32_t warp, const WarpRun& run,
                               const std::vector<TraceEvent>& events) {
  auto seq_of = [&](Site site) {
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i].site_id == site) return static_cast<std::uint32_t>(i + 1);
    }
    throw std::logic_error("no event at the snapshot's site");
  };
  std::vector<std::uint32_t> sums, threshold, lanes, width, tids, n;
  for (std::uint32_t lane = 0; lane < SNAPSHOT_LANES; ++lane) {
    sums.push_back(bits(lane_sum(run, lane)));
    threshold.push_back(bits(THRESHOLD));
    lanes.push_back(lane);
    width.push_back(run.width);
    tids.push_back(warp * 32 + lane);
    n.push_back(run.n);
  }
  constexpr CmpPredicate FCMP_OLT = 4, ICMP_SGE = 39, ICMP_SLT = 40;
  // Slot order is the recorder's, not the events' order.
  return SnapshotSpec{{},
                      {snapshot(TAIL, FULL_MASK, seq_of(TAIL), ICMP_SGE, tids, n),
                       snapshot(BELOW, FULL_MASK, seq_of(BELOW), FCMP_OLT, sums, threshold),
                       snapshot(WIDTH, FULL_MASK, seq_of(WIDTH), ICMP_SLT, lanes, width)}};
}

struct Options {
  bool history = false;
  bool snapshots = false;
};

TraceBuilder reduce_sum_trace(const std::vector<WarpRun>& runs, Options options) {
  TraceBuilder builder;
  builder.kernel("reduce_sum", REDUCE_SUM_HASH).shape(WARPS, EVENTS_PER_WARP);
  builder.header.grid = {2, 1, 1};
  builder.header.block = {64, 1, 1};
  builder.header.warps_per_block = 2;
  builder.header.timestamp = 1733820000;
  builder.header.cuda_arch = 86;
  builder.header.sample_rate = 1;
  std::map<std::uint32_t, HistorySpec> history;
  std::map<std::uint32_t, SnapshotSpec> snapshots;
  for (std::uint32_t warp = 0; warp < WARPS; ++warp) {
    Recorded recorded = record_warp(warp, runs[warp]);
    history[warp] = history_ring(recorded.values, 8);
    snapshots[warp] = operand_snapshots(warp, runs[warp], recorded.events);
    builder.warp(warp, std::move(recorded.events));
  }
  if (options.history) builder.history(8, std::move(history));
  if (options.snapshots) builder.snapshots(3, std::move(snapshots));
  return builder;
}

const std::vector<WarpRun> BASELINE = {
    {1.5f, 3, 32, 128},
    {2.0f, 3, 32, 128},
    {2.5f, 2, 32, 128},
    {3.0f, 3, 32, 128},
};

// Warp 0: smaller sums flip the float compare; warp 1: half the lanes active; warp 2: one more
// loop iteration; warp 3: past the end of the data, so it stores elsewhere (a path change).
const std::vector<WarpRun> DIVERGENT = {
    {0.5f, 3, 32, 128},
    {2.0f, 3, 16, 128},
    {2.5f, 3, 32, 128},
    {3.0f, 3, 32, 96},
};

TraceBuilder normalize_trace() {
  TraceBuilder builder;
  builder.kernel("normalize", 0x51ed270b27ef8a43).shape(2, 4);
  builder.header.grid = {1, 1, 1};
  builder.header.block = {64, 1, 1};
  builder.header.warps_per_block = 2;
  builder.header.timestamp = 1733820100;
  builder.header.cuda_arch = 86;
  for (std::uint32_t warp = 0; warp < 2; ++warp) {
    builder.warp(warp, {event(1, static_cast<std::uint8_t>(EventType::FunctionEntry)),
                        event(2, static_cast<std::uint8_t>(EventType::Branch), 1),
                        event(3, static_cast<std::uint8_t>(EventType::GlobalStore), 0, FULL_MASK,
                              bits(0.5f * static_cast<float>(warp + 1)))});
  }
  return builder;
}

struct Launch {
  std::uint32_t launch;
  std::string_view kernel;
  std::string_view file;
  std::array<std::uint32_t, 3> grid;
};

std::string manifest(const std::vector<Launch>& launches) {
  std::string json = "[\n";
  for (std::size_t i = 0; i < launches.size(); ++i) {
    const Launch& l = launches[i];
    json += fmt::format(
        "  {{\"launch\": {}, \"kernel\": \"{}\", \"file\": \"{}\", \"grid\": [{}, {}, {}], "
        "\"block\": [64, 1, 1]}}{}\n",
        l.launch, l.kernel, l.file, l.grid[0], l.grid[1], l.grid[2],
        i + 1 == launches.size() ? "" : ",");
  }
  return json + "]\n";
}

void write_examples(const fs::path& out) {
  const fs::path pair = out / "pair";
  const fs::path run_a = out / "sessions" / "run_a";
  const fs::path run_b = out / "sessions" / "run_b";
  for (const auto& dir : {pair, run_a, run_b}) fs::create_directories(dir);

  const Options full{.history = true, .snapshots = true};
  reduce_sum_trace(BASELINE, full).write(pair / "baseline.trace");
  reduce_sum_trace(DIVERGENT, full).write(pair / "divergent.trace");
  write_file(pair / "kernel.cu", KERNEL_SOURCE);
  write_file(pair / "vemo-sites.json", site_map_json());

  // Sessions: launch 0 identical, launch 1 diverging, normalize only in run_b. Events only, to
  // stay small; one of run_b's traces is compressed.
  const Options events_only{};
  reduce_sum_trace(BASELINE, events_only).write(run_a / "reduce_sum_0.trace");
  reduce_sum_trace(BASELINE, events_only).write(run_a / "reduce_sum_1.trace");
  reduce_sum_trace(BASELINE, events_only).write(run_b / "reduce_sum_0.trace");
  reduce_sum_trace(DIVERGENT, events_only).write(run_b / "reduce_sum_1.trace.zst", 2);
  normalize_trace().write(run_b / "normalize_0.trace");
  write_file(run_a / "session.json",
             manifest({{0, "reduce_sum", "reduce_sum_0.trace", {2, 1, 1}},
                       {1, "reduce_sum", "reduce_sum_1.trace", {2, 1, 1}}}));
  write_file(run_b / "session.json",
             manifest({{0, "reduce_sum", "reduce_sum_0.trace", {2, 1, 1}},
                       {1, "reduce_sum", "reduce_sum_1.trace.zst", {2, 1, 1}},
                       {0, "normalize", "normalize_0.trace", {1, 1, 1}}}));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: make_examples OUTPUT_DIR\n", stderr);
    return 2;
  }
  try {
    write_examples(argv[1]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make_examples: %s\n", error.what());
    return 1;
  }
  return 0;
}
