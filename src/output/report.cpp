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
#include "compare/workers.hpp"
#include "core/text.hpp"
#include "trace/site_text.hpp"

namespace vemo {

namespace {

using ansi::Align;
using ansi::Color;

inline constexpr std::size_t MAX_DETAILED_PER_SITE = 3;
inline constexpr int MAX_LISTED_LANES = 8;
inline constexpr std::size_t HISTORY_CONTEXT = 8;

// ---- Names from the inputs ----
// A name from a trace, a site map or a manifest is shown with its control characters escaped,
// so that it cannot drive the terminal.

// "file:line" with the file name's control characters escaped.
std::string shown_file_line(const SourceLocation& location) {
  return escape_controls(file_line_text(location));
}

// `site_label` with the file name's control characters escaped.
std::string shown_site_label(const SiteMap* site_map, std::uint32_t site_id) {
  return escape_controls(site_label(site_map, site_id));
}

// ---- Divergence listing ----

std::string site_heading(Styling styling, std::uint32_t site_id, std::size_t count,
                         const SiteMap* site_map) {
  const std::string id = styling.paint(site_id_text(site_id), ansi::fg(Color::Cyan));
  const std::string affected =
      styling.paint(fmt::format("{} warps affected", count), ansi::fg(Color::Yellow));
  const SourceLocation* location = find_location(site_map, site_id);
  if (location == nullptr) return fmt::format("{} ({})", id, affected);
  return fmt::format("{} at {} ({})", id,
                     styling.paint(shown_file_line(*location), ansi::bold(Color::Green)), affected);
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

void write_branch(OutputSink& out, Styling styling, const BranchKind& kind, std::uint32_t site_id) {
  auto direction = [](std::uint8_t dir) { return dir != 0 ? "TAKEN" : "NOT-TAKEN"; };
  out.print("{}\n", styling.paint("Branch Direction", ansi::fg(Color::Yellow)));
  out.print("    Trace A: {}\n", styling.paint(direction(kind.dir_a), ansi::fg(Color::Cyan)));
  out.print("    Trace B: {}\n", styling.paint(direction(kind.dir_b), ansi::fg(Color::Magenta)));
  out.print("    → Threads at site {} took different branch\n", site_id_text(site_id));
}

void write_value(OutputSink& out, Styling styling, const ValueKind& kind, std::uint32_t site_id) {
  out.print("{}\n", styling.paint("Value Mismatch", ansi::fg(Color::Blue)));
  out.print("    Trace A: {} (0x{:08x})\n", kind.val_a, kind.val_a);
  out.print("    Trace B: {} (0x{:08x})\n", kind.val_b, kind.val_b);
  out.print("    → Different operand values at site {}\n", site_id_text(site_id));
}

void write_active_mask(OutputSink& out, Styling styling, const ActiveMaskKind& kind) {
  out.print("{}\n", styling.paint("Active Mask Mismatch", ansi::fg(Color::Magenta)));
  out.print("    Trace A: 0x{:08x} ({} threads active)\n", kind.mask_a, std::popcount(kind.mask_a));
  out.print("    Trace B: 0x{:08x} ({} threads active)\n", kind.mask_b, std::popcount(kind.mask_b));
  const std::uint32_t differing = kind.mask_a ^ kind.mask_b;
  if (differing == 0) return;
  out.print("    → Lanes differ: 0x{:08x}\n", differing);
  if (std::popcount(differing) <= MAX_LISTED_LANES)
    out.print("    → Lanes: {}\n", lane_list(differing));
}

void write_reached(OutputSink& out, Styling styling, std::string_view trace, std::uint32_t site,
                   const SiteMap* site_map) {
  const SourceLocation* location = find_location(site_map, site);
  if (location == nullptr) {
    out.print("    {} reached: {}\n", trace, site_id_text(site));
    return;
  }
  out.print("    {} reached: {} ({})\n", trace, site_id_text(site),
            styling.paint(shown_file_line(*location), ansi::fg(Color::Green)));
}

void write_path(OutputSink& out, Styling styling, const PathKind& kind, const SiteMap* site_map) {
  out.print("{}\n", styling.paint("TRUE PATH DIVERGENCE", ansi::bold(Color::Red)));
  write_reached(out, styling, "Trace A", kind.site_a, site_map);
  write_reached(out, styling, "Trace B", kind.site_b, site_map);
  out.print("    → {}\n",
            styling.paint("Control flow has truly diverged - different code paths executed",
                          ansi::fg(Color::Red)));
}

void write_extra_events(OutputSink& out, Styling styling, const ExtraEventsKind& kind) {
  const std::string_view side = trace_side_name(kind.in_trace);
  out.print("{}\n", styling.paint("Extra Events (Drift)", ansi::fg(Color::Cyan)));
  out.print("    Trace {} has {} extra event(s)\n", side, kind.count);
  out.print("    → Trace {} executed more iterations or deeper recursion\n", side);
}

// The per-lane operand table; the operands show as floats for a float comparison or with
// --float, else as signed integers.
void write_snapshot(OutputSink& out, Styling styling, const SnapshotPair& snapshot,
                    bool float_operands) {
  const bool as_float = snapshot.predicate < FLOAT_PREDICATE_LIMIT || float_operands;
  const std::string title =
      fmt::format("Per-Lane Operand Snapshot ({}):", cmp_predicate_name(snapshot.predicate));
  out.print("    {}\n", styling.paint(title, ansi::bold(Color::White)));
  const auto cyan = ansi::fg(Color::Cyan);
  const auto magenta = ansi::fg(Color::Magenta);
  out.print("    {}  {}  {}  {}  {}\n", styling.paint("Lane", ansi::DIM, 4, Align::Right),
            styling.paint("A:lhs", cyan, 10, Align::Right),
            styling.paint("A:rhs", cyan, 10, Align::Right),
            styling.paint("B:lhs", magenta, 10, Align::Right),
            styling.paint("B:rhs", magenta, 10, Align::Right));
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
    out.print("{}\n", differs ? styling.paint(row, ansi::fg(Color::Red)) : row);
  }
}

void write_entry(OutputSink& out, Styling styling, const Divergence& divergence,
                 const SiteMap* site_map, bool float_operands) {
  out.print("  Warp {} @ event {}: ", divergence.warp_idx, divergence.event_idx);
  const DivergenceKind& kind = divergence.kind;
  if (const auto* branch = kind.get<BranchKind>()) {
    write_branch(out, styling, *branch, divergence.site_id);
  }
  if (const auto* value = kind.get<ValueKind>()) {
    write_value(out, styling, *value, divergence.site_id);
  }
  if (const auto* mask = kind.get<ActiveMaskKind>()) {
    write_active_mask(out, styling, *mask);
  }
  if (const auto* path = kind.get<PathKind>()) {
    write_path(out, styling, *path, site_map);
  }
  if (const auto* extra = kind.get<ExtraEventsKind>()) {
    write_extra_events(out, styling, *extra);
  }
  if (divergence.snapshot) {
    write_snapshot(out, styling, *divergence.snapshot, float_operands);
  }
}

// ---- Classification ----

ansi::Style root_cause_style(RootCause cause) {
  switch (cause) {
    case RootCause::RaceCondition:
      return ansi::bold(Color::Red);
    case RootCause::FloatingPointPrecision:
      return ansi::bold(Color::Yellow);
    case RootCause::AlgorithmicBug:
      return ansi::fg(Color::Red);
    case RootCause::MemoryOrdering:
      return ansi::bold(Color::Magenta);
    case RootCause::LoopBoundDifference:
      break;
  }
  return ansi::fg(Color::Cyan);
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

void write_history_block(OutputSink& out, Styling styling, std::string_view title,
                         ansi::Style style, const std::vector<HistoryEntry>& entries,
                         const SiteMap* site_map) {
  if (entries.empty()) return;
  out.print("    {}\n", styling.paint(title, style));
  const std::size_t shown = std::min(HISTORY_CONTEXT, entries.size());
  for (std::size_t i = entries.size() - shown; i < entries.size(); ++i) {
    const HistoryEntry& entry = entries[i];
    const auto offset = -static_cast<std::int64_t>(entries.size() - i);
    out.print_compiled(FMT_COMPILE("      [{:+3}] value={:<10} ({}) seq={}\n"), offset, entry.value,
                       shown_site_label(site_map, entry.site_id), entry.seq);
  }
}

// The history blocks of each divergence in turn, as text; empty when neither trace has entries.
// Without cross-GPU mode they depend on the warp alone, and a warp's divergences follow one
// another in the list, so each warp's histories are read, sorted and formatted once.
class HistoryBlocks {
 public:
  HistoryBlocks(Styling styling, const Trace& a, const Trace& b, bool cross_gpu,
                const SiteMap* site_map)
      : styling_(styling),
        a_(a),
        b_(b),
        pairing_(a, b, cross_gpu),
        per_warp_(!cross_gpu),
        site_map_(site_map) {}

  const std::string& of(const Divergence& divergence) {
    if (per_warp_ && last_warp_ == divergence.warp_idx) return text_;
    last_warp_ = divergence.warp_idx;
    const HistoryPair histories =
        pairing_.histories(a_, b_, divergence.warp_idx, divergence.event_idx);
    text_.clear();
    OutputSink out(text_);
    write_history_block(out, styling_, "Trace A history:", ansi::fg(Color::Cyan), histories.a,
                        site_map_);
    write_history_block(out, styling_, "Trace B history:", ansi::fg(Color::Magenta), histories.b,
                        site_map_);
    return text_;
  }

 private:
  Styling styling_;
  const Trace& a_;
  const Trace& b_;
  HistoryPairing pairing_;
  bool per_warp_;
  const SiteMap* site_map_;
  std::optional<std::uint32_t> last_warp_;
  std::string text_;
};

}  // namespace

void write_trace_info(OutputSink& out, Styling styling, std::string_view name, const Trace& trace) {
  const TraceHeader& header = trace.header;
  out.print("\n{}\n", styling.paint(fmt::format("=== {} ===", name), ansi::BOLD));
  out.print("Kernel:     {}\n", controls_escaped(header.kernel_name_text()));
  out.print("Hash:       0x{:016x}\n", header.kernel_hash);
  out.print("Grid:       {}\n", dims_text(header.grid));
  out.print("Block:      {}\n", dims_text(header.block));
  out.print("Warps:      {}\n", header.num_warps);
  const WarpTotals totals = warp_totals(trace, worker_pool());
  out.print("Events:     {}\n", totals.events);
  out.print("Overflows:  {}\n", totals.overflows);
  out.print("Timestamp:  {}\n", header.timestamp);
  out.print("CUDA Arch:  SM_{}\n", header.cuda_arch);
  if ((header.flags & TRACE_FLAG_SAMPLING) != 0) {
    out.print("Sampling:   1/{} (~{:.1f}% of events recorded)\n", header.sample_rate,
              100.0 / header.sample_rate);
  }
  if ((header.flags & TRACE_FLAG_SNAPSHOTS) != 0)
    out.print("Snapshots:  depth={} (per-lane operand capture)\n", header.snapshot_depth);
}

void write_dump(OutputSink& out, Styling styling, std::string_view name, const Trace& trace,
                std::uint64_t limit) {
  out.print("\n=== {} ===\n", name);
  write_trace_info(out, styling, name, trace);
  out.print("\n=== Events (first {} events) ===\n", limit);
  std::uint64_t count = 0;
  for (std::uint64_t w = 0; w < trace.header.num_warps; ++w) {
    const auto view = warp_events(trace, w);
    if (!view) continue;
    if (count >= limit) return;
    out.print("\nWarp {} ({} events, {} overflows):\n", w, view->header->event_count,
              view->header->overflow_count);
    const std::uint64_t room = limit - count;
    const std::uint64_t listed = std::min<std::uint64_t>(room, view->events.size());
    for (std::uint64_t i = 0; i < listed; ++i) {
      const TraceEvent& event = view->events[i];
      out.print("  [{}] site=0x{:08x} type={} branch={} active_mask=0x{:08x} value={}\n", i,
                event.site_id, event.event_type, event.branch_dir, event.active_mask, event.value);
    }
    count += listed;
  }
}

void write_summary(OutputSink& out, Styling styling, const DiffResult& result) {
  out.print("\n{}\n", styling.paint("=== Diff Summary ===", ansi::BOLD));
  if (const auto& info = result.cross_gpu) {
    out.print("{}\n", styling.paint("Cross-GPU mode", ansi::bold(Color::Yellow)));
    out.print("  Trace A: {} (warp size {})\n", info->arch_a.text(), info->warp_size_a);
    out.print("  Trace B: {} (warp size {})\n", info->arch_b.text(), info->warp_size_b);
    out.print("  Grid A: {}  Block A: {}\n", dims_text(info->grid_a), dims_text(info->block_a));
    out.print("  Grid B: {}  Block B: {}\n", dims_text(info->grid_b), dims_text(info->block_b));
  }
  out.print("Total warps:          {}\n", result.total_warps);
  out.print("Warps compared:       {}\n", result.warps_compared);
  out.print("Warps diverged:       {}\n", result.warps_diverged);
  out.print("Events in trace A:    {}\n", result.total_events_a);
  out.print("Events in trace B:    {}\n", result.total_events_b);
  out.print("Total divergences:    {}\n", result.divergences.size());
  out.print("\n");
  if (result.divergences.empty()) {
    out.print("{}\n", styling.paint("✓ Traces are IDENTICAL", ansi::bold(Color::Green)));
    return;
  }
  out.print(
      "{} {}\n", styling.paint("✗ DIVERGENCE DETECTED:", ansi::bold(Color::Red)),
      styling.paint(fmt::format("{} warps affected", result.warps_diverged), ansi::fg(Color::Red)));
  const auto counts = count_by_kind(result.divergences);
  if (!counts.empty()) {
    out.print("\nDivergence breakdown:\n");
    for (const auto& [kind, count] : counts) out.print("  {}: {}\n", kind, count);
  }
  out.print("\n");
}

void write_divergences(OutputSink& out, Styling styling, const DiffResult& result,
                       std::uint64_t max_shown, const SiteMap* site_map, bool float_operands) {
  if (result.divergences.empty()) return;
  out.print("{}\n", styling.paint("=== Divergences ===", ansi::BOLD));
  std::uint64_t shown = 0;
  for (const auto& [site_id, group] : group_by_site(result.divergences)) {
    if (shown >= max_shown) {
      out.print("\n... {} more divergences not shown\n", result.divergences.size() - shown);
      return;
    }
    out.print("\n{} {}\n", styling.paint("Site:", ansi::BOLD),
              site_heading(styling, site_id, group.size(), site_map));
    std::size_t detailed = 0;
    for (const Divergence* divergence : group) {
      if (detailed >= MAX_DETAILED_PER_SITE || shown >= max_shown) break;
      write_entry(out, styling, *divergence, site_map, float_operands);
      ++detailed;
      ++shown;
    }
    if (group.size() > detailed)
      out.print("  ... and {} more warps at this site\n", group.size() - detailed);
  }
}

void write_classification(OutputSink& out, Styling styling, const ClassificationReport& report,
                          const SiteMap* site_map) {
  if (report.classifications.empty()) return;
  out.print("\n{}\n", styling.paint("=== Root-Cause Classification ===", ansi::BOLD));
  if (!report.category_counts.empty()) {
    out.print("\n{}:\n", styling.paint("Category Summary", ansi::BOLD));
    for (const auto& [cause, sites] : report.category_counts)
      out.print("  {}: {} site(s)\n", root_cause_name(cause), sites);
  }
  out.print("\n{}:\n", styling.paint("Per-Site Classification", ansi::BOLD));
  for (const SiteClassification& site : report.classifications) {
    const SourceLocation* location = find_location(site_map, site.site_id);
    const std::string label =
        location == nullptr
            ? site_id_text(site.site_id)
            : fmt::format("{} ({})", site_id_text(site.site_id), shown_file_line(*location));
    out.print("\n  Site {} → {} ({}% confidence)\n", styling.paint(label, ansi::fg(Color::Cyan)),
              styling.paint(root_cause_name(site.root_cause), root_cause_style(site.root_cause)),
              confidence_percent(site.confidence));
    out.print("    {}\n", styling.paint(root_cause_explanation(site.root_cause), ansi::DIM));
  }
  out.print("\n");
}

void write_value_history(OutputSink& out, Styling styling, const DiffResult& result, const Trace& a,
                         const Trace& b, std::uint64_t max_shown, const SiteMap* site_map) {
  if (result.divergences.empty()) return;
  if (!a.header.has_history() && !b.header.has_history()) {
    out.print("\n{}\n",
              styling.paint("No history data. Set VEMO_HISTORY_DEPTH=64 to enable time-travel.",
                            ansi::DIM));
    return;
  }
  out.print("\n{}\n", styling.paint("=== Value History (Time-Travel) ===", ansi::BOLD));
  HistoryBlocks blocks(styling, a, b, result.cross_gpu.has_value(), site_map);
  const std::string heading = styling.paint("Divergence at", ansi::BOLD);
  std::uint64_t shown = 0;
  for (const Divergence& divergence : result.divergences) {
    if (shown >= max_shown) break;
    const std::string& text = blocks.of(divergence);
    if (text.empty()) continue;
    out.print("\n  {} {} (warp {})\n", heading,
              styling.paint(shown_site_label(site_map, divergence.site_id), ansi::fg(Color::Green)),
              divergence.warp_idx);
    out.write(text);
    ++shown;
  }
}

void write_kernel_section(OutputSink& out, Styling styling, const KernelResult& pair,
                          std::uint64_t max_shown, bool float_operands) {
  out.print("--- Kernel: {} (launch {}) ---\n", controls_escaped(pair.kernel), pair.launch);
  if (!pair.result) {
    out.print("  ERROR: {}\n", controls_escaped(pair.result.error().message()));
  } else {
    write_summary(out, styling, *pair.result);
    write_divergences(out, styling, *pair.result, max_shown, nullptr, float_operands);
  }
  out.put('\n');
}

void write_unmatched_launches(OutputSink& out, const UnmatchedLaunches& unmatched) {
  for (const std::string& launch : unmatched.unmatched_a) {
    out.print("Warning: Unmatched launch in session A (not in B): {}\n", controls_escaped(launch));
  }
  for (const std::string& launch : unmatched.unmatched_b) {
    out.print("Warning: Unmatched launch in session B (not in A): {}\n", controls_escaped(launch));
  }
}

}  // namespace vemo
