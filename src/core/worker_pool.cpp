#include "core/worker_pool.hpp"

#include <algorithm>
#include <chrono>
#include <new>
#include <system_error>

namespace vemo {

WorkerPool::WorkerPool(std::uint32_t concurrency, std::uint32_t may_start) {
  const std::uint32_t wanted = std::min(std::max(concurrency, 1u) - 1, may_start);
  threads_.reserve(wanted);
  for (std::uint32_t k = 0; k < wanted; ++k) {
    try {
      threads_.emplace_back([this] {
        std::unique_lock lock(mutex_);
        help_until_done(lock, nullptr);
      });
    } catch (const std::system_error&) {
      break;  // the threads started so far do the work
    } catch (const std::bad_alloc&) {
      break;
    }
  }
}

WorkerPool::~WorkerPool() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    ++changes_;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

namespace {

// Claims per thread that a batch is cut into: few enough that claiming costs nothing next to
// the runs, enough that threads finish close together.
constexpr std::size_t CLAIMS_PER_THREAD = 16;
// How long a thread with nothing to claim watches for a change before it sleeps: batches often
// come in quick succession, and waking a sleeping thread takes longer than that.
constexpr auto IDLE_SPIN = std::chrono::microseconds(100);

// Tells the CPU that this thread only waits.
void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

}  // namespace

void WorkerPool::run_batch(Batch& batch) {
  batch.grain = std::max<std::size_t>(1, batch.count / (concurrency() * CLAIMS_PER_THREAD));
  {
    const std::lock_guard lock(mutex_);
    batches_.push_back(&batch);
    ++changes_;
  }
  changed_.notify_all();
  while (take_claim(batch)) {
  }
  std::unique_lock lock(mutex_);
  // No thread joins it from here on, so once the helpers inside have left, every run has ended.
  // Until then this thread helps with other batches, as a pool thread would.
  std::erase(batches_, &batch);
  help_until_done(lock, &batch);
  if (batch.failure) std::rethrow_exception(batch.failure);
}

// Claims the next `grain` runs of `batch` and runs them; false when none were left.
bool WorkerPool::take_claim(Batch& batch) {
  const std::size_t first = batch.next.fetch_add(batch.grain);
  if (first >= batch.count) return false;
  const std::size_t end = std::min(batch.count, first + batch.grain);
  try {
    for (std::size_t k = first; k < end; ++k) batch.call(batch.context, k);
  } catch (...) {
    const std::lock_guard lock(mutex_);
    if (!batch.failure) batch.failure = std::current_exception();
    batch.next = batch.count;
  }
  return true;
}

// The handed-over batch with runs left to claim that the fewest other threads work on, so that
// nested batches share the threads.
WorkerPool::Batch* WorkerPool::open_batch() const {
  Batch* chosen = nullptr;
  for (Batch* batch : batches_) {
    if (batch->next.load() >= batch->count) continue;
    if (chosen == nullptr || batch->helpers < chosen->helpers) chosen = batch;
  }
  return chosen;
}

// A pool thread is done when the pool stops; a caller when the helpers of its batch have left.
bool WorkerPool::done(const Batch* waited_for) const {
  return waited_for != nullptr ? waited_for->helpers == 0 : stopping_;
}

// Takes claims of open batches one at a time, choosing again after each (a batch handed over
// meanwhile, nested in a run under way, gets its share of the threads), until done.
void WorkerPool::help_until_done(std::unique_lock<std::mutex>& lock, const Batch* waited_for) {
  while (!done(waited_for)) {
    Batch* const batch = open_batch();
    if (batch == nullptr) {
      wait_for_change(lock, waited_for);
      continue;
    }
    ++batch->helpers;
    lock.unlock();
    take_claim(*batch);
    lock.lock();
    if (--batch->helpers == 0) {
      ++changes_;
      changed_.notify_all();
    }
  }
}

// Watches for a change for a short while, then sleeps until one comes. Runs are claimed without
// the lock, so what was open may be used up the next moment: the caller looks again.
void WorkerPool::wait_for_change(std::unique_lock<std::mutex>& lock, const Batch* waited_for) {
  const std::uint64_t seen = changes_.load();
  lock.unlock();
  const auto until = std::chrono::steady_clock::now() + IDLE_SPIN;
  while (changes_.load(std::memory_order_relaxed) == seen &&
         std::chrono::steady_clock::now() < until) {
    relax();
  }
  lock.lock();
  changed_.wait(lock, [&] { return changes_.load() != seen || done(waited_for); });
}

WorkerPool& calling_thread_pool() {
  static WorkerPool pool(1);
  return pool;
}

}  // namespace vemo
