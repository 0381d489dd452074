#include "compare/alignment_walk.hpp"

#include <algorithm>
#include <cstring>

namespace vemo {

namespace {

bool same_bytes(const TraceEvent* a, const TraceEvent* b, std::size_t count) {
  return std::memcmp(a, b, count * sizeof(TraceEvent)) == 0;
}

// From `k`, past every whole run of `WIDTH` events that are the same, short of `end`.
template <std::size_t WIDTH>
std::size_t past_same(const TraceEvent* a, const TraceEvent* b, std::size_t k, std::size_t end) {
  while (end - k >= WIDTH && same_bytes(a + k, b + k, WIDTH)) k += WIDTH;
  return k;
}

}  // namespace

std::size_t identical_prefix(std::span<const TraceEvent> a, std::span<const TraceEvent> b) {
  const std::size_t n = std::min(a.size(), b.size());
  const TraceEvent* pa = a.data();
  const TraceEvent* pb = b.data();
  const std::size_t short_end = std::min(n, IDENTICAL_SHORT_RUN);
  std::size_t k = past_same<IDENTICAL_GROUP_EVENTS>(pa, pb, 0, short_end);
  if (short_end - k < IDENTICAL_GROUP_EVENTS) {  // no group of the short run differed
    k = past_same<IDENTICAL_BLOCK_EVENTS>(pa, pb, k, n);
    k = past_same<IDENTICAL_GROUP_EVENTS>(pa, pb, k, n);
  }
  while (k < n && same_bytes(pa + k, pb + k, 1)) ++k;
  return k;
}

}  // namespace vemo
