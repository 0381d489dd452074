#include "compare/diff.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <optional>

namespace vemo {

namespace {

// The smallest distance d in 1..lookahead with `events[from + d]` at `site`, if any.
std::optional<std::uint64_t> distance_to_site(std::span<const TraceEvent> events, std::size_t from,
                                              std::uint32_t site, std::uint64_t lookahead) {
  const std::size_t remaining = events.size() - from - 1;  // events after `from`
  const std::uint64_t reach = std::min<std::uint64_t>(lookahead, remaining);
  for (std::uint64_t d = 1; d <= reach; ++d) {
    if (events[from + d].site_id == site) return d;
  }
  return std::nullopt;
}

// The walk shared by both variants; `masks_differ` is the only thing that tells them apart.
template <class MaskTest>
std::vector<Divergence> diff_with(std::uint32_t warp_idx, std::span<const TraceEvent> a,
                                  std::span<const TraceEvent> b, const CompareConfig& config,
                                  MaskTest masks_differ) {
  std::vector<Divergence> found;
  auto emit = [&](std::uint64_t event_idx, std::uint32_t site_id, DivergenceKind kind) {
    found.push_back(Divergence{.warp_idx = warp_idx,
                               .event_idx = event_idx,
                               .site_id = site_id,
                               .kind = std::move(kind),
                               .snapshot = std::nullopt});
  };
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const TraceEvent& ea = a[i];
    const TraceEvent& eb = b[j];
    // Byte-identical events match with nothing to report; by far the most common case.
    if (std::memcmp(&ea, &eb, sizeof(TraceEvent)) == 0) {
      ++i;
      ++j;
      continue;
    }
    if (ea.site_id == eb.site_id) {
      if (ea.branch_dir != eb.branch_dir &&
          ea.event_type == static_cast<std::uint8_t>(EventType::Branch)) {
        emit(i, ea.site_id, {BranchKind{ea.branch_dir, eb.branch_dir}});
      }
      if (masks_differ(ea.active_mask, eb.active_mask)) {
        emit(i, ea.site_id, {ActiveMaskKind{ea.active_mask, eb.active_mask}});
      }
      if (config.compare_values && ea.value != eb.value) {
        emit(i, ea.site_id, {ValueKind{ea.value, eb.value}});
      }
      ++i;
      ++j;
      continue;
    }
    const auto k = distance_to_site(b, j, ea.site_id, config.lookahead);
    const auto m = distance_to_site(a, i, eb.site_id, config.lookahead);
    if (m && (!k || *m <= *k)) {
      emit(i, ea.site_id, {ExtraEventsKind{*m, TraceSide::A}});
      i += *m;
    } else if (k) {
      emit(i, eb.site_id, {ExtraEventsKind{*k, TraceSide::B}});
      j += *k;
    } else {
      emit(i, ea.site_id, {PathKind{ea.site_id, eb.site_id}});
      if (!config.continue_after_path) break;
      ++i;
      ++j;
    }
  }
  if (i < a.size()) {
    emit(i, a[i].site_id, {ExtraEventsKind{a.size() - i, TraceSide::A}});
  } else if (j < b.size()) {
    emit(i, b[j].site_id, {ExtraEventsKind{b.size() - j, TraceSide::B}});
  }
  return found;
}

}  // namespace

std::vector<Divergence> diff_events(std::uint32_t warp_idx, std::span<const TraceEvent> a,
                                    std::span<const TraceEvent> b, const CompareConfig& config) {
  return diff_with(warp_idx, a, b, config,
                   [](std::uint32_t mask_a, std::uint32_t mask_b) { return mask_a != mask_b; });
}

std::vector<Divergence> diff_events_cross_gpu(std::uint32_t warp_idx, std::span<const TraceEvent> a,
                                              std::span<const TraceEvent> b,
                                              const CompareConfig& config) {
  return diff_with(warp_idx, a, b, config, [](std::uint32_t mask_a, std::uint32_t mask_b) {
    return std::popcount(mask_a) != std::popcount(mask_b);
  });
}

}  // namespace vemo
