#include "compare/classifier.hpp"

#include <algorithm>
#include <numeric>
#include <unordered_set>

namespace vemo {

namespace {

constexpr std::size_t NEAR_SYNC_WINDOW = 3;
constexpr std::array<EventType, 3> SYNC_EVENT_TYPES = {EventType::SharedMemoryStore,
                                                       EventType::Atomic, EventType::GlobalStore};
constexpr double DOMINANT_KIND_RATIO = 0.8;
constexpr double FEW_WARPS_RATIO = 0.5;
constexpr double MANY_WARPS_RATIO = 0.7;
constexpr double ULP_CLOSE = 100.0;
constexpr double ULP_NEAR = 10000.0;

constexpr std::uint32_t FLOAT_SIGN_BIT = 0x80000000;
constexpr std::uint32_t FLOAT_EXPONENT_BITS = 0x7f800000;

constexpr std::array<std::string_view, ROOT_CAUSE_COUNT> ROOT_CAUSE_NAMES = {
    "Race Condition", "Floating-Point Precision", "Algorithmic Bug", "Memory Ordering",
    "Loop Bound Difference"};

constexpr std::array<std::string_view, ROOT_CAUSE_COUNT> ROOT_CAUSE_EXPLANATIONS = {
    "Non-deterministic divergence at or near atomic/shared-memory sites. The kernel likely has a "
    "data race.",
    "Value divergences with small ULP distance, possibly at float comparison sites. Different "
    "rounding or FMA contraction may cause branch divergence.",
    "Consistent path divergences across warps, indicating a deterministic control flow "
    "difference (wrong algorithm, off-by-one, etc.).",
    "Active mask divergences correlated with atomic or shared memory operations. Threads may see "
    "values in different orders.",
    "One trace has extra events (different iteration counts). Loop bounds or recursion depth "
    "differ between the two executions."};

using SiteGroup = std::vector<const Divergence*>;

bool is_finite_float(std::uint32_t bits) {
  return (bits & FLOAT_EXPONENT_BITS) != FLOAT_EXPONENT_BITS;
}

// Adjacent floats map to adjacent integers, and +0 and -0 both to 0.
std::int64_t float_ordinal(std::uint32_t bits) {
  const std::int64_t magnitude = bits & ~FLOAT_SIGN_BIT;
  return (bits & FLOAT_SIGN_BIT) != 0 ? -magnitude : magnitude;
}

std::optional<double> mean_ulp(const SiteGroup& group) {
  std::uint64_t sum = 0;
  std::uint64_t count = 0;
  for (const Divergence* divergence : group) {
    const auto* value = divergence->kind.get<ValueKind>();
    if (value == nullptr) continue;
    if (const auto distance = ulp_distance(value->val_a, value->val_b)) {
      sum += *distance;
      ++count;
    }
  }
  if (count == 0) return std::nullopt;
  return static_cast<double>(sum) / static_cast<double>(count);
}

std::uint64_t distinct_warps(const SiteGroup& group) {
  std::unordered_set<std::uint32_t> warps;
  for (const Divergence* divergence : group) warps.insert(divergence->warp_idx);
  return warps.size();
}

bool has_float_compare(const SiteGroup& group) {
  return std::any_of(group.begin(), group.end(), [](const Divergence* divergence) {
    return divergence->snapshot && divergence->snapshot->predicate < FLOAT_PREDICATE_LIMIT;
  });
}

bool is_dominated(const SiteStats& stats) {
  if (stats.distinct_warps < 2) return false;
  std::uint64_t largest = 0;
  for (const auto& [kind, count] : stats.kind_counts) largest = std::max(largest, count);
  return static_cast<double>(largest) / static_cast<double>(stats.n_divergences) >
         DOMINANT_KIND_RATIO;
}

bool is_sync_site(const SiteMap* site_map, std::uint32_t site_id) {
  const SourceLocation* location = find_location(site_map, site_id);
  return location != nullptr &&
         std::any_of(SYNC_EVENT_TYPES.begin(), SYNC_EVENT_TYPES.end(), [&](EventType type) {
           return location->event_type == static_cast<std::uint8_t>(type);
         });
}

// The site at `position` or one within the window around it in the site list synchronises.
bool is_near_sync(const std::vector<bool>& sync_sites, std::size_t position) {
  const std::size_t first = position > NEAR_SYNC_WINDOW ? position - NEAR_SYNC_WINDOW : 0;
  const std::size_t last = std::min(position + NEAR_SYNC_WINDOW, sync_sites.size() - 1);
  for (std::size_t neighbour = first; neighbour <= last; ++neighbour) {
    if (sync_sites[neighbour]) return true;
  }
  return false;
}

SiteStats site_stats(std::uint32_t site_id, const SiteGroup& group, const DiffResult& result,
                     const SiteMap* site_map) {
  SiteStats stats;
  stats.mean_ulp = mean_ulp(group);
  stats.kind_counts = count_by_kind(group);
  stats.n_divergences = group.size();
  stats.distinct_warps = distinct_warps(group);
  stats.total_warps = result.total_warps;
  stats.site_id = site_id;
  if (const SourceLocation* location = find_location(site_map, site_id))
    stats.site_event_type = location->event_type;
  stats.float_compare = has_float_compare(group);
  stats.dominant_kind = is_dominated(stats);
  return stats;
}

// Scoring helpers.

bool has(const SiteStats& stats, std::string_view kind) {
  return std::any_of(stats.kind_counts.begin(), stats.kind_counts.end(),
                     [&](const auto& entry) { return entry.first == kind; });
}

std::optional<double> warp_share(const SiteStats& stats) {
  if (stats.total_warps == 0) return std::nullopt;
  return static_cast<double>(stats.distinct_warps) / static_cast<double>(stats.total_warps);
}

bool is_event_type(const SiteStats& stats, EventType type) {
  return stats.site_event_type == static_cast<std::uint8_t>(type);
}

// Global stores synchronise neighbours but earn no bonus of their own here.
bool is_shared_or_atomic(const SiteStats& stats) {
  return is_event_type(stats, EventType::SharedMemoryStore) ||
         is_event_type(stats, EventType::Atomic);
}

double race_condition_score(const SiteStats& stats) {
  const auto share = warp_share(stats);
  double score = 0.0;
  if (stats.near_sync) score += 3.0;
  if (is_shared_or_atomic(stats)) score += 3.0;
  if (has(stats, "Branch") && has(stats, "Value")) score += 1.5;
  if (share && *share < FEW_WARPS_RATIO) score += 1.0;
  if (stats.distinct_warps >= 2 && !stats.dominant_kind) score += 1.5;
  return score;
}

double floating_point_score(const SiteStats& stats) {
  double score = 0.0;
  if (stats.float_compare) score += 3.0;
  if (stats.mean_ulp && *stats.mean_ulp < ULP_CLOSE) score += 2.5;
  if (stats.mean_ulp && *stats.mean_ulp >= ULP_CLOSE && *stats.mean_ulp < ULP_NEAR) score += 1.0;
  if (has(stats, "Value") && !has(stats, "Path")) score += 1.0;
  if (has(stats, "Branch") && stats.float_compare) score += 1.5;
  return score;
}

double algorithmic_bug_score(const SiteStats& stats) {
  const bool path = has(stats, "Path");
  const auto share = warp_share(stats);
  double score = 0.0;
  if (stats.dominant_kind) score += path ? 5.0 : 2.0;
  if (!stats.dominant_kind && path) score += 3.0;
  if (share && *share > MANY_WARPS_RATIO) score += 1.5;
  if (has(stats, "Branch") && stats.dominant_kind) score += 1.0;
  return score;
}

double memory_ordering_score(const SiteStats& stats) {
  if (!has(stats, "ActiveMask")) return 0.0;
  double score = 0.0;
  if (stats.near_sync) score += 2.5;
  if (is_shared_or_atomic(stats)) score += 2.5;
  if (!has(stats, "Branch") && !has(stats, "Path")) score += 1.5;
  return score;
}

double loop_bound_score(const SiteStats& stats) {
  if (!has(stats, "ExtraEvents")) return 0.0;
  double score = stats.dominant_kind ? 5.0 : 3.5;
  if (is_event_type(stats, EventType::Branch)) score += 1.0;
  return score;
}

std::optional<SiteClassification> classify_site(const SiteStats& stats) {
  const auto scores = root_cause_scores(stats);
  const double sum = std::accumulate(scores.begin(), scores.end(), 0.0);
  if (!(sum > 0.0)) return std::nullopt;
  SiteClassification classification;
  classification.site_id = stats.site_id;
  classification.root_cause = winning_cause(scores);
  classification.confidence = scores[static_cast<std::size_t>(classification.root_cause)] / sum;
  for (std::size_t cause = 0; cause < scores.size(); ++cause)
    classification.scores[cause] = {static_cast<RootCause>(cause), scores[cause]};
  return classification;
}

}  // namespace

std::string_view root_cause_name(RootCause cause) {
  return ROOT_CAUSE_NAMES[static_cast<std::size_t>(cause)];
}

std::string_view root_cause_explanation(RootCause cause) {
  return ROOT_CAUSE_EXPLANATIONS[static_cast<std::size_t>(cause)];
}

std::optional<std::uint64_t> ulp_distance(std::uint32_t a, std::uint32_t b) {
  if (!is_finite_float(a) || !is_finite_float(b)) return std::nullopt;
  const std::int64_t difference = float_ordinal(a) - float_ordinal(b);
  return static_cast<std::uint64_t>(difference < 0 ? -difference : difference);
}

std::vector<SiteStats> collect_site_stats(const DiffResult& result, const SiteMap* site_map) {
  const auto groups = group_by_site(result.divergences);
  std::vector<SiteStats> stats;
  std::vector<bool> sync_sites;
  stats.reserve(groups.size());
  sync_sites.reserve(groups.size());
  for (const auto& [site_id, group] : groups) {
    stats.push_back(site_stats(site_id, group, result, site_map));
    sync_sites.push_back(is_sync_site(site_map, site_id));
  }
  if (site_map != nullptr) {
    for (std::size_t position = 0; position < stats.size(); ++position)
      stats[position].near_sync = is_near_sync(sync_sites, position);
  }
  return stats;
}

std::array<double, ROOT_CAUSE_COUNT> root_cause_scores(const SiteStats& stats) {
  return {race_condition_score(stats), floating_point_score(stats), algorithmic_bug_score(stats),
          memory_ordering_score(stats), loop_bound_score(stats)};
}

RootCause winning_cause(const std::array<double, ROOT_CAUSE_COUNT>& scores) {
  std::size_t winner = 0;
  for (std::size_t cause = 1; cause < scores.size(); ++cause) {
    if (scores[cause] >= scores[winner]) winner = cause;
  }
  return static_cast<RootCause>(winner);
}

ClassificationReport classify_root_causes(const DiffResult& result, const SiteMap* site_map) {
  ClassificationReport report;
  std::array<std::uint64_t, ROOT_CAUSE_COUNT> wins{};
  for (const SiteStats& stats : collect_site_stats(result, site_map)) {
    auto classification = classify_site(stats);
    if (!classification) continue;
    ++wins[static_cast<std::size_t>(classification->root_cause)];
    report.classifications.push_back(*classification);
  }
  std::stable_sort(report.classifications.begin(), report.classifications.end(),
                   [](const SiteClassification& a, const SiteClassification& b) {
                     return a.confidence > b.confidence;
                   });
  for (std::size_t cause = 0; cause < wins.size(); ++cause) {
    if (wins[cause] != 0)
      report.category_counts.emplace_back(static_cast<RootCause>(cause), wins[cause]);
  }
  return report;
}

}  // namespace vemo
