#include "compare/records.hpp"

#include <gtest/gtest.h>

namespace vemo {
namespace {

Divergence at_site(std::uint32_t site, DivergenceKind kind, std::uint64_t event_idx = 0) {
  return Divergence{.event_idx = event_idx, .site_id = site, .kind = kind, .snapshot = {}};
}

TEST(GpuArch, VendorTextAndWarpSizeFollowTheArchValue) {
  struct Case {
    std::uint32_t cuda_arch;
    GpuArch::Vendor vendor;
    const char* text;
    std::uint32_t warp_size;
  };
  const Case cases[] = {
      {0, GpuArch::Vendor::Unknown, "Unknown(0)", 32},
      {1, GpuArch::Vendor::Nvidia, "NVIDIA SM_1", 32},
      {86, GpuArch::Vendor::Nvidia, "NVIDIA SM_86", 32},
      {4095, GpuArch::Vendor::Nvidia, "NVIDIA SM_4095", 32},
      {4096, GpuArch::Vendor::Amd, "AMD gfx4096", 64},
      {0xffffffff, GpuArch::Vendor::Amd, "AMD gfx4294967295", 64},
  };
  for (const Case& c : cases) {
    const GpuArch arch = GpuArch::from_cuda_arch(c.cuda_arch);
    EXPECT_EQ(arch.vendor(), c.vendor) << c.cuda_arch;
    EXPECT_EQ(arch.value(), c.cuda_arch);
    EXPECT_EQ(arch.text(), c.text);
    EXPECT_EQ(arch.warp_size(), c.warp_size) << c.cuda_arch;
  }
}

TEST(DivergenceKind, NamesFollowTheVariant) {
  const std::vector<std::pair<DivergenceKind, std::pair<std::string_view, std::string_view>>>
      cases = {
          {{BranchKind{0, 1}}, {"Branch", "branch"}},
          {{ActiveMaskKind{1, 3}}, {"ActiveMask", "activemask"}},
          {{ValueKind{1, 2}}, {"Value", "value"}},
          {{PathKind{1, 2}}, {"Path", "path"}},
          {{ExtraEventsKind{1, TraceSide::B}}, {"ExtraEvents", "extraevents"}},
      };
  for (const auto& [kind, names] : cases) {
    EXPECT_EQ(kind.name(), names.first);
    EXPECT_EQ(kind.lower_name(), names.second);
  }
}

TEST(Summaries, EmptyListGivesEmptyMaps) {
  EXPECT_TRUE(count_by_kind(std::vector<Divergence>{}).empty());
  EXPECT_TRUE(group_by_site({}).empty());
}

TEST(Summaries, CountByKindListsPresentKindsInDeclarationOrder) {
  const std::vector<Divergence> list = {at_site(1, {ExtraEventsKind{2, TraceSide::A}}),
                                        at_site(1, {BranchKind{0, 1}}),
                                        at_site(2, {ValueKind{1, 2}}),
                                        at_site(3, {BranchKind{1, 0}}),
                                        at_site(4, {ExtraEventsKind{1, TraceSide::B}}),
                                        at_site(4, {BranchKind{1, 0}})};
  const std::vector<std::pair<std::string_view, std::uint64_t>> expected = {
      {"Branch", 3}, {"Value", 1}, {"ExtraEvents", 2}};
  EXPECT_EQ(count_by_kind(list), expected);
}

TEST(Summaries, GroupBySiteKeepsListOrderWithinASite) {
  const std::vector<Divergence> list = {
      at_site(0x20, {PathKind{0x20, 1}}, 9), at_site(0x10, {BranchKind{0, 1}}, 1),
      at_site(0x10, {ActiveMaskKind{1, 2}}, 2), at_site(0x10, {ValueKind{3, 4}}, 3)};
  const auto groups = group_by_site(list);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups.begin()->first, 0x10u);
  const std::vector<const Divergence*> group_10 = {&list[1], &list[2], &list[3]};
  EXPECT_EQ(groups.at(0x10), group_10);
  EXPECT_EQ(groups.at(0x20), std::vector<const Divergence*>{&list[0]});
}

TEST(Summaries, DimsText) {
  EXPECT_EQ(dims_text({64, 1, 1}), "[64, 1, 1]");
  EXPECT_EQ(dims_text({0, 4294967295u, 7}), "[0, 4294967295, 7]");
}

}  // namespace
}  // namespace vemo
