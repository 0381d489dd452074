// Writes a large site map for the benchmarks: COUNT object-form records, one per line, with
// paths of about 40 characters (500 files) and mangled names of 25-40 characters (one function
// per 50 sites). Sites of the same function, event type and ordinal are the same site in every
// map; a SHIFT gives nine sites in ten another id, as a second build of the kernel would.
// Usage: vemo_gen_site_map PATH COUNT [SHIFT]

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fmt/format.h>

namespace {

constexpr std::uint64_t SITES_PER_FILE = 2000;
constexpr std::uint64_t SITES_PER_FUNCTION = 50;
constexpr std::uint64_t EVENT_TYPES = 12;

std::string filename(std::uint64_t site) {
  const std::uint64_t file = site / SITES_PER_FILE;
  return fmt::format("src/kernels/mod_{:03}/attention_fwd_{:04}.cu", file % 97, file);
}

std::string function(std::uint64_t site) {
  const std::uint64_t index = site / SITES_PER_FUNCTION;
  const std::string name = fmt::format("tile_kernel_{}{}", index, std::string(index % 8, 'x'));
  return fmt::format("_Z{}{}PfS_S_i", name.size(), name);
}

std::string record(std::uint64_t site, std::uint32_t shift) {
  const std::uint64_t id = site % 10 == 0 ? site : site + shift;
  return fmt::format(R"({{"site_id":{},"filename":"{}","function":"{}","line":{},"column":{},)"
                     R"("event_type":{},"ordinal":{}}})",
                     static_cast<std::uint32_t>(id), filename(site), function(site),
                     1 + site % SITES_PER_FILE * 3, 1 + site % 80, site % EVENT_TYPES,
                     site % SITES_PER_FUNCTION);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fputs("usage: vemo_gen_site_map PATH COUNT [SHIFT]\n", stderr);
    return 2;
  }
  const std::uint64_t count = std::strtoull(argv[2], nullptr, 10);
  const auto shift = static_cast<std::uint32_t>(argc == 4 ? std::strtoul(argv[3], nullptr, 0) : 0);
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fputs("[\n", out);
  for (std::uint64_t site = 0; site < count; ++site) {
    const std::string line = record(site, shift) + (site + 1 < count ? ",\n" : "\n");
    std::fwrite(line.data(), 1, line.size(), out);
  }
  std::fputs("]\n", out);
  return std::fclose(out) == 0 ? 0 : 1;
}
