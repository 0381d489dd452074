#pragma once
// The value histories that belong to a divergence, for the console report and the viewer.

#include <cstdint>
#include <vector>

#include "compare/traces.hpp"
#include "trace/trace_file.hpp"

namespace vemo {

struct HistoryPair {
  std::vector<HistoryEntry> a;
  std::vector<HistoryEntry> b;
};

// Same-architecture divergences name a warp, whose history is read in both traces. Cross-GPU
// divergences name a job (a chunk of threads), not a warp: trace A's history is that of the
// job's warp whose events contain the divergence's position in the job's concatenated sequence
// (the last readable warp when the position lies past the end, as for trace B's extra events);
// trace B records no position, so it is the first of the job's warps that has history. A
// history that cannot be read counts as empty.
class HistoryPairing {
 public:
  HistoryPairing(const Trace& a, const Trace& b, bool cross_gpu);

  // `event_idx` is trace A's position in the job's event sequence, as a divergence records it.
  HistoryPair histories(const Trace& a, const Trace& b, std::uint32_t warp_idx,
                        std::uint64_t event_idx) const;

 private:
  bool cross_gpu_;
  WarpJobs jobs_;  // cross-GPU only
};

}  // namespace vemo
