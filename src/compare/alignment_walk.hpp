#pragma once
// The two-cursor walk over two event sequences with a bounded look-ahead on site mismatches.
// The event-sequence diff (compare/diff) and the viewer's aligned view (tui/aligned) both take
// their steps from it; what each makes of a step is theirs.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "trace/trace_file.hpp"

namespace vemo {

// The number of leading events that are byte for byte the same in `a` and `b`. Events are
// compared in groups inline (64 bytes), and long runs in blocks with the C library's vectorised
// memcmp (1 KiB), which outruns its call only once a run is long: a run has to outlast the
// groups of its first events before blocks are tried.
inline constexpr std::size_t IDENTICAL_GROUP_EVENTS = 4;
inline constexpr std::size_t IDENTICAL_BLOCK_EVENTS = 64;
inline constexpr std::size_t IDENTICAL_SHORT_RUN = 16;
std::size_t identical_prefix(std::span<const TraceEvent> a, std::span<const TraceEvent> b);

enum class WalkStepKind : std::uint8_t {
  Matched,  // a[i] and b[j] are at one site
  ExtraA,   // a[i .. i + count) come before a reaches b[j]'s site
  ExtraB,   // b[j .. j + count) come before b reaches a[i]'s site
  Path,     // neither site is found ahead on the other side
};

struct WalkStep {
  WalkStepKind kind;
  std::size_t i;  // cursor into a when the step was taken
  std::size_t j;  // cursor into b
  std::size_t count = 1;
};

enum class AfterPath : std::uint8_t { Stop, StepPast };

// While both sequences have events left, `next` gives one step and moves the cursors past it: a
// matched pair by one each, extra events by their count. On a site mismatch both searches look
// up to `lookahead` events ahead and the nearer find wins, a tie going to trace A. After a Path
// step the walk either stops with the cursors where they were, or steps past both events.
// What is left once the walk is over, `remaining_a` or `remaining_b` (at most one of them when
// no Path stopped it), is the consumer's to report.
class AlignmentWalk {
 public:
  AlignmentWalk(std::span<const TraceEvent> a, std::span<const TraceEvent> b,
                std::uint64_t lookahead, AfterPath after_path)
      : a_(a), b_(b), lookahead_(lookahead), after_path_(after_path) {}

  std::optional<WalkStep> next() {
    if (stopped_ || i_ >= a_.size() || j_ >= b_.size()) return std::nullopt;
    const std::size_t i = i_;
    const std::size_t j = j_;
    if (a_[i].site_id == b_[j].site_id) {
      ++i_;
      ++j_;
      return WalkStep{WalkStepKind::Matched, i, j};
    }
    const auto k = distance_to_site(b_, j, a_[i].site_id);
    const auto m = distance_to_site(a_, i, b_[j].site_id);
    if (m && (!k || *m <= *k)) {
      i_ += *m;
      return WalkStep{WalkStepKind::ExtraA, i, j, *m};
    }
    if (k) {
      j_ += *k;
      return WalkStep{WalkStepKind::ExtraB, i, j, *k};
    }
    if (after_path_ == AfterPath::Stop) {
      stopped_ = true;
    } else {
      ++i_;
      ++j_;
    }
    return WalkStep{WalkStepKind::Path, i, j};
  }

  // Moves both cursors past the events that are byte-identical from them on, each of which
  // would be a Matched step. A walk stopped at a Path stays where it is: its cursors are at
  // events of different sites.
  void skip_identical() {
    // Where events diverge one after another the first compare settles it: it is made here.
    if (i_ >= a_.size() || j_ >= b_.size() ||
        std::memcmp(&a_[i_], &b_[j_], sizeof(TraceEvent)) != 0) {
      return;
    }
    const std::size_t run = 1 + identical_prefix(a_.subspan(i_ + 1), b_.subspan(j_ + 1));
    i_ += run;
    j_ += run;
  }

  std::size_t i() const { return i_; }
  std::size_t j() const { return j_; }
  std::size_t remaining_a() const { return a_.size() - i_; }
  std::size_t remaining_b() const { return b_.size() - j_; }
  bool stopped_at_path() const { return stopped_; }

 private:
  // The smallest distance d in 1..lookahead with `events[from + d]` at `site`, if any.
  std::optional<std::size_t> distance_to_site(std::span<const TraceEvent> events, std::size_t from,
                                              std::uint32_t site) const {
    const std::size_t after = events.size() - from - 1;  // events after `from`
    const std::size_t reach = lookahead_ < after ? static_cast<std::size_t>(lookahead_) : after;
    for (std::size_t d = 1; d <= reach; ++d) {
      if (events[from + d].site_id == site) return d;
    }
    return std::nullopt;
  }

  std::span<const TraceEvent> a_;
  std::span<const TraceEvent> b_;
  std::uint64_t lookahead_;
  AfterPath after_path_;
  std::size_t i_ = 0;
  std::size_t j_ = 0;
  bool stopped_ = false;
};

}  // namespace vemo
