#pragma once
// The console outputs on standard output: trace info, event dump, summary, divergence listing,
// root-cause classification and value history.

#include <cstdint>
#include <string_view>

#include "compare/classifier.hpp"
#include "compare/records.hpp"
#include "trace/site_map.hpp"
#include "trace/trace_file.hpp"

namespace vemo {

void print_trace_info(std::string_view name, const Trace& trace);
void dump_trace(std::string_view name, const Trace& trace, std::uint64_t limit);

void print_summary(const DiffResult& result);
// `site_map` may be null.
void print_divergences(const DiffResult& result, std::uint64_t max_shown, const SiteMap* site_map,
                       bool float_operands);
void print_classification(const ClassificationReport& report, const SiteMap* site_map);
void print_value_history(const DiffResult& result, const Trace& a, const Trace& b,
                         std::uint64_t max_shown, const SiteMap* site_map);

}  // namespace vemo
