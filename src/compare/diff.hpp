#pragma once
// The event-sequence diff of one job: two cursors, field checks on matched sites, a bounded
// lookahead on site mismatches.

#include <cstdint>
#include <span>
#include <vector>

#include "compare/records.hpp"

namespace vemo {

std::vector<Divergence> diff_events(std::uint32_t warp_idx, std::span<const TraceEvent> a,
                                    std::span<const TraceEvent> b, const CompareConfig& config);
// The same walk; active masks compare by their number of set lanes.
std::vector<Divergence> diff_events_cross_gpu(std::uint32_t warp_idx, std::span<const TraceEvent> a,
                                              std::span<const TraceEvent> b,
                                              const CompareConfig& config);

}  // namespace vemo
