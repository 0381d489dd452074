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
      threads_.emplace_back([this] { serve(); });
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
  }
  work_ready_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

namespace {

// Claims per thread that a batch is cut into: few enough that claiming costs nothing next to
// the runs, enough that threads finish close together.
constexpr std::size_t CLAIMS_PER_THREAD = 16;
// How long an idle thread watches for new work before it sleeps: a caller often hands over
// batches in quick succession, and waking a sleeping thread takes longer than that.
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
    ++handed_over_;
  }
  work_ready_.notify_all();
  while (take_claim(batch)) {
  }
  std::unique_lock lock(mutex_);
  // No thread joins it from here on, so once the helpers inside have left, every run has ended.
  std::erase(batches_, &batch);
  helper_left_.wait(lock, [&] { return batch.helpers == 0; });
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

// The handed-over batch with runs left to claim that the fewest pool threads work on, so that
// nested batches share the idle threads.
WorkerPool::Batch* WorkerPool::open_batch() const {
  Batch* chosen = nullptr;
  for (Batch* batch : batches_) {
    if (batch->next.load() >= batch->count) continue;
    if (chosen == nullptr || batch->helpers < chosen->helpers) chosen = batch;
  }
  return chosen;
}

// The batch to help with next, or null once the pool stops. Watches for a batch to be handed
// over for a short while, then sleeps until one is. Runs are claimed without the lock, so a
// batch found open may be used up the next moment: the one found is the one returned.
WorkerPool::Batch* WorkerPool::wait_for_work(std::unique_lock<std::mutex>& lock) {
  Batch* batch = nullptr;
  const auto ready = [&] { return stopping_ || (batch = open_batch()) != nullptr; };
  if (ready()) return stopping_ ? nullptr : batch;
  const std::uint64_t seen = handed_over_.load();
  lock.unlock();
  const auto until = std::chrono::steady_clock::now() + IDLE_SPIN;
  while (handed_over_.load(std::memory_order_relaxed) == seen &&
         std::chrono::steady_clock::now() < until) {
    relax();
  }
  lock.lock();
  work_ready_.wait(lock, ready);
  return stopping_ ? nullptr : batch;
}

void WorkerPool::serve() {
  std::unique_lock lock(mutex_);
  for (;;) {
    // One claim at a time, choosing again after each: a batch handed over meanwhile, nested
    // in a run that is under way, gets its share of the threads.
    Batch* const batch = wait_for_work(lock);
    if (batch == nullptr) return;
    ++batch->helpers;
    lock.unlock();
    take_claim(*batch);
    lock.lock();
    if (--batch->helpers == 0) helper_left_.notify_all();
  }
}

WorkerPool& calling_thread_pool() {
  static WorkerPool pool(1);
  return pool;
}

}  // namespace vemo
