#include "cli/driver.hpp"

#include <cerrno>
#include <future>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "cli/export_targets.hpp"
#include "compare/classifier.hpp"
#include "compare/filters.hpp"
#include "compare/sessions.hpp"
#include "compare/traces.hpp"
#include "compare/workers.hpp"
#include "core/console.hpp"
#include "core/file_io.hpp"
#include "core/text.hpp"
#include "output/export.hpp"
#include "output/json_report.hpp"
#include "output/report.hpp"
#include "trace/session.hpp"
#include "trace/site_map.hpp"
#include "trace/trace_file.hpp"
#include "tui/run.hpp"

namespace vemo {

namespace {

constexpr int SUCCESS = 0;
constexpr int FAILED = 1;

CompareConfig compare_config(const Args& args) {
  return CompareConfig{
      .max_divergences = args.max_divergences,
      .lookahead = args.lookahead,
      .compare_values = args.values,
      .skip_kernel_name_check = args.force || args.cross_gpu,
      .continue_after_path = args.continue_after_path,
      .cross_gpu = args.cross_gpu,
  };
}

// A path as shown in messages: as typed, with bytes that are not UTF-8 replaced.
std::string shown(const std::string& path) {
  return lossy_utf8(path);
}

// `what` names the input in the context message: "trace A", "session B", "site map", ...
// Memory that runs out while the input is taken in is an error of that input.
template <class T>
Result<T> load(Result<T> (*loader)(const std::string&), std::string_view what,
               const std::string& path) {
  auto loaded = [&]() -> Result<T> {
    try {
      return loader(path);
    } catch (const std::bad_alloc&) {
      return fail(Error::system(ENOMEM));
    }
  }();
  return with_context(std::move(loaded), fmt::format("Failed to load {}: {}", what, shown(path)));
}

// A line for standard error. The lines carry paths and names from the inputs, whose control
// characters must not reach the terminal.
void write_err_line(std::string_view line) {
  console::err(escape_controls(std::string(line)));
}

// Progress lines are left out when standard output carries a JSON document.
void progress(const Args& args, std::string_view line) {
  if (!args.json) write_err_line(line);
}

// The comparison's warnings, notes and progress lines, also with --json.
void diagnose(std::string_view line) {
  write_err_line(line);
}

// ---- session mode ----

LaunchTraceLoader session_trace_loader() {
  return [options = process_load_options()](const Session& session, const SessionLaunch& launch) {
    return load_trace(session_trace_path(session, launch), options);
  };
}

// A pair fails with an error or with divergences.
bool pair_failed(const KernelResult& pair) {
  return !pair.result || !pair.result->divergences.empty();
}

// Each pair's section is written as soon as the pair is compared, so a long session never holds
// more than one pair's result; a warning the comparison reports meanwhile flushes what came
// before it.
int run_session_text(const Session& a, const Session& b, const Args& args,
                     const CompareConfig& config, Styling styling) {
  OutputSink& out = console::out_sink();
  bool failed = false;
  const UnmatchedLaunches unmatched =
      compare_sessions(a, b, config, session_trace_loader(), diagnose, [&](KernelResult pair) {
        write_kernel_section(out, styling, pair, args.max_shown, args.float_);
        failed = pair_failed(pair) || failed;
      });
  write_unmatched_launches(out, unmatched);
  const bool any_unmatched = !unmatched.unmatched_a.empty() || !unmatched.unmatched_b.empty();
  return failed || any_unmatched ? FAILED : SUCCESS;
}

// The document opens with the verdict, so only each pair's entry is kept until the end.
int run_session_json(const Session& a, const Session& b, const Args& args,
                     const CompareConfig& config) {
  SessionReportBuilder builder;
  UnmatchedLaunches unmatched = compare_sessions(a, b, config, session_trace_loader(), diagnose,
                                                 [&](KernelResult pair) { builder.add(pair); });
  const SessionJsonReport report =
      builder.finish(std::move(unmatched), args.max_allowed_divergences);
  OutputSink& out = console::out_sink();
  write_session_json(out, report);
  out.put('\n');
  return report.passed ? SUCCESS : FAILED;
}

Result<int> run_session_mode(const Args& args, const CompareConfig& config, Styling styling) {
  progress(args, "Loading sessions...\n");
  auto session_a = load(load_session, "session A", args.trace_a);
  if (!session_a) return fail(std::move(session_a.error()));
  auto session_b = load(load_session, "session B", args.trace_b);
  if (!session_b) return fail(std::move(session_b.error()));
  progress(args, fmt::format("Session A: {} launches, Session B: {} launches\n\n",
                             session_a->launches.size(), session_b->launches.size()));
  return args.json ? run_session_json(*session_a, *session_b, args, config)
                   : run_session_text(*session_a, *session_b, args, config, styling);
}

// ---- pair mode ----

// The --map site map, when given.
Result<std::optional<SiteMap>> load_site_map_option(const Args& args) {
  if (!args.site_map) return std::nullopt;
  auto site_map = load(load_site_map, "site map", *args.site_map);
  if (!site_map) return fail(std::move(site_map.error()));
  progress(args, fmt::format("Loaded {} site mappings\n\n", site_map->size()));
  return std::move(*site_map);
}

// Loaded only when both remap options are given; the two maps live only while it is built.
Result<std::optional<SiteRemapper>> load_remapper(const Args& args) {
  if (!args.remap_a || !args.remap_b) return std::nullopt;
  const auto load_b = [&] { return load(load_site_map, "remap-b", *args.remap_b); };
  // Two regular files are read side by side. Anything else is read after remap-a has loaded: a
  // pipe could wait for its writer although remap-a already failed.
  std::future<Result<SiteMap>> side_b;
  if (is_regular_file(*args.remap_a) && is_regular_file(*args.remap_b)) {
    try {
      side_b = std::async(std::launch::async, load_b);
    } catch (const std::system_error&) {
      // No thread to be had: remap-b is read after remap-a.
    }
  }
  auto map_a = load(load_site_map, "remap-a", *args.remap_a);
  if (!map_a) return fail(std::move(map_a.error()));
  auto map_b = side_b.valid() ? side_b.get() : load_b();
  if (!map_b) return fail(std::move(map_b.error()));
  SiteRemapper remapper = build_site_remapper(*map_a, *map_b);
  progress(args, fmt::format("Site remapper: {} site_ids remapped\n\n", remapper.size()));
  return remapper;
}

void apply_filters(const Args& args, DiffResult& result) {
  if (args.warps) retain_by_warp(result.divergences, parse_warp_filter(*args.warps));
  if (args.filter_kind) retain_by_kind(result.divergences, parse_kind_filter(*args.filter_kind));
  if (args.filter_sites) {
    retain_by_site(result.divergences, parse_site_filter(*args.filter_sites));
  }
}

Status write_exports(const Args& args, const Trace& a, const Trace& b, const DiffResult& result,
                     const SiteMap* site_map) {
  if (args.csv) {
    auto written =
        write_export_file(*args.csv, [&](OutputSink& out) { write_csv(out, result, site_map); });
    if (!written) return written;
    progress(args, fmt::format("CSV exported to: {}\n", shown(*args.csv)));
  }
  if (args.export_flamegraph) {
    auto written = write_export_file(*args.export_flamegraph, [&](OutputSink& out) {
      write_chrome_trace(out, a, b, result, site_map);
    });
    if (!written) return written;
    // Also with --json: the note is the only pointer to where the file went.
    write_err_line(fmt::format(
        "Flamegraph exported to: {}\nOpen in chrome://tracing or https://ui.perfetto.dev\n",
        shown(*args.export_flamegraph)));
  }
  return {};
}

int write_console_report(OutputSink& out, Styling styling, const Args& args, const Trace& a,
                         const Trace& b, const DiffResult& result, const SiteMap* site_map) {
  write_summary(out, styling, result);
  write_divergences(out, styling, result, args.max_shown, site_map, args.float_);
  if (args.classify) {
    write_classification(out, styling, classify_root_causes(result, site_map), site_map);
  }
  if (args.history || a.header.has_history() || b.header.has_history()) {
    write_value_history(out, styling, result, a, b, args.max_shown, site_map);
  }
  return result.divergences.empty() ? SUCCESS : FAILED;
}

Result<int> run_pair_mode(const Args& args, const CompareConfig& config, Styling styling) {
  // A dump run writes no export.
  if (!args.dump_a && !args.dump_b) {
    if (auto checked = refuse_exports_over_inputs(args); !checked) {
      return fail(std::move(checked.error()));
    }
  }
  progress(args, "Loading traces...\n");
  auto traces = load_trace_pair(args.trace_a, args.trace_b, process_load_options());
  if (!traces) {
    TracePairFailure& failure = traces.error();
    const std::string& path = failure.in_b ? args.trace_b : args.trace_a;
    return fail(std::move(failure.error)
                    .context(fmt::format("Failed to load trace {}: {}", failure.in_b ? 'B' : 'A',
                                         shown(path))));
  }
  Trace& trace_a = traces->a;
  Trace& trace_b = traces->b;

  auto site_map = load_site_map_option(args);
  if (!site_map) return fail(std::move(site_map.error()));
  const SiteMap* map = *site_map ? &**site_map : nullptr;

  OutputSink& out = console::out_sink();
  if (args.verbose) {
    write_trace_info(out, styling, "Trace A", trace_a);
    write_trace_info(out, styling, "Trace B", trace_b);
  }
  if (args.dump_a) {
    write_dump(out, styling, "Trace A", trace_a, *args.dump_a);
    return SUCCESS;
  }
  if (args.dump_b) {
    write_dump(out, styling, "Trace B", trace_b, *args.dump_b);
    return SUCCESS;
  }

  auto remapper = load_remapper(args);
  if (!remapper) return fail(std::move(remapper.error()));
  auto result =
      compare_traces(trace_a, trace_b, config, *remapper ? &**remapper : nullptr, diagnose);
  if (!result) return fail(std::move(result.error()));
  apply_filters(args, *result);
  if (auto exported = write_exports(args, trace_a, trace_b, *result, map); !exported) {
    return fail(std::move(exported.error()));
  }

  if (args.json) {
    const JsonReport report =
        build_json_report(*result, map, args.max_allowed_divergences, args.ignore_active_mask);
    write_json_report(out, report);
    out.put('\n');
    return report.passed ? SUCCESS : FAILED;
  }
  if (args.tui) {
    auto viewed = tui::run_tui(std::move(trace_a), std::move(trace_b), std::move(*result),
                               std::move(*site_map), args.float_);
    if (!viewed) return fail(std::move(viewed.error()));
    return SUCCESS;
  }
  return write_console_report(out, styling, args, trace_a, trace_b, *result, map);
}

}  // namespace

Result<int> run_main(const Args& args) {
  const CompareConfig config = compare_config(args);
  const Styling styling = console::stdout_styling();
  return args.session ? run_session_mode(args, config, styling)
                      : run_pair_mode(args, config, styling);
}

}  // namespace vemo
