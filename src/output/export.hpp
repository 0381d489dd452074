#pragma once
// The exports of the divergences: CSV and the Chrome trace event format. Like every writer, each
// formats into the sink it is handed; the driver creates the file behind the sink, flushes it
// and reports a failed write.

#include <string>
#include <string_view>

#include "compare/records.hpp"
#include "core/sink.hpp"
#include "trace/site_map.hpp"
#include "trace/trace_file.hpp"

namespace vemo {

// `site_map` may be null. Stops early once a write to `out` has failed.
void write_csv(OutputSink& out, const DiffResult& result, const SiteMap* site_map);
// `text` as one CSV field (RFC 4180): between double quotes, each inner one doubled, when it
// holds a comma, a double quote, CR or LF; else unchanged. Other bytes are kept as they are.
std::string csv_field(std::string_view text);

void write_chrome_trace(OutputSink& out, const Trace& a, const Trace& b, const DiffResult& result,
                        const SiteMap* site_map);

}  // namespace vemo
