#pragma once
// The warp, kind and site filters: parsers that never fail, and in-place retain operations.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "compare/records.hpp"

namespace vemo {

// A set of warp indices held as inclusive intervals, so that huge ranges cost nothing.
class WarpFilter {
 public:
  // Adds every index from `first` to `last` inclusive; nothing when `first` > `last`.
  void add(std::uint32_t first, std::uint32_t last);
  bool contains(std::uint32_t warp) const;

 private:
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges_;  // sorted, disjoint, not adjacent
};

// Hashes text of any string type alike, so a kind's name is looked up without a copy.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};

using KindFilter = std::unordered_set<std::string, TextHash, std::equal_to<>>;
using SiteFilter = std::unordered_set<std::uint32_t>;

WarpFilter parse_warp_filter(std::string_view text);
KindFilter parse_kind_filter(std::string_view text);
SiteFilter parse_site_filter(std::string_view text);
void parse_site_ids(std::string_view text, SiteFilter& out);

void retain_by_warp(std::vector<Divergence>& divergences, const WarpFilter& filter);
void retain_by_kind(std::vector<Divergence>& divergences, const KindFilter& filter);
void retain_by_site(std::vector<Divergence>& divergences, const SiteFilter& filter);

}  // namespace vemo
