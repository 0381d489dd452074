#include "output/export.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/compile.h>
#include <fmt/format.h>

#include "core/overloaded.hpp"
#include "core/sink.hpp"
#include "core/text.hpp"
#include "output/json_write.hpp"
#include "trace/site_text.hpp"

namespace vemo {

namespace {

// ---- CSV ----

constexpr std::string_view CSV_HEADER = "warp_idx,event_idx,site_id,kind,details,source_location\n";

// RFC 4180: a field holding a separator, a quote or a line break is quoted, its quotes doubled.
bool needs_quotes(std::string_view field) {
  // One vectorised search per byte value: far cheaper than a test per byte on long locations.
  return std::ranges::any_of(std::string_view(",\"\r\n"),
                             [field](char c) { return field.find(c) != std::string_view::npos; });
}

void write_csv_field(OutputSink& sink, std::string_view text) {
  if (!needs_quotes(text)) {
    sink.write(text);
    return;
  }
  sink.put('"');
  for (std::size_t quote; (quote = text.find('"')) != std::string_view::npos;) {
    sink.write(text.substr(0, quote + 1));
    sink.put('"');
    text.remove_prefix(quote + 1);
  }
  sink.write(text);
  sink.put('"');
}

// The details text of a kind, formatted into `out`.
void format_details(fmt::memory_buffer& out, const DivergenceKind& kind) {
  auto to = std::back_inserter(out);
  std::visit(
      Overloaded{
          [&](const BranchKind& k) {
            fmt::format_to(to, FMT_COMPILE("dir_a={} dir_b={}"), k.dir_a, k.dir_b);
          },
          [&](const ActiveMaskKind& k) {
            fmt::format_to(to, FMT_COMPILE("mask_a=0x{:08x} mask_b=0x{:08x}"), k.mask_a, k.mask_b);
          },
          [&](const ValueKind& k) {
            fmt::format_to(to, FMT_COMPILE("val_a={} val_b={}"), k.val_a, k.val_b);
          },
          [&](const PathKind& k) {
            fmt::format_to(to, FMT_COMPILE("site_a=0x{:08x} site_b=0x{:08x}"), k.site_a, k.site_b);
          },
          [&](const ExtraEventsKind& k) {
            fmt::format_to(to, FMT_COMPILE("count={} in_trace={}"), k.count,
                           trace_side_name(k.in_trace));
          },
      },
      kind.value);
}

void write_csv_row(OutputSink& sink, const Divergence& divergence, const SiteMap* site_map) {
  sink.print_compiled(FMT_COMPILE("{},{},0x{:08x},{},"), divergence.warp_idx, divergence.event_idx,
                      divergence.site_id, divergence.kind.name());
  fmt::memory_buffer details;
  format_details(details, divergence.kind);
  // Names, numbers and blanks alone: the details never need quotes, and are not scanned.
  sink.write({details.data(), details.size()});
  sink.put(',');
  if (const SourceLocation* location = find_location(site_map, divergence.site_id)) {
    write_csv_field(sink, location_text(*location));
  }
  sink.put('\n');
}

// ---- Chrome trace ----

constexpr double CHROME_SLICE_DURATION = 10.0;
constexpr double CHROME_COUNTER_GAP = 100.0;
constexpr double CHROME_COUNTER_STEP = 1.0;

struct ChromeArg {
  std::string_view key;
  std::variant<std::uint64_t, std::string_view> value;
};

// One event, borrowing its texts; written as soon as it is formed.
struct ChromeTraceEvent {
  std::string_view name;
  std::string_view cat;
  std::string_view ph;
  double ts = 0.0;
  std::optional<double> dur;
  std::uint32_t pid = 0;
  std::uint32_t tid = 0;
  // Keys in byte-wise ascending order (each producer lists them so).
  std::span<const ChromeArg> args;
};

void write_arg_value(json::Writer& writer, const ChromeArg& arg) {
  std::visit(Overloaded{
                 [&](std::uint64_t number) { writer.uint(number); },
                 [&](std::string_view text) { writer.string(text); },
             },
             arg.value);
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
  if (!event.args.empty()) {
    writer.key("args");
    writer.start_object();
    for (const ChromeArg& arg : event.args) {
      writer.key(arg.key);
      write_arg_value(writer, arg);
    }
    writer.end_object();
  }
  writer.end_object();
}

void write_process_name_event(json::Writer& writer, const TraceHeader& header) {
  const std::string kernel = lossy_utf8(header.kernel_name_bytes());
  const std::array args{ChromeArg{"name", kernel}};
  write_chrome_trace_event(writer, {
                                       .name = "process_name",
                                       .cat = "__metadata",
                                       .ph = "M",
                                       .ts = 0.0,
                                       .dur = std::nullopt,
                                       .pid = 0,
                                       .tid = 0,
                                       .args = args,
                                   });
}

// A slice as the writer lays it out inside "traceEvents" (depth 2, indent 2), in one
// formatting step. `label` comes quoted and escaped without its closing quotation mark; kind
// names are plain words, which need no escaping.
constexpr auto SLICE_EVENT_LAYOUT = FMT_COMPILE(
    "{{\n"
    "      \"name\": {} [{}]\",\n"
    "      \"cat\": \"{}\",\n"
    "      \"ph\": \"X\",\n"
    "      \"ts\": {}.0,\n"
    "      \"dur\": 10.0,\n"
    "      \"pid\": {},\n"
    "      \"tid\": {},\n"
    "      \"args\": {{\n"
    "        \"event_idx\": {},\n"
    "        \"kind\": \"{}\",\n"
    "        \"site_id\": \"0x{:08x}\",\n"
    "        \"warp_idx\": {}\n"
    "      }}\n"
    "    }}");
constexpr std::size_t SLICE_EVENT_DEPTH = 2;

// Timestamps that print as their integer and ".0"; a JSON writer prints other doubles its own
// way.
bool is_whole_timestamp(double ts) {
  constexpr double EXACT_INTEGER_LIMIT = 9007199254740992.0;  // 2^53
  return ts >= 0.0 && ts < EXACT_INTEGER_LIMIT &&
         ts == static_cast<double>(static_cast<std::uint64_t>(ts));
}

// A site group's label, quoted and escaped, for slice names.
struct SliceLabel {
  std::string text;
  std::string quoted_open;  // `text` as a JSON string, less its closing quotation mark

  explicit SliceLabel(std::string label) : text(std::move(label)) {
    OutputSink sink(quoted_open);
    json::write_string(sink, text);
    quoted_open.pop_back();
  }
};

void write_slice_event(json::Writer& writer, const Divergence& divergence, const SliceLabel& label,
                       double ts, std::uint32_t warps_per_block) {
  const std::string_view kind = divergence.kind.name();
  const std::uint32_t pid = divergence.warp_idx / warps_per_block;
  const std::uint32_t tid = divergence.warp_idx % warps_per_block;
  if (writer.depth() == SLICE_EVENT_DEPTH && is_whole_timestamp(ts)) {
    writer.laid_out_object(SLICE_EVENT_LAYOUT, label.quoted_open, kind, kind,
                           static_cast<std::uint64_t>(ts), pid, tid, divergence.event_idx, kind,
                           divergence.site_id, divergence.warp_idx);
    return;
  }
  fmt::memory_buffer name;
  fmt::format_to(std::back_inserter(name), FMT_COMPILE("{} [{}]"), label.text, kind);
  std::array<char, 10> site_id{};
  fmt::format_to(site_id.data(), FMT_COMPILE("0x{:08x}"), divergence.site_id);
  const std::array args{
      ChromeArg{"event_idx", divergence.event_idx},
      ChromeArg{"kind", kind},
      ChromeArg{"site_id", std::string_view(site_id.data(), site_id.size())},
      ChromeArg{"warp_idx", std::uint64_t{divergence.warp_idx}},
  };
  write_chrome_trace_event(writer, {
                                       .name = {name.data(), name.size()},
                                       .cat = kind,
                                       .ph = "X",
                                       .ts = ts,
                                       .dur = CHROME_SLICE_DURATION,
                                       .pid = pid,
                                       .tid = tid,
                                       .args = args,
                                   });
}

void write_counter_event(json::Writer& writer, std::string_view label, std::uint64_t count,
                         double ts) {
  const std::array args{ChromeArg{label, count}};
  write_chrome_trace_event(writer, {
                                       .name = "divergence_count",
                                       .cat = "heatmap",
                                       .ph = "C",
                                       .ts = ts,
                                       .dur = std::nullopt,
                                       .pid = 0,
                                       .tid = 0,
                                       .args = args,
                                   });
}

// The events in document order: the process name, the slices site group by site group, then
// one counter per group.
void write_chrome_trace_events(json::Writer& writer, const TraceHeader& header,
                               const DiffResult& result, const SiteMap* site_map) {
  const std::uint32_t warps_per_block = header.warps_per_block == 0 ? 1 : header.warps_per_block;
  write_process_name_event(writer, header);

  // Each site's label and number of divergences, in the order of the slice groups.
  std::vector<std::pair<std::string, std::uint64_t>> counters;
  double ts = 0.0;
  for (const auto& [site_id, divergences] : group_by_site(result.divergences)) {
    SliceLabel label(site_label(site_map, site_id));
    for (const Divergence* divergence : divergences) {
      write_slice_event(writer, *divergence, label, ts, warps_per_block);
      ts += CHROME_SLICE_DURATION;
    }
    counters.emplace_back(std::move(label.text), divergences.size());
  }
  if (counters.empty()) return;

  ts += CHROME_COUNTER_GAP;
  for (const auto& [label, count] : counters) {
    write_counter_event(writer, label, count, ts);
    ts += CHROME_COUNTER_STEP;
  }
}

}  // namespace

std::string csv_field(std::string_view text) {
  std::string field;
  OutputSink sink(field);
  write_csv_field(sink, text);
  return field;
}

void write_csv(OutputSink& out, const DiffResult& result, const SiteMap* site_map) {
  out.write(CSV_HEADER);
  for (const Divergence& divergence : result.divergences) {
    if (out.failed()) break;
    write_csv_row(out, divergence, site_map);
  }
}

void write_chrome_trace(OutputSink& out, const Trace& a, const Trace& /*b*/,
                        const DiffResult& result, const SiteMap* site_map) {
  json::Writer writer(out);
  writer.start_object();
  writer.key("traceEvents");
  writer.start_array();
  write_chrome_trace_events(writer, a.header, result, site_map);
  writer.end_array();
  writer.end_object();
}

}  // namespace vemo
