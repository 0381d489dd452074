#include "compare/diff.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <optional>
#include <utility>

#include "compare/alignment_walk.hpp"

namespace vemo {

namespace {

// The walk shared by both variants; `mask_test` is the only thing that tells them apart.
// Each divergence goes to `sink.add`; the walk ends early once `sink.full()`.
template <class Sink, class MaskTest>
void walk(std::span<const TraceEvent> a, std::span<const TraceEvent> b, const CompareConfig& config,
          MaskTest mask_test, Sink& sink) {
  AlignmentWalk steps(a, b, config.lookahead,
                      config.continue_after_path ? AfterPath::StepPast : AfterPath::Stop);
  while (!sink.full()) {
    steps.skip_identical();
    const auto step = steps.next();
    if (!step) break;
    const std::size_t i = step->i;
    const TraceEvent& ea = a[i];
    const TraceEvent& eb = b[step->j];
    switch (step->kind) {
      case WalkStepKind::Matched:
        // Byte-identical events were skipped above: these differ somewhere, perhaps only in
        // bytes that no check reads.
        if (ea.branch_dir != eb.branch_dir &&
            ea.event_type == static_cast<std::uint8_t>(EventType::Branch)) {
          sink.add(i, ea.site_id, {BranchKind{ea.branch_dir, eb.branch_dir}});
        }
        if (mask_test(ea.active_mask, eb.active_mask)) {
          sink.add(i, ea.site_id, {ActiveMaskKind{ea.active_mask, eb.active_mask}});
        }
        if (config.compare_values && ea.value != eb.value) {
          sink.add(i, ea.site_id, {ValueKind{ea.value, eb.value}});
        }
        break;
      case WalkStepKind::ExtraA:
        sink.add(i, ea.site_id, {ExtraEventsKind{step->count, TraceSide::A}});
        break;
      case WalkStepKind::ExtraB:
        sink.add(i, eb.site_id, {ExtraEventsKind{step->count, TraceSide::B}});
        break;
      case WalkStepKind::Path:
        sink.add(i, ea.site_id, {PathKind{ea.site_id, eb.site_id}});
        break;
    }
  }
  // What is left after the walk, at most one side's: reported whole.
  const std::size_t i = steps.i();
  if (steps.remaining_a() > 0) {
    sink.add(i, a[i].site_id, {ExtraEventsKind{steps.remaining_a(), TraceSide::A}});
  } else if (steps.remaining_b() > 0) {
    sink.add(i, b[steps.j()].site_id, {ExtraEventsKind{steps.remaining_b(), TraceSide::B}});
  }
}

// Most warps of a large grid are short, and most of them identical: one compare of the whole of
// two short sequences settles those for less than setting up the walk. Longer sequences are
// left to the walk, which passes identical runs over just as fast, so that a difference late in
// a long warp is not searched for twice.
constexpr std::size_t WHOLE_COMPARE_EVENTS = 64;

bool identical_and_short(std::span<const TraceEvent> a, std::span<const TraceEvent> b) {
  return a.size() == b.size() && a.size() <= WHOLE_COMPARE_EVENTS &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
}

constexpr auto masks_differ = [](std::uint32_t mask_a, std::uint32_t mask_b) {
  return mask_a != mask_b;
};

constexpr auto lane_counts_differ = [](std::uint32_t mask_a, std::uint32_t mask_b) {
  return std::popcount(mask_a) != std::popcount(mask_b);
};

template <class Sink>
void walk_for(std::span<const TraceEvent> a, std::span<const TraceEvent> b,
              const CompareConfig& config, Sink& sink) {
  if (config.cross_gpu) {
    walk(a, b, config, lane_counts_differ, sink);
  } else {
    walk(a, b, config, masks_differ, sink);
  }
}

// Every divergence, appended to a list.
class ListSink {
 public:
  explicit ListSink(std::uint32_t warp_idx) : warp_idx_(warp_idx) {}
  void add(std::uint64_t event_idx, std::uint32_t site_id, DivergenceKind kind) {
    found_.push_back({.warp_idx = warp_idx_,
                      .event_idx = event_idx,
                      .site_id = site_id,
                      .kind = kind,
                      .snapshot = std::nullopt});
  }
  bool full() const { return false; }
  std::vector<Divergence> take() { return std::move(found_); }

 private:
  std::uint32_t warp_idx_;
  std::vector<Divergence> found_;
};

// Only the number of divergences, up to a limit (0 for none).
class CountSink {
 public:
  explicit CountSink(std::uint64_t limit) : limit_(limit) {}
  void add(std::uint64_t, std::uint32_t, DivergenceKind) {
    if (!full()) ++count_;
  }
  bool full() const { return limit_ != 0 && count_ >= limit_; }
  std::uint64_t count() const { return count_; }

 private:
  std::uint64_t limit_;
  std::uint64_t count_ = 0;
};

// The first divergences, written into storage sized for them.
class SpanSink {
 public:
  SpanSink(std::uint32_t warp_idx, std::span<Divergence> out) : warp_idx_(warp_idx), out_(out) {}
  void add(std::uint64_t event_idx, std::uint32_t site_id, DivergenceKind kind) {
    if (full()) return;
    out_[written_++] = {.warp_idx = warp_idx_,
                        .event_idx = event_idx,
                        .site_id = site_id,
                        .kind = kind,
                        .snapshot = std::nullopt};
  }
  bool full() const { return written_ == out_.size(); }

 private:
  std::uint32_t warp_idx_;
  std::span<Divergence> out_;
  std::size_t written_ = 0;
};

}  // namespace

std::vector<Divergence> diff_events(std::uint32_t warp_idx, std::span<const TraceEvent> a,
                                    std::span<const TraceEvent> b, const CompareConfig& config) {
  ListSink sink(warp_idx);
  walk(a, b, config, masks_differ, sink);
  return sink.take();
}

std::vector<Divergence> diff_events_cross_gpu(std::uint32_t warp_idx, std::span<const TraceEvent> a,
                                              std::span<const TraceEvent> b,
                                              const CompareConfig& config) {
  ListSink sink(warp_idx);
  walk(a, b, config, lane_counts_differ, sink);
  return sink.take();
}

std::uint64_t count_divergences(std::span<const TraceEvent> a, std::span<const TraceEvent> b,
                                const CompareConfig& config, std::uint64_t limit) {
  if (identical_and_short(a, b)) return 0;
  CountSink sink(limit);
  walk_for(a, b, config, sink);
  return sink.count();
}

void diff_events_into(std::uint32_t warp_idx, std::span<const TraceEvent> a,
                      std::span<const TraceEvent> b, const CompareConfig& config,
                      std::span<Divergence> out) {
  SpanSink sink(warp_idx, out);
  walk_for(a, b, config, sink);
}

}  // namespace vemo
