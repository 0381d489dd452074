#pragma once
// The records of a comparison: settings, divergences, results, and summaries over them.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/heap_optional.hpp"
#include "trace/trace_file.hpp"

namespace vemo {

struct CompareConfig {
  std::uint64_t max_divergences = 0;
  std::uint64_t lookahead = 32;
  bool compare_values = false;
  bool skip_kernel_name_check = false;
  bool continue_after_path = false;
  bool cross_gpu = false;
};

enum class TraceSide : std::uint8_t { A, B };
inline std::string_view trace_side_name(TraceSide side) {
  return side == TraceSide::A ? "A" : "B";
}

struct BranchKind {
  std::uint8_t dir_a;
  std::uint8_t dir_b;
  bool operator==(const BranchKind&) const = default;
};
struct ActiveMaskKind {
  std::uint32_t mask_a;
  std::uint32_t mask_b;
  bool operator==(const ActiveMaskKind&) const = default;
};
struct ValueKind {
  std::uint32_t val_a;
  std::uint32_t val_b;
  bool operator==(const ValueKind&) const = default;
};
struct PathKind {
  std::uint32_t site_a;
  std::uint32_t site_b;
  bool operator==(const PathKind&) const = default;
};
struct ExtraEventsKind {
  std::uint64_t count;
  TraceSide in_trace;
  bool operator==(const ExtraEventsKind&) const = default;
};

// What differs, with the values of both traces; the alternatives in declaration order.
struct DivergenceKind {
  std::variant<BranchKind, ActiveMaskKind, ValueKind, PathKind, ExtraEventsKind> value;

  // "Branch", "ActiveMask", "Value", "Path", "ExtraEvents".
  std::string_view name() const;
  // "branch", "activemask", "value", "path", "extraevents".
  std::string_view lower_name() const;
  template <class K>
  const K* get() const {
    return std::get_if<K>(&value);
  }
  bool operator==(const DivergenceKind&) const = default;
};

inline constexpr std::array<std::string_view, 5> DIVERGENCE_KIND_NAMES = {
    "Branch", "ActiveMask", "Value", "Path", "ExtraEvents"};

struct SnapshotPair {
  std::array<std::uint32_t, SNAPSHOT_LANES> lhs_a{};
  std::array<std::uint32_t, SNAPSHOT_LANES> rhs_a{};
  std::array<std::uint32_t, SNAPSHOT_LANES> lhs_b{};
  std::array<std::uint32_t, SNAPSHOT_LANES> rhs_b{};
  std::uint32_t predicate = 0;
  std::uint32_t lane_mask_a = 0;
  std::uint32_t lane_mask_b = 0;
  bool operator==(const SnapshotPair&) const = default;
};

// Comparisons make millions of these, and few carry a snapshot: it is kept out of line.
struct Divergence {
  std::uint32_t warp_idx = 0;
  std::uint64_t event_idx = 0;
  std::uint32_t site_id = 0;
  DivergenceKind kind;
  HeapOptional<SnapshotPair> snapshot;
  bool operator==(const Divergence&) const = default;
};

class GpuArch {
 public:
  enum class Vendor { Unknown, Nvidia, Amd };
  static constexpr std::uint32_t AMD_ARCH_MIN = 4096;

  static GpuArch from_cuda_arch(std::uint32_t cuda_arch);
  Vendor vendor() const { return vendor_; }
  std::uint32_t value() const { return value_; }
  // "NVIDIA SM_{}", "AMD gfx{}" or "Unknown({})".
  std::string text() const;
  std::uint32_t warp_size() const { return vendor_ == Vendor::Amd ? 64 : 32; }
  bool operator==(const GpuArch&) const = default;

 private:
  Vendor vendor_ = Vendor::Unknown;
  std::uint32_t value_ = 0;
};

struct CrossGpuInfo {
  GpuArch arch_a;
  GpuArch arch_b;
  std::uint32_t warp_size_a = 32;
  std::uint32_t warp_size_b = 32;
  std::array<std::uint32_t, 3> grid_a{};
  std::array<std::uint32_t, 3> grid_b{};
  std::array<std::uint32_t, 3> block_a{};
  std::array<std::uint32_t, 3> block_b{};
};

struct DiffResult {
  std::vector<Divergence> divergences;
  std::uint64_t total_warps = 0;
  std::uint64_t warps_compared = 0;
  std::uint64_t warps_diverged = 0;
  std::uint64_t total_events_a = 0;
  std::uint64_t total_events_b = 0;
  std::optional<CrossGpuInfo> cross_gpu;
};

// Kind name -> number of divergences of that kind; kinds in declaration order, absent kinds
// left out.
std::vector<std::pair<std::string_view, std::uint64_t>> count_by_kind(
    const std::vector<Divergence>& divergences);
// The same over a group of divergences, such as one site's.
std::vector<std::pair<std::string_view, std::uint64_t>> count_by_kind(
    const std::vector<const Divergence*>& divergences);

// Site id -> the divergences at that site, in list order; sites ascending.
std::map<std::uint32_t, std::vector<const Divergence*>> group_by_site(
    const std::vector<Divergence>& divergences);

// "[x, y, z]".
std::string dims_text(const std::array<std::uint32_t, 3>& dims);

}  // namespace vemo
