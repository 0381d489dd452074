#pragma once
// Fixtures for the tests of the JSON reports and the exports: divergences and site maps in
// memory, traces on disk, and reading files back.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "compare/records.hpp"
#include "support/trace_builder.hpp"
#include "trace/site_map.hpp"

namespace vemo::testing {

inline Divergence divergence(std::uint32_t warp, std::uint64_t event, std::uint32_t site,
                             DivergenceKind kind) {
  return Divergence{.warp_idx = warp,
                    .event_idx = event,
                    .site_id = site,
                    .kind = kind,
                    .snapshot = std::nullopt};
}

// The texts must outlive the location; a map keeps copies of its own.
inline SourceLocation location(std::uint32_t site, std::string_view file, std::string_view function,
                               std::uint32_t line, std::uint32_t column) {
  SourceLocation location;
  location.site_id = site;
  location.filename = file;
  location.function = function;
  location.line = line;
  location.column = column;
  return location;
}

inline SiteMap map_with(std::vector<SourceLocation> locations) {
  SiteMap map;
  for (SourceLocation& location : locations) map.insert(std::move(location));
  return map;
}

using WarpEvents = std::vector<std::vector<TraceEvent>>;

struct TraceOptions {
  std::uint32_t cuda_arch = 0;
  std::uint32_t warps_per_block = 1;
};

// A trace whose warp i holds `warps[i]`, written at `path` (its directory created).
inline std::string write_trace(const std::filesystem::path& path, const WarpEvents& warps,
                               TraceOptions options = {}) {
  std::filesystem::create_directories(path.parent_path());
  TraceBuilder builder;
  std::size_t longest = 0;
  for (const auto& events : warps) longest = std::max(longest, events.size());
  builder.shape(static_cast<std::uint32_t>(warps.size()), static_cast<std::uint32_t>(longest));
  for (std::size_t warp = 0; warp < warps.size(); ++warp) {
    builder.warp(static_cast<std::uint32_t>(warp), warps[warp]);
  }
  builder.header.cuda_arch = options.cuda_arch;
  builder.header.warps_per_block = options.warps_per_block;
  return builder.write(path);
}

// Baseline of two warps: a taken branch at 0x1a and a store at 0x2b in warp 0, one branch in
// warp 1.
inline WarpEvents baseline_warps() {
  return {{event(0x1a, 0, 1), event(0x2b, 1)}, {event(0x1a, 0, 0)}};
}

// Against the baseline: in warp 0 a Branch divergence at event 0 (site 0x1a, 1 vs 0), then an
// ActiveMask divergence at event 1 (site 0x2b, 0xffffffff vs 0x0000ffff).
inline WarpEvents diverged_warps() {
  return {{event(0x1a, 0, 0), event(0x2b, 1, 0, 0x0000ffff)}, {event(0x1a, 0, 0)}};
}

// One warp with `count` events whose masks all differ from the baseline's full mask.
inline WarpEvents mask_warps(std::uint32_t count, std::uint32_t mask) {
  std::vector<TraceEvent> events;
  for (std::uint32_t site = 1; site <= count; ++site) events.push_back(event(site, 0, 0, mask));
  return {events};
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace vemo::testing
