// The three filter parsers (warps, kinds, sites) and the filters they drive. The input is the
// --warps text, the --filter-kind text, then the --filter-sites text.

#include <vector>

#include "compare/filters.hpp"
#include "fuzz_support.hpp"

namespace {

// One divergence of each kind across a spread of warps and sites, edge values included.
std::vector<vemo::Divergence> sample_divergences() {
  const std::vector<vemo::DivergenceKind> kinds = {{vemo::BranchKind{0, 1}},
                                                   {vemo::ActiveMaskKind{1, 3}},
                                                   {vemo::ValueKind{1, 2}},
                                                   {vemo::PathKind{1, 2}},
                                                   {vemo::ExtraEventsKind{2, vemo::TraceSide::B}}};
  const std::vector<std::uint32_t> ids = {0, 1, 7, 255, 256, 65535, 0x7fffffff, 0xffffffff};
  std::vector<vemo::Divergence> divergences;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    for (std::size_t k = 0; k < kinds.size(); ++k) {
      divergences.push_back({.warp_idx = ids[i],
                             .event_idx = k,
                             .site_id = ids[(i + k) % ids.size()],
                             .kind = kinds[k],
                             .snapshot = std::nullopt});
    }
  }
  return divergences;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = vemo::fuzz::split_parts({data, size}, 3);
  static const std::vector<vemo::Divergence> sample = sample_divergences();
  std::vector<vemo::Divergence> divergences = sample;

  const vemo::WarpFilter warps = vemo::parse_warp_filter(parts[0]);
  vemo::retain_by_warp(divergences, warps);
  for (const auto& divergence : divergences) {
    if (!warps.contains(divergence.warp_idx)) __builtin_trap();
  }
  vemo::retain_by_kind(divergences, vemo::parse_kind_filter(parts[1]));
  vemo::retain_by_site(divergences, vemo::parse_site_filter(parts[2]));
  vemo::SiteFilter ids;
  vemo::parse_site_ids(parts[2], ids);
  return 0;
}
