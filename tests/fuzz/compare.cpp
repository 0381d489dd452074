// A whole comparison through every writer: console report, JSON report, CSV and Chrome trace.
// The input is a part of option bytes, trace A's image, trace B's image, the --map site map,
// the remap-b site map (the --map one serves as remap-a), then the three filter texts.

#include <cstring>
#include <optional>

#include "compare/classifier.hpp"
#include "compare/filters.hpp"
#include "compare/traces.hpp"
#include "fuzz_support.hpp"
#include "output/export.hpp"
#include "output/json_report.hpp"
#include "output/report.hpp"
#include "trace/site_map.hpp"

namespace {

enum Part { OptionBytes, TraceA, TraceB, SiteMapPart, RemapB, Warps, Kinds, Sites, PartCount };

std::optional<vemo::Trace> trace_from(std::string_view bytes) {
  if (bytes.size() < vemo::TRACE_HEADER_SIZE) return std::nullopt;
  vemo::TraceData image = vemo::TraceData::owned(bytes.size());
  std::memcpy(image.mutable_data(), bytes.data(), bytes.size());
  const auto header = vemo::TraceHeader::decode(
      std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())
          .first<vemo::TRACE_HEADER_SIZE>());
  auto trace = vemo::finish_trace(std::move(image), header);
  if (!trace) return std::nullopt;
  return std::move(*trace);
}

std::optional<vemo::SiteMap> site_map_from(std::string_view name, std::string_view text) {
  if (text.empty()) return std::nullopt;
  auto map = vemo::load_site_map(vemo::fuzz::write_scratch_file(name, text));
  if (!map) return std::nullopt;
  return std::move(*map);
}

struct Options {
  vemo::CompareConfig config;
  std::uint64_t max_shown = 0;
  bool float_operands = false;
  bool ignore_active_mask = false;
  bool styling = false;
  std::optional<std::uint64_t> threshold;

  explicit Options(std::string_view bytes) {
    vemo::fuzz::ByteReader reader(bytes);
    config.max_divergences = reader.byte();
    config.lookahead = reader.byte();
    config.compare_values = reader.flag();
    config.skip_kernel_name_check = reader.flag();
    config.continue_after_path = reader.flag();
    config.cross_gpu = reader.flag();
    max_shown = reader.byte();
    float_operands = reader.flag();
    ignore_active_mask = reader.flag();
    styling = reader.flag();
    if (reader.flag()) threshold = reader.byte();
  }
};

void apply_filters(const std::vector<std::string_view>& parts, vemo::DiffResult& result) {
  if (!parts[Warps].empty())
    vemo::retain_by_warp(result.divergences, vemo::parse_warp_filter(parts[Warps]));
  if (!parts[Kinds].empty())
    vemo::retain_by_kind(result.divergences, vemo::parse_kind_filter(parts[Kinds]));
  if (!parts[Sites].empty())
    vemo::retain_by_site(result.divergences, vemo::parse_site_filter(parts[Sites]));
}

void console_report(vemo::OutputSink& out, const Options& options, const vemo::Trace& a,
                    const vemo::Trace& b, const vemo::DiffResult& result,
                    const vemo::SiteMap* map) {
  const vemo::Styling styling(options.styling);
  vemo::write_trace_info(out, styling, "Trace A", a);
  vemo::write_trace_info(out, styling, "Trace B", b);
  vemo::write_summary(out, styling, result);
  vemo::write_divergences(out, styling, result, options.max_shown, map, options.float_operands);
  vemo::write_classification(out, styling, vemo::classify_root_causes(result, map), map);
  vemo::write_value_history(out, styling, result, a, b, options.max_shown, map);
}

void exports(const vemo::Trace& a, const vemo::Trace& b, const vemo::DiffResult& result,
             const vemo::SiteMap* map) {
  (void)vemo::fuzz::written([&](vemo::OutputSink& out) { vemo::write_csv(out, result, map); });
  const std::string chrome = vemo::fuzz::written(
      [&](vemo::OutputSink& out) { vemo::write_chrome_trace(out, a, b, result, map); });
  vemo::fuzz::require_valid_json(chrome, "Chrome trace");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = vemo::fuzz::split_parts({data, size}, PartCount);
  const Options options(parts[OptionBytes]);
  const auto a = trace_from(parts[TraceA]);
  const auto b = trace_from(parts[TraceB]);
  if (!a || !b) return 0;
  const auto site_map = site_map_from("map.json", parts[SiteMapPart]);
  const vemo::SiteMap* map = site_map ? &*site_map : nullptr;
  const auto remap_b = site_map_from("remap-b.json", parts[RemapB]);
  std::optional<vemo::SiteRemapper> remapper;
  if (site_map && remap_b) remapper = vemo::build_site_remapper(*site_map, *remap_b);

  std::string diagnostics;
  auto result = vemo::compare_traces(*a, *b, options.config, remapper ? &*remapper : nullptr,
                                     [&](std::string_view line) { diagnostics += line; });
  if (!result) return 0;
  apply_filters(parts, *result);

  (void)vemo::fuzz::written(
      [&](vemo::OutputSink& out) { console_report(out, options, *a, *b, *result, map); });
  const auto report =
      vemo::build_json_report(*result, map, options.threshold, options.ignore_active_mask);
  const std::string json =
      vemo::fuzz::written([&](vemo::OutputSink& out) { vemo::write_json_report(out, report); });
  vemo::fuzz::require_valid_json(json, "JSON report");
  exports(*a, *b, *result, map);
  return 0;
}
