#include "compare/records.hpp"

#include <unordered_map>

#include <fmt/format.h>

namespace vemo {

namespace {

constexpr std::array<std::string_view, 5> LOWER_KIND_NAMES = {"branch", "activemask", "value",
                                                              "path", "extraevents"};
static_assert(std::variant_size_v<decltype(DivergenceKind::value)> == DIVERGENCE_KIND_NAMES.size());
// A comparison can hold millions of divergences; keep the record small.
static_assert(sizeof(Divergence) <= 64);

}  // namespace

std::string_view DivergenceKind::name() const {
  return DIVERGENCE_KIND_NAMES[value.index()];
}

std::string_view DivergenceKind::lower_name() const {
  return LOWER_KIND_NAMES[value.index()];
}

GpuArch GpuArch::from_cuda_arch(std::uint32_t cuda_arch) {
  GpuArch arch;
  arch.value_ = cuda_arch;
  if (cuda_arch == 0) {
    arch.vendor_ = Vendor::Unknown;
  } else if (cuda_arch < AMD_ARCH_MIN) {
    arch.vendor_ = Vendor::Nvidia;
  } else {
    arch.vendor_ = Vendor::Amd;
  }
  return arch;
}

std::string GpuArch::text() const {
  switch (vendor_) {
    case Vendor::Nvidia:
      return fmt::format("NVIDIA SM_{}", value_);
    case Vendor::Amd:
      return fmt::format("AMD gfx{}", value_);
    case Vendor::Unknown:
      break;
  }
  return fmt::format("Unknown({})", value_);
}

namespace {

// Kind name -> count for a range of divergences, reached through `get`.
template <class Range, class Get>
std::vector<std::pair<std::string_view, std::uint64_t>> count_kinds(const Range& range, Get get) {
  std::array<std::uint64_t, DIVERGENCE_KIND_NAMES.size()> counts{};
  for (const auto& item : range) ++counts[get(item).kind.value.index()];
  std::vector<std::pair<std::string_view, std::uint64_t>> result;
  for (std::size_t kind = 0; kind < counts.size(); ++kind) {
    if (counts[kind] != 0) result.emplace_back(DIVERGENCE_KIND_NAMES[kind], counts[kind]);
  }
  return result;
}

}  // namespace

std::vector<std::pair<std::string_view, std::uint64_t>> count_by_kind(
    const std::vector<Divergence>& divergences) {
  return count_kinds(divergences, [](const Divergence& d) -> const Divergence& { return d; });
}

std::vector<std::pair<std::string_view, std::uint64_t>> count_by_kind(
    const std::vector<const Divergence*>& divergences) {
  return count_kinds(divergences, [](const Divergence* d) -> const Divergence& { return *d; });
}

std::map<std::uint32_t, std::vector<const Divergence*>> group_by_site(
    const std::vector<Divergence>& divergences) {
  // Sized first, so that each group is allocated once; the hash map finds a site's group
  // faster than the ordered one.
  std::unordered_map<std::uint32_t, std::size_t> sizes;
  for (const Divergence& divergence : divergences) ++sizes[divergence.site_id];
  std::map<std::uint32_t, std::vector<const Divergence*>> groups;
  std::unordered_map<std::uint32_t, std::vector<const Divergence*>*> group_of;
  group_of.reserve(sizes.size());
  for (const auto& [site_id, size] : sizes) {
    auto& group = groups[site_id];
    group.reserve(size);
    group_of.emplace(site_id, &group);
  }
  for (const Divergence& divergence : divergences) {
    group_of.at(divergence.site_id)->push_back(&divergence);
  }
  return groups;
}

std::string dims_text(const std::array<std::uint32_t, 3>& dims) {
  return fmt::format("[{}, {}, {}]", dims[0], dims[1], dims[2]);
}

}  // namespace vemo
