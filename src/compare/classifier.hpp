#pragma once
// Root-cause classification of the sites at which divergences were found.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "compare/records.hpp"
#include "trace/site_map.hpp"

namespace vemo {

enum class RootCause : std::uint8_t {
  RaceCondition = 0,
  FloatingPointPrecision = 1,
  AlgorithmicBug = 2,
  MemoryOrdering = 3,
  LoopBoundDifference = 4,
};
inline constexpr std::size_t ROOT_CAUSE_COUNT = 5;

std::string_view root_cause_name(RootCause cause);
std::string_view root_cause_explanation(RootCause cause);

struct SiteStats {
  std::optional<double> mean_ulp;
  std::vector<std::pair<std::string_view, std::uint64_t>> kind_counts;
  std::uint64_t n_divergences = 0;
  std::uint64_t distinct_warps = 0;
  std::uint64_t total_warps = 0;
  std::uint32_t site_id = 0;
  std::optional<std::uint8_t> site_event_type;
  bool near_sync = false;
  bool float_compare = false;
  bool dominant_kind = false;
};

struct SiteClassification {
  std::uint32_t site_id = 0;
  RootCause root_cause = RootCause::RaceCondition;
  double confidence = 0.0;
  std::array<std::pair<RootCause, double>, ROOT_CAUSE_COUNT> scores{};
};

struct ClassificationReport {
  std::vector<SiteClassification> classifications;
  // Sites won per category, categories in their order, categories that won none left out.
  std::vector<std::pair<RootCause, std::uint64_t>> category_counts;
};

// `site_map` may be null.
ClassificationReport classify_root_causes(const DiffResult& result, const SiteMap* site_map);

// The building blocks of the classification, exposed for testing.

// ULP distance of two single-precision bit patterns; nothing when either is a NaN or infinite.
std::optional<std::uint64_t> ulp_distance(std::uint32_t a, std::uint32_t b);
// One entry per site, sites ascending.
std::vector<SiteStats> collect_site_stats(const DiffResult& result, const SiteMap* site_map);
// The five scores in category order.
std::array<double, ROOT_CAUSE_COUNT> root_cause_scores(const SiteStats& stats);
// The category of the highest score; among equal ones the latest in category order.
RootCause winning_cause(const std::array<double, ROOT_CAUSE_COUNT>& scores);

}  // namespace vemo
