#include "output/report.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/compile.h>
#include <fmt/format.h>

#include "compare/histories.hpp"
#include "core/console.hpp"
#include "trace/site_text.hpp"

namespace vemo {

namespace {

using console::Align;
using console::Color;
using console::paint;
using console::print;

inline constexpr std::size_t MAX_DETAILED_PER_SITE = 3;
inline constexpr int MAX_LISTED_LANES = 8;
inline constexpr std::size_t HISTORY_CONTEXT = 8;

// ---- Trace info and dump ----

struct WarpTotals {
  std::uint64_t events = 0;
  std::uint64_t overflows = 0;
};

// Sums over the warps whose buffer can be read; the others are left out silently.
WarpTotals warp_totals(const Trace& trace) {
  WarpTotals totals;
  for (std::uint64_t w = 0; w < trace.header.num_warps; ++w) {
    const auto view = warp_events(trace, w);
    if (!view) continue;
    totals.events += view->header->event_count;
    totals.overflows += view->header->overflow_count;
  }
  return totals;
}

// ---- Divergence listing ----

std::string site_heading(std::uint32_t site_id, std::size_t count, const SiteMap* site_map) {
  const std::string id = paint(site_id_text(site_id), console::fg(Color::Cyan));
  const std::string affected =
      paint(fmt::format("{} warps affected", count), console::fg(Color::Yellow));
  const SourceLocation* location = find_location(site_map, site_id);
  if (location == nullptr) return fmt::format("{} ({})", id, affected);
  return fmt::format("{} at {} ({})", id,
                     paint(file_line_text(*location), console::bold(Color::Green)), affected);
}

std::string lane_list(std::uint32_t lanes) {
  std::string text = "[";
  for (int lane = 0; lane < 32; ++lane) {
    if ((lanes >> lane & 1U) == 0) continue;
    if (text.size() > 1) text += ", ";
    text += std::to_string(lane);
  }
  return text + "]";
}

void print_branch(const BranchKind& kind, std::uint32_t site_id) {
  auto direction = [](std::uint8_t dir) { return dir != 0 ? "TAKEN" : "NOT-TAKEN"; };
  print("{}\n", paint("Branch Direction", console::fg(Color::Yellow)));
  print("    Trace A: {}\n", paint(direction(kind.dir_a), console::fg(Color::Cyan)));
  print("    Trace B: {}\n", paint(direction(kind.dir_b), console::fg(Color::Magenta)));
  print("    → Threads at site {} took different branch\n", site_id_text(site_id));
}

void print_value(const ValueKind& kind, std::uint32_t site_id) {
  print("{}\n", paint("Value Mismatch", console::fg(Color::Blue)));
  print("    Trace A: {} (0x{:08x})\n", kind.val_a, kind.val_a);
  print("    Trace B: {} (0x{:08x})\n", kind.val_b, kind.val_b);
  print("    → Different operand values at site {}\n", site_id_text(site_id));
}

void print_active_mask(const ActiveMaskKind& kind) {
  print("{}\n", paint("Active Mask Mismatch", console::fg(Color::Magenta)));
  print("    Trace A: 0x{:08x} ({} threads active)\n", kind.mask_a, std::popcount(kind.mask_a));
  print("    Trace B: 0x{:08x} ({} threads active)\n", kind.mask_b, std::popcount(kind.mask_b));
  const std::uint32_t differing = kind.mask_a ^ kind.mask_b;
  if (differing == 0) return;
  print("    → Lanes differ: 0x{:08x}\n", differing);
  if (std::popcount(differing) <= MAX_LISTED_LANES)
    print("    → Lanes: {}\n", lane_list(differing));
}

void print_reached(std::string_view trace, std::uint32_t site, const SiteMap* site_map) {
  const SourceLocation* location = find_location(site_map, site);
  if (location == nullptr) {
    print("    {} reached: {}\n", trace, site_id_text(site));
    return;
  }
  print("    {} reached: {} ({})\n", trace, site_id_text(site),
        paint(file_line_text(*location), console::fg(Color::Green)));
}

void print_path(const PathKind& kind, const SiteMap* site_map) {
  print("{}\n", paint("TRUE PATH DIVERGENCE", console::bold(Color::Red)));
  print_reached("Trace A", kind.site_a, site_map);
  print_reached("Trace B", kind.site_b, site_map);
  print("    → {}\n", paint("Control flow has truly diverged - different code paths executed",
                            console::fg(Color::Red)));
}

void print_extra_events(const ExtraEventsKind& kind) {
  const std::string_view side = trace_side_name(kind.in_trace);
  print("{}\n", paint("Extra Events (Drift)", console::fg(Color::Cyan)));
  print("    Trace {} has {} extra event(s)\n", side, kind.count);
  print("    → Trace {} executed more iterations or deeper recursion\n", side);
}

// The per-lane operand table; the operands show as floats for a float comparison or with
// --float, else as signed integers.
void print_snapshot(const SnapshotPair& snapshot, bool float_operands) {
  const bool as_float = snapshot.predicate < FLOAT_PREDICATE_LIMIT || float_operands;
  const std::string title =
      fmt::format("Per-Lane Operand Snapshot ({}):", cmp_predicate_name(snapshot.predicate));
  print("    {}\n", paint(title, console::bold(Color::White)));
  const auto cyan = console::fg(Color::Cyan);
  const auto magenta = console::fg(Color::Magenta);
  print("    {}  {}  {}  {}  {}\n", paint("Lane", console::DIM, 4, Align::Right),
        paint("A:lhs", cyan, 10, Align::Right), paint("A:rhs", cyan, 10, Align::Right),
        paint("B:lhs", magenta, 10, Align::Right), paint("B:rhs", magenta, 10, Align::Right));
  const std::uint32_t lanes = snapshot.lane_mask_a | snapshot.lane_mask_b;
  for (std::size_t lane = 0; lane < SNAPSHOT_LANES; ++lane) {
    if ((lanes >> lane & 1U) == 0) continue;
    const bool differs = snapshot.lhs_a[lane] != snapshot.lhs_b[lane] ||
                         snapshot.rhs_a[lane] != snapshot.rhs_b[lane];
    const std::string row = fmt::format(
        "    {:>4}  {:>10}  {:>10}  {:>10}  {:>10}{}", lane,
        operand_text(snapshot.lhs_a[lane], as_float), operand_text(snapshot.rhs_a[lane], as_float),
        operand_text(snapshot.lhs_b[lane], as_float), operand_text(snapshot.rhs_b[lane], as_float),
        differs ? " <<<" : "");
    print("{}\n", differs ? paint(row, console::fg(Color::Red)) : row);
  }
}

void print_entry(const Divergence& divergence, const SiteMap* site_map, bool float_operands) {
  print("  Warp {} @ event {}: ", divergence.warp_idx, divergence.event_idx);
  const DivergenceKind& kind = divergence.kind;
  if (const auto* branch = kind.get<BranchKind>()) print_branch(*branch, divergence.site_id);
  if (const auto* value = kind.get<ValueKind>()) print_value(*value, divergence.site_id);
  if (const auto* mask = kind.get<ActiveMaskKind>()) print_active_mask(*mask);
  if (const auto* path = kind.get<PathKind>()) print_path(*path, site_map);
  if (const auto* extra = kind.get<ExtraEventsKind>()) print_extra_events(*extra);
  if (divergence.snapshot) print_snapshot(*divergence.snapshot, float_operands);
}

// ---- Classification ----

console::Style root_cause_style(RootCause cause) {
  switch (cause) {
    case RootCause::RaceCondition:
      return console::bold(Color::Red);
    case RootCause::FloatingPointPrecision:
      return console::bold(Color::Yellow);
    case RootCause::AlgorithmicBug:
      return console::fg(Color::Red);
    case RootCause::MemoryOrdering:
      return console::bold(Color::Magenta);
    case RootCause::LoopBoundDifference:
      break;
  }
  return console::fg(Color::Cyan);
}

// `confidence` x 100 truncated toward zero, saturating at the ends of the unsigned range (a
// NaN gives 0), so the conversion stays defined for any value.
std::uint32_t confidence_percent(double confidence) {
  const double percent = confidence * 100.0;
  if (!(percent > 0.0)) return 0;
  constexpr auto MAX_VALUE = std::numeric_limits<std::uint32_t>::max();
  return percent >= static_cast<double>(MAX_VALUE) ? MAX_VALUE
                                                   : static_cast<std::uint32_t>(percent);
}

// ---- Value history ----

void write_history_block(OutputSink& out, std::string_view title, console::Style style,
                         const std::vector<HistoryEntry>& entries, const SiteMap* site_map) {
  if (entries.empty()) return;
  out.print("    {}\n", paint(title, style));
  const std::size_t shown = std::min(HISTORY_CONTEXT, entries.size());
  for (std::size_t i = entries.size() - shown; i < entries.size(); ++i) {
    const HistoryEntry& entry = entries[i];
    const auto offset = -static_cast<std::int64_t>(entries.size() - i);
    out.print_compiled(FMT_COMPILE("      [{:+3}] value={:<10} ({}) seq={}\n"), offset, entry.value,
                       site_label(site_map, entry.site_id), entry.seq);
  }
}

// The history blocks of each divergence in turn, as text; empty when neither trace has entries.
// Without cross-GPU mode they depend on the warp alone, and a warp's divergences follow one
// another in the list, so each warp's histories are read, sorted and formatted once.
class HistoryBlocks {
 public:
  HistoryBlocks(const Trace& a, const Trace& b, bool cross_gpu, const SiteMap* site_map)
      : a_(a), b_(b), pairing_(a, b, cross_gpu), per_warp_(!cross_gpu), site_map_(site_map) {}

  const std::string& of(const Divergence& divergence) {
    if (per_warp_ && last_warp_ == divergence.warp_idx) return text_;
    last_warp_ = divergence.warp_idx;
    const HistoryPair histories =
        pairing_.histories(a_, b_, divergence.warp_idx, divergence.event_idx);
    text_.clear();
    OutputSink out(text_);
    write_history_block(out, "Trace A history:", console::fg(Color::Cyan), histories.a, site_map_);
    write_history_block(out, "Trace B history:", console::fg(Color::Magenta), histories.b,
                        site_map_);
    return text_;
  }

 private:
  const Trace& a_;
  const Trace& b_;
  HistoryPairing pairing_;
  bool per_warp_;
  const SiteMap* site_map_;
  std::optional<std::uint32_t> last_warp_;
  std::string text_;
};

}  // namespace

void print_trace_info(std::string_view name, const Trace& trace) {
  const TraceHeader& header = trace.header;
  print("\n{}\n", paint(fmt::format("=== {} ===", name), console::BOLD));
  print("Kernel:     {}\n", header.kernel_name_text());
  print("Hash:       0x{:016x}\n", header.kernel_hash);
  print("Grid:       {}\n", dims_text(header.grid));
  print("Block:      {}\n", dims_text(header.block));
  print("Warps:      {}\n", header.num_warps);
  const WarpTotals totals = warp_totals(trace);
  print("Events:     {}\n", totals.events);
  print("Overflows:  {}\n", totals.overflows);
  print("Timestamp:  {}\n", header.timestamp);
  print("CUDA Arch:  SM_{}\n", header.cuda_arch);
  if ((header.flags & TRACE_FLAG_SAMPLING) != 0) {
    print("Sampling:   1/{} (~{:.1f}% of events recorded)\n", header.sample_rate,
          100.0 / header.sample_rate);
  }
  if ((header.flags & TRACE_FLAG_SNAPSHOTS) != 0)
    print("Snapshots:  depth={} (per-lane operand capture)\n", header.snapshot_depth);
}

void dump_trace(std::string_view name, const Trace& trace, std::uint64_t limit) {
  print("\n=== {} ===\n", name);
  print_trace_info(name, trace);
  print("\n=== Events (first {} events) ===\n", limit);
  std::uint64_t count = 0;
  for (std::uint64_t w = 0; w < trace.header.num_warps; ++w) {
    const auto view = warp_events(trace, w);
    if (!view) continue;
    if (count >= limit) return;
    print("\nWarp {} ({} events, {} overflows):\n", w, view->header->event_count,
          view->header->overflow_count);
    const std::uint64_t room = limit - count;
    const std::uint64_t listed = std::min<std::uint64_t>(room, view->events.size());
    for (std::uint64_t i = 0; i < listed; ++i) {
      const TraceEvent& event = view->events[i];
      print("  [{}] site=0x{:08x} type={} branch={} active_mask=0x{:08x} value={}\n", i,
            event.site_id, event.event_type, event.branch_dir, event.active_mask, event.value);
    }
    count += listed;
  }
}

void print_summary(const DiffResult& result) {
  print("\n{}\n", paint("=== Diff Summary ===", console::BOLD));
  if (const auto& info = result.cross_gpu) {
    print("{}\n", paint("Cross-GPU mode", console::bold(Color::Yellow)));
    print("  Trace A: {} (warp size {})\n", info->arch_a.text(), info->warp_size_a);
    print("  Trace B: {} (warp size {})\n", info->arch_b.text(), info->warp_size_b);
    print("  Grid A: {}  Block A: {}\n", dims_text(info->grid_a), dims_text(info->block_a));
    print("  Grid B: {}  Block B: {}\n", dims_text(info->grid_b), dims_text(info->block_b));
  }
  print("Total warps:          {}\n", result.total_warps);
  print("Warps compared:       {}\n", result.warps_compared);
  print("Warps diverged:       {}\n", result.warps_diverged);
  print("Events in trace A:    {}\n", result.total_events_a);
  print("Events in trace B:    {}\n", result.total_events_b);
  print("Total divergences:    {}\n", result.divergences.size());
  print("\n");
  if (result.divergences.empty()) {
    print("{}\n", paint("✓ Traces are IDENTICAL", console::bold(Color::Green)));
    return;
  }
  print("{} {}\n", paint("✗ DIVERGENCE DETECTED:", console::bold(Color::Red)),
        paint(fmt::format("{} warps affected", result.warps_diverged), console::fg(Color::Red)));
  const auto counts = count_by_kind(result.divergences);
  if (!counts.empty()) {
    print("\nDivergence breakdown:\n");
    for (const auto& [kind, count] : counts) print("  {}: {}\n", kind, count);
  }
  print("\n");
}

void print_divergences(const DiffResult& result, std::uint64_t max_shown, const SiteMap* site_map,
                       bool float_operands) {
  if (result.divergences.empty()) return;
  print("{}\n", paint("=== Divergences ===", console::BOLD));
  std::uint64_t shown = 0;
  for (const auto& [site_id, group] : group_by_site(result.divergences)) {
    if (shown >= max_shown) {
      print("\n... {} more divergences not shown\n", result.divergences.size() - shown);
      return;
    }
    print("\n{} {}\n", paint("Site:", console::BOLD),
          site_heading(site_id, group.size(), site_map));
    std::size_t detailed = 0;
    for (const Divergence* divergence : group) {
      if (detailed >= MAX_DETAILED_PER_SITE || shown >= max_shown) break;
      print_entry(*divergence, site_map, float_operands);
      ++detailed;
      ++shown;
    }
    if (group.size() > detailed)
      print("  ... and {} more warps at this site\n", group.size() - detailed);
  }
}

void print_classification(const ClassificationReport& report, const SiteMap* site_map) {
  if (report.classifications.empty()) return;
  print("\n{}\n", paint("=== Root-Cause Classification ===", console::BOLD));
  if (!report.category_counts.empty()) {
    print("\n{}:\n", paint("Category Summary", console::BOLD));
    for (const auto& [cause, sites] : report.category_counts)
      print("  {}: {} site(s)\n", root_cause_name(cause), sites);
  }
  print("\n{}:\n", paint("Per-Site Classification", console::BOLD));
  for (const SiteClassification& site : report.classifications) {
    const SourceLocation* location = find_location(site_map, site.site_id);
    const std::string label =
        location == nullptr
            ? site_id_text(site.site_id)
            : fmt::format("{} ({})", site_id_text(site.site_id), file_line_text(*location));
    print("\n  Site {} → {} ({}% confidence)\n", paint(label, console::fg(Color::Cyan)),
          paint(root_cause_name(site.root_cause), root_cause_style(site.root_cause)),
          confidence_percent(site.confidence));
    print("    {}\n", paint(root_cause_explanation(site.root_cause), console::DIM));
  }
  print("\n");
}

void print_value_history(const DiffResult& result, const Trace& a, const Trace& b,
                         std::uint64_t max_shown, const SiteMap* site_map) {
  if (result.divergences.empty()) return;
  if (!a.header.has_history() && !b.header.has_history()) {
    print("\n{}\n",
          paint("No history data. Set VEMO_HISTORY_DEPTH=64 to enable time-travel.", console::DIM));
    return;
  }
  print("\n{}\n", paint("=== Value History (Time-Travel) ===", console::BOLD));
  HistoryBlocks blocks(a, b, result.cross_gpu.has_value(), site_map);
  const std::string heading = paint("Divergence at", console::BOLD);
  std::uint64_t shown = 0;
  for (const Divergence& divergence : result.divergences) {
    if (shown >= max_shown) break;
    const std::string& text = blocks.of(divergence);
    if (text.empty()) continue;
    print("\n  {} {} (warp {})\n", heading,
          paint(site_label(site_map, divergence.site_id), console::fg(Color::Green)),
          divergence.warp_idx);
    console::out(text);
    ++shown;
  }
}

}  // namespace vemo
