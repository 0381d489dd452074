#pragma once
// File exports of the divergences: CSV and the Chrome trace event format.

#include <string>
#include <string_view>

#include "compare/records.hpp"
#include "core/error.hpp"
#include "trace/site_map.hpp"
#include "trace/trace_file.hpp"

namespace vemo {

// `site_map` may be null. Errors are the operating system's, unchanged.
Status export_csv(const DiffResult& result, const SiteMap* site_map, const std::string& path);
// `text` between double quotes when it holds a comma, else unchanged.
std::string csv_field(std::string_view text);

Status export_chrome_trace(const Trace& a, const Trace& b, const DiffResult& result,
                           const SiteMap* site_map, const std::string& path);

}  // namespace vemo
