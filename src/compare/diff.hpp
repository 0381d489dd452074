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

// The walk of `diff_events_cross_gpu` when `config.cross_gpu` is set, else of `diff_events`,
// for callers that size their storage first: the number of divergences, counting stops at
// `limit` (0 counts all); and the first `out.size()` divergences written into `out`.
std::uint64_t count_divergences(std::span<const TraceEvent> a, std::span<const TraceEvent> b,
                                const CompareConfig& config, std::uint64_t limit);
void diff_events_into(std::uint32_t warp_idx, std::span<const TraceEvent> a,
                      std::span<const TraceEvent> b, const CompareConfig& config,
                      std::span<Divergence> out);

}  // namespace vemo
