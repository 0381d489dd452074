#include "compare/filters.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

namespace vemo::testing {
namespace {

constexpr std::uint32_t MAX = std::numeric_limits<std::uint32_t>::max();

Divergence divergence(std::uint32_t warp, std::uint32_t site, DivergenceKind kind) {
  Divergence d;
  d.warp_idx = warp;
  d.site_id = site;
  d.kind = kind;
  return d;
}

// One divergence of each kind, in declaration order, warp = position, site = 0x10 + position.
std::vector<Divergence> one_of_each_kind() {
  return {divergence(0, 0x10, {BranchKind{0, 1}}), divergence(1, 0x11, {ActiveMaskKind{1, 3}}),
          divergence(2, 0x12, {ValueKind{1, 2}}), divergence(3, 0x13, {PathKind{0x13, 0x14}}),
          divergence(4, 0x14, {ExtraEventsKind{2, TraceSide::B}})};
}

std::vector<std::string> kind_names(const std::vector<Divergence>& divergences) {
  std::vector<std::string> names;
  for (const Divergence& d : divergences) names.emplace_back(d.kind.name());
  return names;
}

// Checks membership exactly on small indices, around the top of the range and on every member.
void expect_warps(const WarpFilter& filter, const std::set<std::uint32_t>& members,
                  const std::string& label) {
  std::set<std::uint32_t> probes = members;
  for (std::uint32_t w = 0; w <= 40; ++w) probes.insert(w);
  for (std::uint32_t w = MAX - 10; w != 0; ++w) probes.insert(w);
  for (const std::uint32_t w : probes)
    EXPECT_EQ(filter.contains(w), members.contains(w)) << label << ": warp " << w;
}

std::set<std::uint32_t> span(std::uint32_t first, std::uint32_t last) {
  std::set<std::uint32_t> s;
  for (std::uint64_t w = first; w <= last; ++w) s.insert(static_cast<std::uint32_t>(w));
  return s;
}

TEST(WarpFilterParse, PiecesNumbersAndRanges) {
  const struct {
    std::string text;
    std::set<std::uint32_t> members;
  } cases[] = {
      {"0-10,15,20-25",
       [] {
         auto s = span(0, 10);
         s.insert(15);
         s.merge(span(20, 25));
         return s;
       }()},
      {"0 - 2 , 7", {0, 1, 2, 7}},
      {"3 - +5", {3, 4, 5}},
      {"1 2", {}},
      {"5-3", {}},
      {"7-", {}},
      {"-7", {}},
      {"-", {}},
      {"1-2-3", {}},
      {"++4", {}},
      {"+-4", {}},
      {"+", {}},
      {"+4", {4}},
      {"007", {7}},
      {"4294967295", {MAX}},
      {"4294967296", {}},
      {"99999999999999999999", {}},
      {"0-4294967296", {}},
      {"4294967290-4294967295", span(MAX - 5, MAX)},
      {"abc", {}},
      {"3abc,4", {4}},
      {"", {}},
      {",,3,,", {3}},
      {"\u3000 3\u3000,\u00a04\u2029,\t5\n", {3, 4, 5}},
      {"6\u3000-\u20037", {6, 7}},
      {"1\u200b", {}},  // a zero-width space is not white space
      {"1 ,2 3", {1}},
      {"5-10,3-6,11,2,30-30",
       [] {
         auto s = span(2, 11);
         s.insert(30);
         return s;
       }()},
  };
  for (const auto& c : cases) expect_warps(parse_warp_filter(c.text), c.members, c.text);
}

TEST(WarpFilterParse, FullRangeCostsNothingAndHoldsEveryIndex) {
  const WarpFilter all = parse_warp_filter("0-4294967295");
  EXPECT_TRUE(all.contains(0));
  EXPECT_TRUE(all.contains(123456789));
  EXPECT_TRUE(all.contains(MAX));
}

TEST(WarpFilterAdd, MergesRangesInAnyOrder) {
  WarpFilter filter;
  filter.add(10, 20);
  filter.add(0, 5);
  filter.add(30, 30);
  filter.add(6, 9);   // bridges the first two
  filter.add(25, 8);  // reversed: nothing
  filter.add(MAX, MAX);
  filter.add(MAX - 3, MAX - 1);
  std::set<std::uint32_t> expected = span(0, 20);
  expected.insert(30);
  expected.merge(span(MAX - 3, MAX));
  expect_warps(filter, expected, "merged");

  filter.add(15, 40);
  expected.merge(span(15, 40));
  expect_warps(filter, expected, "extended");
  filter.add(0, MAX);
  EXPECT_TRUE(filter.contains(MAX - 100));
  EXPECT_TRUE(filter.contains(1000));
}

TEST(KindFilterParse, TrimsAndLowerCasesEveryPiece) {
  const struct {
    std::string text;
    std::vector<std::string> kept;
  } cases[] = {
      {"BRANCH, value", {"Branch", "Value"}},
      {"active mask", {}},
      {"active_mask", {}},
      {"ActiveMask", {"ActiveMask"}},
      {"ExtraEvents", {"ExtraEvents"}},
      {"eXTRAeVENTS", {"ExtraEvents"}},
      {"extraevents", {"ExtraEvents"}},
      {"", {}},
      {",", {}},
      {"\u3000Path\u2003,\u0085value", {"Value", "Path"}},
      {"ACTIVEMAS\u212A", {"ActiveMask"}},  // KELVIN SIGN lower-cases to 'k'
      {"branches,pat", {}},
  };
  for (const auto& c : cases) {
    auto divergences = one_of_each_kind();
    retain_by_kind(divergences, parse_kind_filter(c.text));
    EXPECT_EQ(kind_names(divergences), c.kept) << c.text;
  }
}

TEST(KindFilterParse, KeepsEveryPieceIncludingEmptyAndUsesFullMapping) {
  const KindFilter filter = parse_kind_filter(" ,\u0130X, Path ");
  EXPECT_EQ(filter, (KindFilter{"", "i\u0307x", "path"}));
}

TEST(SiteFilterParse, HexPiecesWithPrefixes) {
  const struct {
    std::string text;
    std::set<std::uint32_t> sites;
  } cases[] = {
      {"0x12345678,0xABCDEF01", {0x12345678, 0xABCDEF01}},
      {"1f", {0x1f}},
      {"0x1f", {0x1f}},
      {"0X1F", {0x1f}},
      {"0X0X1f", {0x1f}},
      {"0x0x1f", {0x1f}},
      {"0x+1f", {0x1f}},
      {"+1f", {0x1f}},
      {"0x0X1f", {0x1f}},
      {"0000000000001f", {0x1f}},
      {"0x0", {0}},
      {"ffffffff", {MAX}},
      {"0X0x1f", {}},
      {"+0x1f", {}},
      {"0x", {}},
      {"0x0x", {}},
      {"00x1f", {}},
      {"++1f", {}},
      {"0x++1f", {}},
      {"100000000", {}},
      {"0x100000000", {}},
      {"0x 1f", {}},
      {"1 f", {}},
      {"1g", {}},
      {"-1", {}},
      {"", {}},
      {"\u2028 0x1f\u3000,,20,", {0x1f, 0x20}},
  };
  for (const auto& c : cases) {
    const SiteFilter filter = parse_site_filter(c.text);
    EXPECT_EQ(std::set<std::uint32_t>(filter.begin(), filter.end()), c.sites) << c.text;
  }
}

TEST(SiteFilterParse, SiteIdsAddToAnExistingSet) {
  SiteFilter filter{0x5};
  parse_site_ids("0x7,zz", filter);
  EXPECT_EQ(filter, (SiteFilter{0x5, 0x7}));
}

TEST(Retain, KeepsSurvivorsInOrderWithoutReallocating) {
  std::vector<Divergence> divergences = {
      divergence(9, 0x1, {BranchKind{0, 1}}), divergence(2, 0x2, {ValueKind{1, 2}}),
      divergence(9, 0x3, {ValueKind{3, 4}}),  divergence(4, 0x1, {BranchKind{1, 0}}),
      divergence(9, 0x1, {PathKind{1, 5}}),   divergence(9, 0x2, {BranchKind{1, 0}}),
  };
  const Divergence* storage = divergences.data();
  retain_by_warp(divergences, parse_warp_filter("9"));
  ASSERT_EQ(divergences.size(), 4u);
  EXPECT_EQ(divergences.data(), storage);
  retain_by_kind(divergences, parse_kind_filter("branch,path"));
  retain_by_site(divergences, parse_site_filter("1,2"));
  const std::vector<Divergence> expected = {
      divergence(9, 0x1, {BranchKind{0, 1}}),
      divergence(9, 0x1, {PathKind{1, 5}}),
      divergence(9, 0x2, {BranchKind{1, 0}}),
  };
  EXPECT_EQ(divergences, expected);
}

TEST(Retain, FilterWithNoKeyRemovesEverything) {
  for (const std::string text : {"", "abc", ",,"}) {
    auto by_warp = one_of_each_kind();
    retain_by_warp(by_warp, parse_warp_filter(text));
    EXPECT_TRUE(by_warp.empty()) << text;
    auto by_kind = one_of_each_kind();
    retain_by_kind(by_kind, parse_kind_filter(text));
    EXPECT_TRUE(by_kind.empty()) << text;
    auto by_site = one_of_each_kind();
    retain_by_site(by_site, parse_site_filter(text));
    EXPECT_TRUE(by_site.empty()) << text;
  }
  std::vector<Divergence> none;
  retain_by_warp(none, parse_warp_filter("0-10"));
  retain_by_kind(none, parse_kind_filter("branch"));
  retain_by_site(none, parse_site_filter("10"));
  EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace vemo::testing
