#include "core/worker_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <vector>

namespace vemo {
namespace {

// Nested work as the loaders hand it over: two sides side by side, each a loop whose runs
// hand over loops again.
std::vector<std::uint64_t> nested_sums(WorkerPool& pool) {
  std::vector<std::uint64_t> sums(2 * 64);
  const auto side = [&](std::size_t base) {
    pool.for_each(64, [&](std::size_t k) {
      std::vector<std::uint64_t> parts(16);
      pool.for_each(parts.size(), [&](std::size_t part) { parts[part] = (base + k) * part; });
      sums[base + k] = std::accumulate(parts.begin(), parts.end(), std::uint64_t{0});
    });
  };
  pool.invoke([&] { side(0); }, [&] { side(64); });
  return sums;
}

TEST(WorkerPool, ThreadsThatCannotStartLeaveASmallerPoolWithTheSameResults) {
  WorkerPool alone(1);
  const std::vector<std::uint64_t> expected = nested_sums(alone);
  EXPECT_EQ(alone.concurrency(), 1u);
  // The creation that fails: the first (the calling thread alone), the second, ..., none.
  for (const std::uint32_t may_start : {0u, 1u, 2u, 3u, 5u, 7u, 100u}) {
    WorkerPool pool(8, may_start);
    EXPECT_EQ(pool.concurrency(), std::min(may_start, 7u) + 1) << may_start;
    for (int round = 0; round < 20; ++round) {
      ASSERT_EQ(nested_sums(pool), expected) << may_start << " round " << round;
    }
  }
}

TEST(WorkerPool, PoolsEndCleanlyWhetherUsedOrNot) {
  for (const std::uint32_t may_start : {0u, 1u, 3u}) {
    WorkerPool unused(4, may_start);
  }
  WorkerPool used(4, 2);
  std::atomic<int> runs{0};
  used.for_each(1000, [&](std::size_t) { ++runs; });
  EXPECT_EQ(runs, 1000);
}

TEST(WorkerPool, TheFirstExceptionOfARunReachesTheCaller) {
  for (const std::uint32_t may_start : {0u, 3u}) {
    WorkerPool pool(4, may_start);
    std::atomic<int> runs{0};
    EXPECT_THROW(pool.for_each(10000,
                               [&](std::size_t k) {
                                 ++runs;
                                 if (k == 10) throw std::runtime_error("run 10");
                               }),
                 std::runtime_error)
        << may_start;
    EXPECT_LT(runs, 10000) << may_start;  // the runs not begun were skipped
    // And the pool still works.
    std::vector<int> done(100);
    pool.for_each(done.size(), [&](std::size_t k) { done[k] = 1; });
    EXPECT_EQ(std::accumulate(done.begin(), done.end(), 0), 100) << may_start;
  }
}

}  // namespace
}  // namespace vemo
