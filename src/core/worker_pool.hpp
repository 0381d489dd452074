#pragma once
// A pool of worker threads that share work with the thread that hands it over. A thread that
// cannot be created (a pids or process limit, no address space for its stack) leaves the pool
// smaller, down to the calling thread alone: all work still runs, with the same results.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace vemo {

class WorkerPool {
 public:
  // Work runs on the calling thread and on up to `concurrency - 1` threads of the pool's own,
  // started here. At most `may_start` of them are started: the next creation counts as failed.
  explicit WorkerPool(std::uint32_t concurrency, std::uint32_t may_start = UINT32_MAX);
  // Ends and joins every thread the pool started; no work may be running.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The threads that run work: the pool's own and the caller.
  std::uint32_t concurrency() const { return static_cast<std::uint32_t>(threads_.size()) + 1; }

  // Runs `run(k)` for every k below `count` on the pool's threads and the calling thread, and
  // returns once all have ended; runs are claimed in the order of k, a few at a time. Calls
  // nest: a run may hand work to the pool again. When a run throws, the runs not begun by then
  // are skipped and the first exception is rethrown here.
  template <class Run>
  void for_each(std::size_t count, Run&& run) {
    if (threads_.empty() || count < 2) {
      for (std::size_t k = 0; k < count; ++k) run(k);
      return;
    }
    using Target = std::remove_reference_t<Run>;
    Batch batch(
        count, [](void* context, std::size_t k) { (*static_cast<Target*>(context))(k); },
        const_cast<void*>(static_cast<const void*>(&run)));
    run_batch(batch);
  }

  // Runs `first` and `second`, side by side where a thread is free: the calling thread starts
  // with `first`, and runs `second` after it when no pool thread has taken it by then.
  template <class First, class Second>
  void invoke(First&& first, Second&& second) {
    for_each(2, [&](std::size_t k) {
      if (k == 0) {
        first();
      } else {
        second();
      }
    });
  }

 private:
  // One call of for_each, on the stack of its caller.
  struct Batch {
    Batch(std::size_t count, void (*call)(void*, std::size_t), void* context)
        : count(count), call(call), context(context) {}
    const std::size_t count;
    std::size_t grain = 1;  // runs claimed at a time
    void (*const call)(void*, std::size_t);
    void* const context;
    std::atomic<std::size_t> next{0};  // the next run to claim
    std::size_t helpers = 0;           // other threads inside it (under mutex_)
    std::exception_ptr failure;        // the first exception of a run (under mutex_)
  };

  void run_batch(Batch& batch);
  bool take_claim(Batch& batch);
  Batch* open_batch() const;
  void help_until_done(std::unique_lock<std::mutex>& lock, const Batch* waited_for);
  void wait_for_change(std::unique_lock<std::mutex>& lock, const Batch* waited_for);
  bool done(const Batch* waited_for) const;

  std::mutex mutex_;
  // A batch handed over, a thread leaving a batch, or the pool stopping.
  std::condition_variable changed_;
  std::atomic<std::uint64_t> changes_{0};  // how often it has changed
  std::vector<Batch*> batches_;            // handed over and not yet ended (under mutex_)
  bool stopping_ = false;                  // (under mutex_)
  std::vector<std::thread> threads_;
};

// A pool of the calling thread alone.
WorkerPool& calling_thread_pool();

// [0, count) cut into at most `most` blocks of consecutive indices, of at least `least` indices
// each, all of one size but the last. The cut depends on the count alone, never on the pool, so
// per-block results combine the same way whatever the number of threads.
class IndexBlocks {
 public:
  IndexBlocks(std::size_t count, std::size_t most, std::size_t least = 1)
      : count_(count),
        size_(std::max({least, std::size_t{1}, most == 0 ? count : (count + most - 1) / most})) {}

  std::size_t count() const { return (count_ + size_ - 1) / size_; }
  std::size_t first(std::size_t block) const { return block * size_; }
  std::size_t end(std::size_t block) const { return std::min(count_, (block + 1) * size_); }

  // Runs `run(block, first, end)` for every block, on `workers`.
  template <class Run>
  void for_each(WorkerPool& workers, Run&& run) const {
    workers.for_each(count(), [&](std::size_t block) { run(block, first(block), end(block)); });
  }

 private:
  std::size_t count_;
  std::size_t size_;
};

}  // namespace vemo
