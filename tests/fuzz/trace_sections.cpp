// The section readers over an image in memory, with the trace information and the event dump.

#include <cstring>

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
  std::string text;
  vemo::OutputSink out(text);
  const vemo::Styling styling((header.reserved & 1) != 0);
  vemo::write_trace_info(out, styling, "Trace A", *trace);
  vemo::write_dump(out, styling, "Trace A", *trace, 3);
  vemo::write_dump(out, styling, "Trace B", *trace, 1000);
  return 0;
}
