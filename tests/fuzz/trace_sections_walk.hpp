#pragma once
// Reads every section of a loaded trace the way the outputs do, so the fuzz targets reach the
// section readers with whatever header and image the input gives.

#include <cstdint>
#include <limits>

#include "trace/trace_file.hpp"

namespace vemo::fuzz {

inline void walk_sections(const Trace& trace) {
  // A warp index past the count must fail cleanly too.
  const std::uint64_t last = std::uint64_t{trace.header.num_warps} + 1;
  for (std::uint64_t warp = 0; warp <= last; ++warp) {
    (void)history_or_empty(trace, warp);
    const auto view = warp_events(trace, warp);
    if (!view) continue;
    for (const TraceEvent& event : view->events) {
      (void)event_type_name(event.event_type);
      (void)find_snapshot(trace, warp, event.site_id);
    }
  }
  (void)warp_events(trace, std::numeric_limits<std::uint64_t>::max());
  (void)history_entries(trace, std::numeric_limits<std::uint64_t>::max());
  (void)trace.header.kernel_name_text();
}

}  // namespace vemo::fuzz
