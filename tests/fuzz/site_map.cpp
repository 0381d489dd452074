// The site-map reader and the remapper built from two maps: the input is map A, then map B.

#include "trace/site_map.hpp"
#include "fuzz_support.hpp"

namespace {

vemo::Result<vemo::SiteMap> load_part(std::string_view name, std::string_view text) {
  return vemo::load_site_map(vemo::fuzz::write_scratch_file(name, text));
}

void check_remapper(const vemo::SiteMap& a, const vemo::SiteMap& b) {
  const vemo::SiteRemapper remapper = vemo::build_site_remapper(a, b);
  for (const vemo::SourceLocation& location : b.locations()) {
    const std::uint32_t target = vemo::remap_site(remapper, location.site_id);
    // A remapped id always names a site of map A with the same key.
    if (target != location.site_id &&
        (a.find(target) == nullptr ||
         vemo::site_key(*a.find(target)) != vemo::site_key(location))) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = vemo::fuzz::split_parts({data, size}, 2);
  const auto map_a = load_part("a.json", parts[0]);
  const auto map_b = load_part("b.json", parts[1]);
  if (map_a) check_remapper(*map_a, *map_a);
  if (map_a && map_b) check_remapper(*map_a, *map_b);
  if (!map_b) (void)vemo::error_report(map_b.error().context("Failed to load remap-b: b.json"));
  return 0;
}
