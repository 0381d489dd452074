// The trace loader from a file: plain and zstd images, cut and skippable frames, garbage tails.

#include "fuzz_support.hpp"
#include "trace_sections_walk.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path =
      vemo::fuzz::write_scratch_file("input.trace", {reinterpret_cast<const char*>(data), size});
  const auto trace = vemo::load_trace(path);
  if (trace) vemo::fuzz::walk_sections(*trace);
  return 0;
}
