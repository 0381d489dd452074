#pragma once
// The console report: trace info, event dump, summary, divergence listing, root-cause
// classification, value history and the sections of a session run.
//
// Every writer here has one shape: it formats into the sink it is handed, painting with the
// styling it is given, and neither knows nor decides where the bytes go (the driver owns the
// sink and flushes it). A writer never opens a file and never writes to a stream itself.

#include <cstdint>
#include <string_view>

#include "compare/classifier.hpp"
#include "compare/records.hpp"
#include "compare/sessions.hpp"
#include "core/sink.hpp"
#include "core/styling.hpp"
#include "trace/site_map.hpp"
#include "trace/trace_file.hpp"

namespace vemo {

void write_trace_info(OutputSink& out, Styling styling, std::string_view name, const Trace& trace);
void write_dump(OutputSink& out, Styling styling, std::string_view name, const Trace& trace,
                std::uint64_t limit);

void write_summary(OutputSink& out, Styling styling, const DiffResult& result);
// `site_map` may be null.
void write_divergences(OutputSink& out, Styling styling, const DiffResult& result,
                       std::uint64_t max_shown, const SiteMap* site_map, bool float_operands);
void write_classification(OutputSink& out, Styling styling, const ClassificationReport& report,
                          const SiteMap* site_map);
void write_value_history(OutputSink& out, Styling styling, const DiffResult& result, const Trace& a,
                         const Trace& b, std::uint64_t max_shown, const SiteMap* site_map);

// One launch pair of a session run: its heading, then its error or its summary and listing.
void write_kernel_section(OutputSink& out, Styling styling, const KernelResult& pair,
                          std::uint64_t max_shown, bool float_operands);
// The warning lines of the launches that found no partner, after the last pair's section.
void write_unmatched_launches(OutputSink& out, const UnmatchedLaunches& unmatched);

}  // namespace vemo
