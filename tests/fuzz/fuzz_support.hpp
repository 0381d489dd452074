#pragma once
// Shared pieces of the fuzz targets: splitting one input into several, a per-process scratch
// directory for the readers that take a path, what a writer formats, and a JSON
// well-formedness check.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/sink.hpp"

namespace vemo::fuzz {

// Separates the parts of a multi-part input; the seeds use it, and the fuzzer learns it from
// them.
inline constexpr std::string_view PART_SEPARATOR = "\n--8<--\n";

// The input cut at each separator into `count` parts; missing parts are empty and the last part
// keeps the rest, separators included.
std::vector<std::string_view> split_parts(std::span<const std::uint8_t> input, std::size_t count);

// Reads small numbers off the front of a part, zero once it is used up.
class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}
  std::uint8_t byte();
  bool flag() { return (byte() & 1) != 0; }

 private:
  std::string_view bytes_;
};

// A directory of this process, created on first use and removed at exit.
const std::string& scratch_dir();
// Writes `bytes` to `name` inside the scratch directory and returns the path. Aborts when the
// file cannot be written: the target cannot go on without it.
std::string write_scratch_file(std::string_view name, std::string_view bytes);
// Makes (if needed) and returns a subdirectory of the scratch directory.
std::string scratch_subdir(std::string_view name);
// The file's contents; aborts when it cannot be read.
std::string read_scratch_file(const std::string& path);

// What `write` formats into a sink over a string.
template <class Write>
std::string written(Write&& write) {
  std::string text;
  OutputSink out(text);
  write(out);
  return text;
}

// Aborts, naming `what`, when `text` is not one well-formed JSON document.
void require_valid_json(std::string_view text, std::string_view what);

}  // namespace vemo::fuzz

// The entry point libFuzzer calls, and the replay driver too.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
