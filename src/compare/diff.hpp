#pragma once
// The event-sequence diff of one job: the steps of the alignment walk (compare/alignment_walk),
// field checks on matched sites; runs of byte-identical events are passed over whole, since
// each would be a matched pair with nothing to report. The viewer's aligned view takes the same
// steps but differs in what it is given and reports (tui/aligned.hpp): here the look-ahead is
// --lookahead, trace B's site ids arrive remapped, a cross-GPU job joins a chunk's warps, and
// after a Path that stops the walk trace A's rest is reported as extra events.

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
