// The section readers over an image in memory, with the trace information and the event dump.

#include <cstring>

#include "core/console.hpp"
#include "fuzz_support.hpp"
#include "output/report.hpp"
#include "trace_sections_walk.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < vemo::TRACE_HEADER_SIZE) return 0;
  vemo::TraceData image = vemo::TraceData::owned(size);
  std::memcpy(image.mutable_data(), data, size);
  const auto header = vemo::TraceHeader::decode(
      std::span<const std::uint8_t>(data, size).first<vemo::TRACE_HEADER_SIZE>());
  const auto trace = vemo::finish_trace(std::move(image), header);
  if (!trace) return 0;
  vemo::fuzz::walk_sections(*trace);
  vemo::console::Capture capture;
  vemo::console::set_styling((header.reserved & 1) != 0);
  vemo::print_trace_info("Trace A", *trace);
  vemo::dump_trace("Trace A", *trace, 3);
  vemo::dump_trace("Trace B", *trace, 1000);
  return 0;
}
