#include "output/export.hpp"

#include <fcntl.h>

#include <map>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "core/file_io.hpp"
#include "core/overloaded.hpp"
#include "core/text.hpp"
#include "output/json_write.hpp"
#include "trace/site_text.hpp"

namespace vemo {

namespace {

// Creates or truncates the file at `path` for writing.
Result<FileDescriptor> create_file(const std::string& path) {
  return open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
}

// ---- CSV ----

constexpr std::string_view CSV_HEADER = "warp_idx,event_idx,site_id,kind,details,source_location\n";

std::string details_text(const DivergenceKind& kind) {
  return std::visit(
      Overloaded{
          [](const BranchKind& k) { return fmt::format("dir_a={} dir_b={}", k.dir_a, k.dir_b); },
          [](const ActiveMaskKind& k) {
            return fmt::format("mask_a=0x{:08x} mask_b=0x{:08x}", k.mask_a, k.mask_b);
          },
          [](const ValueKind& k) { return fmt::format("val_a={} val_b={}", k.val_a, k.val_b); },
          [](const PathKind& k) {
            return fmt::format("site_a={} site_b={}", site_id_text(k.site_a),
                               site_id_text(k.site_b));
          },
          [](const ExtraEventsKind& k) {
            return fmt::format("count={} in_trace={}", k.count, trace_side_name(k.in_trace));
          },
      },
      kind.value);
}

std::string csv_row(const Divergence& divergence, const SiteMap* site_map) {
  const SourceLocation* location = find_location(site_map, divergence.site_id);
  const std::string location_field = location ? location_text(*location) : std::string();
  return fmt::format("{},{},{},{},{},{}\n", divergence.warp_idx, divergence.event_idx,
                     site_id_text(divergence.site_id), divergence.kind.name(),
                     csv_field(details_text(divergence.kind)), csv_field(location_field));
}

// ---- Chrome trace ----

constexpr double CHROME_SLICE_DURATION = 10.0;
constexpr double CHROME_COUNTER_GAP = 100.0;
constexpr double CHROME_COUNTER_STEP = 1.0;

using ChromeArgValue = std::variant<std::uint64_t, std::string>;

struct ChromeTraceEvent {
  std::string name;
  std::string cat;
  std::string ph;
  double ts = 0.0;
  std::optional<double> dur;
  std::uint32_t pid = 0;
  std::uint32_t tid = 0;
  // Keys in byte-wise order, whatever order they were added in.
  std::optional<std::map<std::string, ChromeArgValue>> args;
};

void write_arg_value(json::Writer& writer, const ChromeArgValue& value) {
  std::visit(Overloaded{
                 [&](std::uint64_t number) { writer.uint(number); },
                 [&](const std::string& text) { writer.string(text); },
             },
             value);
}

void write_chrome_trace_event(json::Writer& writer, const ChromeTraceEvent& event) {
  writer.start_object();
  writer.member("name", event.name);
  writer.member("cat", event.cat);
  writer.member("ph", event.ph);
  writer.member("ts", event.ts);
  if (event.dur) writer.member("dur", *event.dur);
  writer.member("pid", event.pid);
  writer.member("tid", event.tid);
  if (event.args) {
    writer.key("args");
    writer.start_object();
    for (const auto& [key, value] : *event.args) {
      writer.key(key);
      write_arg_value(writer, value);
    }
    writer.end_object();
  }
  writer.end_object();
}

ChromeTraceEvent process_name_event(const TraceHeader& header) {
  return ChromeTraceEvent{
      .name = "process_name",
      .cat = "__metadata",
      .ph = "M",
      .ts = 0.0,
      .dur = std::nullopt,
      .pid = 0,
      .tid = 0,
      .args =
          std::map<std::string, ChromeArgValue>{{"name", lossy_utf8(header.kernel_name_bytes())}},
  };
}

ChromeTraceEvent slice_event(const Divergence& divergence, const std::string& label, double ts,
                             std::uint32_t warps_per_block) {
  const std::string kind(divergence.kind.name());
  return ChromeTraceEvent{
      .name = fmt::format("{} [{}]", label, kind),
      .cat = kind,
      .ph = "X",
      .ts = ts,
      .dur = CHROME_SLICE_DURATION,
      .pid = divergence.warp_idx / warps_per_block,
      .tid = divergence.warp_idx % warps_per_block,
      .args =
          std::map<std::string, ChromeArgValue>{
              {"event_idx", divergence.event_idx},
              {"kind", kind},
              {"site_id", site_id_text(divergence.site_id)},
              {"warp_idx", std::uint64_t{divergence.warp_idx}},
          },
  };
}

ChromeTraceEvent counter_event(const std::string& label, std::uint64_t count, double ts) {
  return ChromeTraceEvent{
      .name = "divergence_count",
      .cat = "heatmap",
      .ph = "C",
      .ts = ts,
      .dur = std::nullopt,
      .pid = 0,
      .tid = 0,
      .args = std::map<std::string, ChromeArgValue>{{label, count}},
  };
}

std::vector<ChromeTraceEvent> chrome_trace_events(const TraceHeader& header,
                                                  const DiffResult& result,
                                                  const SiteMap* site_map) {
  const std::uint32_t warps_per_block = header.warps_per_block == 0 ? 1 : header.warps_per_block;
  std::vector<ChromeTraceEvent> events{process_name_event(header)};

  // Each site's label and number of divergences, in the order of the slice groups.
  std::vector<std::pair<std::string, std::uint64_t>> counters;
  double ts = 0.0;
  for (const auto& [site_id, divergences] : group_by_site(result.divergences)) {
    std::string label = site_label(site_map, site_id);
    for (const Divergence* divergence : divergences) {
      events.push_back(slice_event(*divergence, label, ts, warps_per_block));
      ts += CHROME_SLICE_DURATION;
    }
    counters.emplace_back(std::move(label), divergences.size());
  }
  if (counters.empty()) return events;

  ts += CHROME_COUNTER_GAP;
  for (const auto& [label, count] : counters) {
    events.push_back(counter_event(label, count, ts));
    ts += CHROME_COUNTER_STEP;
  }
  return events;
}

std::string chrome_trace_text(const std::vector<ChromeTraceEvent>& events) {
  json::Writer writer;
  writer.start_object();
  writer.key("traceEvents");
  writer.start_array();
  for (const ChromeTraceEvent& event : events) write_chrome_trace_event(writer, event);
  writer.end_array();
  writer.end_object();
  return writer.take();
}

}  // namespace

std::string csv_field(std::string_view text) {
  if (text.find(',') == std::string_view::npos) return std::string(text);
  return fmt::format("\"{}\"", text);
}

Status export_csv(const DiffResult& result, const SiteMap* site_map, const std::string& path) {
  auto file = create_file(path);
  if (!file) return fail(std::move(file.error()));
  if (auto written = write_all(file->get(), CSV_HEADER); !written) return written;
  for (const Divergence& divergence : result.divergences) {
    if (auto written = write_all(file->get(), csv_row(divergence, site_map)); !written) {
      return written;
    }
  }
  return {};
}

Status export_chrome_trace(const Trace& a, const Trace& /*b*/, const DiffResult& result,
                           const SiteMap* site_map, const std::string& path) {
  // The whole document exists before the file is touched.
  const std::string text = chrome_trace_text(chrome_trace_events(a.header, result, site_map));
  auto file = create_file(path);
  if (!file) return fail(std::move(file.error()));
  return write_all(file->get(), text);
}

}  // namespace vemo
