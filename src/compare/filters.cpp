#include "compare/filters.hpp"

#include <algorithm>
#include <iterator>
#include <optional>

#include "core/text.hpp"

namespace vemo {

namespace {

constexpr std::uint64_t MAX_U32 = 0xFFFFFFFF;

// Calls `visit` with every comma-separated piece of `text`, trimmed; the empty text is one
// empty piece.
template <class Visit>
void for_each_piece(std::string_view text, Visit&& visit) {
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    visit(trim_white_space(text.substr(start, comma - start)));
    if (comma == std::string_view::npos) return;
    start = comma + 1;
  }
}

std::optional<unsigned> digit_value(char c, unsigned base) {
  unsigned value;
  if (c >= '0' && c <= '9') {
    value = static_cast<unsigned>(c - '0');
  } else if (c >= 'a' && c <= 'f') {
    value = static_cast<unsigned>(c - 'a') + 10;
  } else if (c >= 'A' && c <= 'F') {
    value = static_cast<unsigned>(c - 'A') + 10;
  } else {
    return std::nullopt;
  }
  if (value >= base) return std::nullopt;
  return value;
}

// An optional single '+', then one or more digits of `base`, with a value that fits 32 bits.
std::optional<std::uint32_t> parse_unsigned(std::string_view text, unsigned base) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    const auto digit = digit_value(c, base);
    if (!digit) return std::nullopt;
    value = value * base + *digit;
    if (value > MAX_U32) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

using WarpRange = std::pair<std::uint32_t, std::uint32_t>;

// "a-b" split at its first '-', both sides numbers and in order; anything else reads as nothing.
std::optional<WarpRange> parse_warp_range(std::string_view piece, std::size_t hyphen) {
  const auto first = parse_unsigned(trim_white_space(piece.substr(0, hyphen)), 10);
  const auto last = parse_unsigned(trim_white_space(piece.substr(hyphen + 1)), 10);
  if (!first || !last || *first > *last) return std::nullopt;
  return WarpRange{*first, *last};
}

std::string_view strip_repeated_prefix(std::string_view text, std::string_view prefix) {
  while (text.starts_with(prefix)) text.remove_prefix(prefix.size());
  return text;
}

}  // namespace

void WarpFilter::add(std::uint32_t first, std::uint32_t last) {
  if (first > last) return;
  // Widened so that the neighbour of 4294967295 does not wrap.
  const auto ends_before = [](const WarpRange& range, std::uint64_t index) {
    return std::uint64_t{range.second} + 1 < index;
  };
  auto begin = std::lower_bound(ranges_.begin(), ranges_.end(), std::uint64_t{first}, ends_before);
  auto end = begin;
  while (end != ranges_.end() && std::uint64_t{end->first} <= std::uint64_t{last} + 1) {
    first = std::min(first, end->first);
    last = std::max(last, end->second);
    ++end;
  }
  if (begin == end) {
    ranges_.insert(begin, {first, last});
    return;
  }
  *begin = {first, last};
  ranges_.erase(begin + 1, end);
}

bool WarpFilter::contains(std::uint32_t warp) const {
  const auto after =
      std::upper_bound(ranges_.begin(), ranges_.end(), warp,
                       [](std::uint32_t index, const auto& range) { return index < range.first; });
  return after != ranges_.begin() && warp <= std::prev(after)->second;
}

WarpFilter parse_warp_filter(std::string_view text) {
  // Sorted before adding, so that every range lands at the back.
  std::vector<WarpRange> ranges;
  for_each_piece(text, [&](std::string_view piece) {
    if (piece.empty()) return;
    if (const std::size_t hyphen = piece.find('-'); hyphen != std::string_view::npos) {
      if (const auto range = parse_warp_range(piece, hyphen)) ranges.push_back(*range);
    } else if (const auto warp = parse_unsigned(piece, 10)) {
      ranges.emplace_back(*warp, *warp);
    }
  });
  std::sort(ranges.begin(), ranges.end());
  WarpFilter filter;
  for (const auto& [first, last] : ranges) filter.add(first, last);
  return filter;
}

KindFilter parse_kind_filter(std::string_view text) {
  KindFilter filter;
  for_each_piece(text, [&](std::string_view piece) { filter.insert(to_lower_full(piece)); });
  return filter;
}

SiteFilter parse_site_filter(std::string_view text) {
  SiteFilter filter;
  parse_site_ids(text, filter);
  return filter;
}

void parse_site_ids(std::string_view text, SiteFilter& out) {
  for_each_piece(text, [&](std::string_view piece) {
    // "0X" after "0x", so "0X0x1f" keeps its inner "0x" and does not read.
    const std::string_view digits = strip_repeated_prefix(strip_repeated_prefix(piece, "0x"), "0X");
    if (digits.empty()) return;
    if (const auto site = parse_unsigned(digits, 16)) out.insert(*site);
  });
}

void retain_by_warp(std::vector<Divergence>& divergences, const WarpFilter& filter) {
  std::erase_if(divergences, [&](const Divergence& d) { return !filter.contains(d.warp_idx); });
}

void retain_by_kind(std::vector<Divergence>& divergences, const KindFilter& filter) {
  std::erase_if(divergences,
                [&](const Divergence& d) { return !filter.contains(d.kind.lower_name()); });
}

void retain_by_site(std::vector<Divergence>& divergences, const SiteFilter& filter) {
  std::erase_if(divergences, [&](const Divergence& d) { return !filter.contains(d.site_id); });
}

}  // namespace vemo
