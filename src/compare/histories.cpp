#include "compare/histories.hpp"

#include <algorithm>
#include <optional>

namespace vemo {

namespace {

HistoryPair cross_gpu_histories(const WarpJob& job, std::uint64_t event_idx, const Trace& a,
                                const Trace& b) {
  HistoryPair histories;
  std::uint64_t position = event_idx;
  std::optional<std::uint32_t> warp_a;
  for (const std::uint32_t w : job.warps_a.indices()) {
    const auto view = warp_events(a, w);
    if (!view) continue;
    warp_a = w;
    if (position < view->events.size()) break;
    position -= view->events.size();
  }
  if (warp_a) histories.a = history_or_empty(a, *warp_a);

  for (const std::uint32_t w : job.warps_b.indices()) {
    histories.b = history_or_empty(b, w);
    if (!histories.b.empty()) break;
  }
  return histories;
}

}  // namespace

HistoryPairing::HistoryPairing(const Trace& a, const Trace& b, bool cross_gpu)
    : cross_gpu_(cross_gpu), jobs_(cross_gpu ? cross_gpu_warp_jobs(a, b) : WarpJobs{}) {}

HistoryPair HistoryPairing::histories(const Trace& a, const Trace& b, std::uint32_t warp_idx,
                                      std::uint64_t event_idx) const {
  if (!cross_gpu_) return {history_or_empty(a, warp_idx), history_or_empty(b, warp_idx)};
  const auto job = jobs_.with_index(warp_idx);
  if (!job) return {};
  return cross_gpu_histories(*job, event_idx, a, b);
}

}  // namespace vemo
