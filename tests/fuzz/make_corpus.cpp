// Writes the seed corpora of the fuzz targets from the examples and small built traces.
// Usage: make_fuzz_corpus EXAMPLES_DIR CORPUS_DIR (normally examples/ and tests/fuzz/corpus/).

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "support/trace_builder.hpp"

namespace fs = std::filesystem;
using namespace vemo;
using namespace vemo::testing;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string text_of(const Bytes& bytes) {
  return {bytes.begin(), bytes.end()};
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) out += fuzz::PART_SEPARATOR;
    out += parts[i];
  }
  return out;
}

// Two warps with every event type, a value history and operand snapshots.
TraceBuilder full_trace(std::uint32_t flip_site) {
  TraceBuilder builder;
  builder.shape(2, 6)
      .warp(0, {event(1, 0, 1), event(2, 1, 0, 0xffff, 7), event(3, 2, 0, 0xff, 9), event(4, 3),
                event(5, 4), event(6, 5, 0, 0xffffffff, 3)})
      .warp(1, {event(1, 0, 0), event(flip_site, 6, 1, 0x0f0f0f0f, 0x3f800000)});
  builder.history(
      2, {{0, {.block = {}, .entries = {history_entry(1, 5, 0), history_entry(2, 6, 1)}}}});
  builder.snapshots(
      1,
      {{0, {.block = {}, .entries = {snapshot(1, 0xffffffff, 0, 4, {0x3f800000}, {0x40000000})}}},
       {1, {.block = {}, .entries = {snapshot(1, 0x3, 0, 40, {1, 2}, {2, 1})}}}});
  return builder;
}

Bytes skippable_frame(std::string_view payload) {
  Bytes frame = {0x50, 0x2a, 0x4d, 0x18};
  const auto size = static_cast<std::uint32_t>(payload.size());
  for (int shift = 0; shift < 32; shift += 8)
    frame.push_back(static_cast<std::uint8_t>(size >> shift));
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes header_only(const Bytes& file) {
  return {file.begin(), file.begin() + TRACE_HEADER_SIZE};
}

Bytes payload_of(const Bytes& file) {
  return {file.begin() + TRACE_HEADER_SIZE, file.end()};
}

class CorpusWriter {
 public:
  explicit CorpusWriter(fs::path root) : root_(std::move(root)) {}
  void add(std::string_view target, std::string_view name, std::string_view bytes) {
    fs::create_directories(root_ / target);
    write_file(root_ / target / name, bytes);
  }
  void add(std::string_view target, std::string_view name, const Bytes& bytes) {
    add(target, name, text_of(bytes));
  }

 private:
  fs::path root_;
};

void trace_load_seeds(CorpusWriter& out, const fs::path& examples) {
  const TraceBuilder full = full_trace(9);
  const Bytes plain = full.file_bytes();
  const Bytes one_frame = full.file_bytes(1);
  const Bytes three_frames = full.file_bytes(3);
  out.add("trace_load", "example_baseline", read_file(examples / "pair/baseline.trace"));
  out.add("trace_load", "example_session_zstd",
          read_file(examples / "sessions/run_b/reduce_sum_1.trace.zst"));
  out.add("trace_load", "plain", plain);
  out.add("trace_load", "zstd_one_frame", one_frame);
  out.add("trace_load", "zstd_three_frames", three_frames);
  out.add("trace_load", "zstd_skippable_first",
          concat(concat(header_only(one_frame), skippable_frame("note")), payload_of(one_frame)));
  out.add("trace_load", "zstd_skippable_last", concat(one_frame, skippable_frame("")));
  out.add("trace_load", "zstd_cut_frame", Bytes(one_frame.begin(), one_frame.end() - 5));
  out.add("trace_load", "zstd_garbage_tail", concat(one_frame, Bytes{0xde, 0xad, 0xbe, 0xef}));
  out.add("trace_load", "zstd_no_payload", header_only(one_frame));
  out.add("trace_load", "plain_garbage_tail", concat(plain, Bytes(7, 0xab)));
  out.add("trace_load", "plain_cut", Bytes(plain.begin(), plain.end() - 20));
  out.add("trace_load", "too_small", Bytes(plain.begin(), plain.begin() + 100));
}

void trace_sections_seeds(CorpusWriter& out, const fs::path& examples) {
  out.add("trace_sections", "example_divergent", read_file(examples / "pair/divergent.trace"));
  out.add("trace_sections", "full", full_trace(9).image());
  TraceBuilder placed = full_trace(9);
  placed.header.history_offset = 160 + 2 * (16 + 6 * 16);
  placed.header.snapshot_offset = placed.header.history_offset + 2 * (16 + 2 * 16);
  out.add("trace_sections", "sections_at_offsets", placed.image());
  TraceBuilder unaligned = full_trace(9);
  unaligned.header.history_offset = 161;
  unaligned.header.snapshot_offset = 170;
  out.add("trace_sections", "sections_unaligned", unaligned.image());
  TraceBuilder overfull = full_trace(9);
  overfull.warps[1].event_count = 1000;
  overfull.warps[1].overflow_count = 3;
  overfull.header.flags |= TRACE_FLAG_SAMPLING;
  overfull.header.sample_rate = 4;
  out.add("trace_sections", "count_past_capacity", overfull.image());
}

void site_map_seeds(CorpusWriter& out, const fs::path& examples) {
  const std::string example = read_file(examples / "pair/vemo-sites.json");
  out.add("site_map", "example_with_itself", joined({example, example}));
  out.add("site_map", "remapped",
          joined({R"([{"site_id": 10, "filename": "k.cu", "function": "f", "line": 1, "column": 2,
                     "event_type": 0, "ordinal": 0}])",
                  R"([[20, "k.cu", "f", 1, 2, 0, 0], [21, "k.cu", "F", 3, 4, 0, 0],
                     [22, "k.cu", "f", 5, 6, 1, null], {"site_id": 23, "extra": {"a": [1, 2.5e3]},
                     "filename": "k\u00e9.cu", "function": "f", "line": 7, "column": 8,
                     "event_type": 255}])"}));
  out.add("site_map", "errors",
          joined({R"([{"site_id": 1, "site_id": 2}])", R"([[5, "a", "b", 10, 3]] x)"}));
  // Map A in the common shape the quick reading takes, with keys it skips; then a manifest's.
  out.add(
      "site_map", "quick_shapes",
      joined({R"([{"site_id":1,"filename":"src/k.cu","function":"_Z4kernPf","line":3,
                     "column":7,"event_type":2,"ordinal":0,"extra":[true,false,null,-1.5e2,{}]},
                     [2,"src/k.cu","_Z4kernPf",4,1,0]])",
              R"([{"launch":0,"kernel":"k","file":"k0.trace","grid":[1,2,3],"block":[32,1,1]}])"}));
  out.add("site_map", "manifest_shape",
          R"([{"launch":0,"kernel":"k","file":"k0.trace","grid":[1,2,3],"block":[32,1,1]},
               [1,"k","k1.trace",[4,5,6],[64,1,1]]])");
}

void session_seeds(CorpusWriter& out, const fs::path& examples) {
  const std::string trace_a = read_file(examples / "sessions/run_a/reduce_sum_0.trace");
  const std::string trace_b = read_file(examples / "sessions/run_b/reduce_sum_1.trace.zst");
  const std::string launches =
      R"([{"launch": 0, "kernel": "reduce_sum", "file": "a.trace", "grid": [2, 1, 1], "block": [64, 1, 1]},
  {"launch": 1, "kernel": "reduce_sum", "file": "b.trace", "grid": [2, 1, 1], "block": [64, 1, 1]}])";
  const std::string swapped =
      R"([[0, "reduce_sum", "b.trace", [2, 1, 1], [32, 1, 1]], [1, "reduce_sum", "a.trace", [1, 1, 1], [64, 1, 1]],
  [2, "normalize", "missing.trace", [1, 1, 1], [1, 1, 1]]])";
  out.add("session", "two_launches", joined({launches, swapped, trace_a, trace_b}));
  out.add("session", "same_session", joined({launches, launches, trace_a, trace_a}));
  out.add("session", "bad_manifest", joined({R"([{"launch": -1}])", "{}", trace_a, trace_b}));
}

void filter_seeds(CorpusWriter& out) {
  out.add("filters", "ranges", joined({"0-10,15,20-25", "branch,path", "1,2,255"}));
  out.add(
      "filters", "edges",
      joined({"4294967290-4294967295, +4 ,007", " ,\u0130X, Path ", "0x1f,4294967295,\u3000 7"}));
  out.add("filters", "refused", joined({"5-3,-,1-2-3,++4", "active mask", "abc,3abc"}));
}

void command_line_seeds(CorpusWriter& out) {
  const auto args = [](const std::vector<std::string>& list) {
    std::string text;
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (i != 0) text += '\0';
      text += list[i];
    }
    return text;
  };
  out.add("command_line", "pair", args({"a.trace", "b.trace"}));
  out.add("command_line", "many_options",
          args({"--map",
                "s.json",
                "--classify",
                "-n",
                "+5",
                "--values",
                "-l",
                "7",
                "--lookahead",
                "0",
                "--json",
                "--max-allowed-divergences",
                "3",
                "--csv",
                "o.csv",
                "--export-flamegraph=o.json",
                "--warps",
                "0-3",
                "--filter-kind",
                "branch",
                "--filter-sites",
                "1,2",
                "--remap-a",
                "x",
                "--remap-b",
                "y",
                "a",
                "b"}));
  out.add("command_line", "session",
          args({"--session", "--continue-after-path", "--cross-gpu", "--ignore-active-mask",
                "run_a", "run_b"}));
  out.add("command_line", "dump",
          args({"--dump-a", "18446744073709551615", "-v", "--tui", "--history", "--float",
                "--force", "a", "b"}));
  out.add("command_line", "help", args({"--help"}));
  out.add("command_line", "version", args({"-V"}));
  out.add("command_line", "refused",
          args({"--verbose=true", "--csv", "", "--lookahead", "-1", "--json", "--json", "a"}));
}

void compare_seeds(CorpusWriter& out, const fs::path& examples) {
  const std::string base = read_file(examples / "pair/baseline.trace");
  const std::string divergent = read_file(examples / "pair/divergent.trace");
  const std::string map = read_file(examples / "pair/vemo-sites.json");
  // Option bytes: max divergences, lookahead, values, skip name check, continue after path,
  // cross-GPU, max shown, float, ignore active mask, styling, threshold given, threshold.
  const std::string all_off(12, '\0');
  const std::string all_on = {0, 32, 1, 1, 1, 0, 10, 1, 1, 1, 1, 2};
  const std::string cross = {3, 2, 1, 1, 0, 1, 2, 0, 0, 0, 1, 0};
  out.add("compare", "example_pair", joined({all_off, base, divergent, map, "", "", "", ""}));
  out.add("compare", "example_pair_all_options",
          joined({all_on, base, divergent, map, map, "0-3", "branch,value", ""}));
  TraceBuilder other_arch = full_trace(10);
  other_arch.header.cuda_arch = 4096 + 90;
  TraceBuilder nvidia = full_trace(9);
  nvidia.header.cuda_arch = 80;
  out.add(
      "compare", "built_cross_gpu",
      joined({cross, text_of(nvidia.image()), text_of(other_arch.image()), "", "", "", "", ""}));
  out.add("compare", "built_same",
          joined({all_on, text_of(nvidia.image()), text_of(nvidia.image()), "", "", "", "", "9"}));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_fuzz_corpus EXAMPLES_DIR CORPUS_DIR\n");
    return 2;
  }
  try {
    const fs::path examples = argv[1];
    CorpusWriter out(argv[2]);
    trace_load_seeds(out, examples);
    trace_sections_seeds(out, examples);
    site_map_seeds(out, examples);
    session_seeds(out, examples);
    filter_seeds(out);
    command_line_seeds(out);
    compare_seeds(out, examples);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_fuzz_corpus: %s\n", e.what());
    return 1;
  }
  return 0;
}
