// Times the comparison alone: loads two traces once, then runs compare_traces REPEATS times and
// prints the fastest run. Run it under `taskset -c 0` to get a one-worker pool.
// Usage: vemo_compare_bench FILE_A FILE_B [REPEATS]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <fmt/format.h>

#include "compare/traces.hpp"
#include "compare/workers.hpp"

namespace {

vemo::Trace load_or_exit(const char* path) {
  auto trace = vemo::load_trace(path);
  if (!trace) {
    fmt::print(stderr, "vemo_compare_bench: {}: {}\n", path, trace.error().message());
    std::exit(1);
  }
  return std::move(*trace);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fputs("usage: vemo_compare_bench FILE_A FILE_B [REPEATS]\n", stderr);
    return 2;
  }
  const int repeats = argc == 4 ? std::max(std::atoi(argv[3]), 1) : 5;
  const vemo::Trace a = load_or_exit(argv[1]);
  const vemo::Trace b = load_or_exit(argv[2]);
  double best = 1e300;
  std::size_t divergences = 0;
  for (int run = 0; run < repeats; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const auto result = vemo::compare_traces(a, b, vemo::CompareConfig{}, nullptr,
                                             [](std::string_view) {});  // no progress line
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!result) {
      fmt::print(stderr, "vemo_compare_bench: {}\n", result.error().message());
      return 1;
    }
    divergences = result->divergences.size();
    best = std::min(best, elapsed.count());
  }
  fmt::print("workers {} divergences {} seconds {:.6f}\n", vemo::comparison_worker_count(),
             divergences, best);
  return 0;
}
