#include "output/json_report.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "output/json_write.hpp"
#include "trace/site_text.hpp"

namespace vemo {

namespace {

constexpr std::string_view STATUS_IDENTICAL = "identical";
constexpr std::string_view STATUS_DIVERGED = "diverged";
constexpr std::string_view STATUS_ERROR = "error";

std::string status_text(bool diverged) {
  return std::string(diverged ? STATUS_DIVERGED : STATUS_IDENTICAL);
}

std::uint64_t counted_divergences(const std::vector<Divergence>& divergences,
                                  bool ignore_active_mask) {
  if (!ignore_active_mask) return divergences.size();
  return static_cast<std::uint64_t>(
      std::ranges::count_if(divergences, [](const Divergence& divergence) {
        return divergence.kind.get<ActiveMaskKind>() == nullptr;
      }));
}

JsonCrossGpu json_cross_gpu(const CrossGpuInfo& info) {
  return JsonCrossGpu{
      .arch_a = info.arch_a.text(),
      .arch_b = info.arch_b.text(),
      .warp_size_a = info.warp_size_a,
      .warp_size_b = info.warp_size_b,
      .grid_a = info.grid_a,
      .grid_b = info.grid_b,
      .block_a = info.block_a,
      .block_b = info.block_b,
  };
}

void write_dims(json::Writer& writer, std::string_view name,
                const std::array<std::uint32_t, 3>& dims) {
  writer.key(name);
  writer.start_array();
  for (std::uint32_t dim : dims) writer.uint(dim);
  writer.end_array();
}

void write_strings(json::Writer& writer, std::string_view name,
                   const std::vector<std::string>& texts) {
  writer.key(name);
  writer.start_array();
  for (const std::string& text : texts) writer.string(text);
  writer.end_array();
}

void write_divergence(json::Writer& writer, const JsonDivergence& divergence) {
  writer.start_object();
  writer.member("warp_idx", divergence.warp_idx);
  writer.member("event_idx", divergence.event_idx);
  writer.member("site_id", divergence.site_id);
  writer.member("kind", divergence.kind);
  if (divergence.source_location) writer.member("source_location", *divergence.source_location);
  writer.end_object();
}

void write_cross_gpu(json::Writer& writer, const JsonCrossGpu& info) {
  writer.key("cross_gpu");
  writer.start_object();
  writer.member("arch_a", info.arch_a);
  writer.member("arch_b", info.arch_b);
  writer.member("warp_size_a", info.warp_size_a);
  writer.member("warp_size_b", info.warp_size_b);
  write_dims(writer, "grid_a", info.grid_a);
  write_dims(writer, "grid_b", info.grid_b);
  write_dims(writer, "block_a", info.block_a);
  write_dims(writer, "block_b", info.block_b);
  writer.end_object();
}

void write_kernel_result(json::Writer& writer, const KernelResultEntry& entry) {
  writer.start_object();
  writer.member("kernel", entry.kernel);
  writer.member("launch", entry.launch);
  writer.member("status", entry.status);
  writer.member("divergences", entry.divergences);
  if (entry.error) writer.member("error", *entry.error);
  writer.end_object();
}

}  // namespace

JsonDivergence json_divergence(const Divergence& divergence, const SiteMap* site_map) {
  JsonDivergence entry{
      .warp_idx = divergence.warp_idx,
      .event_idx = divergence.event_idx,
      .site_id = site_id_text(divergence.site_id),
      .kind = std::string(divergence.kind.name()),
      .source_location = std::nullopt,
  };
  if (const SourceLocation* location = find_location(site_map, divergence.site_id)) {
    entry.source_location = location_text(*location);
  }
  return entry;
}

JsonReport build_json_report(const DiffResult& result, const SiteMap* site_map,
                             std::optional<std::uint64_t> max_allowed, bool ignore_active_mask) {
  JsonReport report;
  report.total_divergences = result.divergences.size();
  report.counted_divergences = counted_divergences(result.divergences, ignore_active_mask);
  // The status reflects every divergence, also those the threshold does not count.
  report.status = status_text(report.total_divergences != 0);
  report.divergences = result.divergences;
  report.site_map = site_map;
  if (result.cross_gpu) report.cross_gpu = json_cross_gpu(*result.cross_gpu);
  report.warps_compared = result.warps_compared;
  report.warps_diverged = result.warps_diverged;
  report.total_events_a = result.total_events_a;
  report.total_events_b = result.total_events_b;
  for (const auto& [kind, count] : count_by_kind(result.divergences)) {
    report.divergence_breakdown.emplace_back(std::string(kind), count);
  }
  report.threshold = max_allowed.value_or(0);
  report.passed = report.counted_divergences <= *report.threshold;
  return report;
}

void write_json_report(OutputSink& sink, const JsonReport& report) {
  json::Writer writer(sink);
  writer.start_object();
  writer.member("status", report.status);
  writer.member("total_divergences", report.total_divergences);
  writer.member("counted_divergences", report.counted_divergences);
  writer.member("warps_compared", report.warps_compared);
  writer.member("warps_diverged", report.warps_diverged);
  writer.member("total_events_a", report.total_events_a);
  writer.member("total_events_b", report.total_events_b);
  writer.key("divergence_breakdown");
  writer.start_object();
  for (const auto& [kind, count] : report.divergence_breakdown) writer.member(kind, count);
  writer.end_object();
  writer.key("divergences");
  writer.start_array();
  for (const Divergence& divergence : report.divergences) {
    write_divergence(writer, json_divergence(divergence, report.site_map));
  }
  writer.end_array();
  if (report.threshold) writer.member("threshold", *report.threshold);
  writer.member("passed", report.passed);
  if (report.cross_gpu) write_cross_gpu(writer, *report.cross_gpu);
  writer.end_object();
}

KernelResultEntry session_kernel_result(const KernelResult& result, SessionTally& tally) {
  KernelResultEntry entry{
      .kernel = result.kernel,
      .launch = result.launch,
      .status = std::string(STATUS_ERROR),
      .divergences = 0,
      .error = std::nullopt,
  };
  if (!result.result) {
    entry.error = result.result.error().message();
    tally.failed = true;
    return entry;
  }
  entry.divergences = result.result->divergences.size();
  entry.status = status_text(entry.divergences != 0);
  tally.divergences += entry.divergences;
  return entry;
}

void SessionReportBuilder::add(const KernelResult& result) {
  report_.kernel_results.push_back(session_kernel_result(result, tally_));
}

SessionJsonReport SessionReportBuilder::finish(UnmatchedLaunches unmatched,
                                               std::optional<std::uint64_t> max_allowed) {
  SessionJsonReport report = std::move(report_);
  report.unmatched_a = std::move(unmatched.unmatched_a);
  report.unmatched_b = std::move(unmatched.unmatched_b);
  const bool problem = !report.unmatched_a.empty() || !report.unmatched_b.empty() || tally_.failed;
  report.status = status_text(problem || tally_.divergences != 0);
  report.threshold = max_allowed.value_or(0);
  report.passed = !problem && tally_.divergences <= *report.threshold;
  return report;
}

SessionJsonReport build_session_report(const SessionDiff& diff,
                                       std::optional<std::uint64_t> max_allowed) {
  SessionReportBuilder builder;
  for (const KernelResult& result : diff.kernel_results) builder.add(result);
  return builder.finish(UnmatchedLaunches{diff.unmatched_a, diff.unmatched_b}, max_allowed);
}

void write_session_json(OutputSink& sink, const SessionJsonReport& report) {
  json::Writer writer(sink);
  writer.start_object();
  writer.member("status", report.status);
  writer.key("kernel_results");
  writer.start_array();
  for (const KernelResultEntry& entry : report.kernel_results) write_kernel_result(writer, entry);
  writer.end_array();
  write_strings(writer, "unmatched_a", report.unmatched_a);
  write_strings(writer, "unmatched_b", report.unmatched_b);
  if (report.threshold) writer.member("threshold", *report.threshold);
  writer.member("passed", report.passed);
  writer.end_object();
}

}  // namespace vemo
