#include "core/worker_pool.hpp"

#include <algorithm>
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

void WorkerPool::run_batch(Batch& batch) {
  {
    const std::lock_guard lock(mutex_);
    batches_.push_back(&batch);
  }
  work_ready_.notify_all();
  take_runs(batch);
  std::unique_lock lock(mutex_);
  // No thread joins it from here on, so once the helpers inside have left, every run has ended.
  std::erase(batches_, &batch);
  helper_left_.wait(lock, [&] { return batch.helpers == 0; });
  if (batch.failure) std::rethrow_exception(batch.failure);
}

void WorkerPool::take_runs(Batch& batch) {
  for (std::size_t k = batch.next++; k < batch.count; k = batch.next++) {
    try {
      batch.call(batch.context, k);
    } catch (...) {
      const std::lock_guard lock(mutex_);
      if (!batch.failure) batch.failure = std::current_exception();
      batch.next = batch.count;
    }
  }
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

void WorkerPool::serve() {
  std::unique_lock lock(mutex_);
  for (;;) {
    Batch* batch = nullptr;
    work_ready_.wait(lock, [&] { return stopping_ || (batch = open_batch()) != nullptr; });
    if (stopping_) return;
    ++batch->helpers;
    lock.unlock();
    take_runs(*batch);
    lock.lock();
    if (--batch->helpers == 0) helper_left_.notify_all();
  }
}

WorkerPool& calling_thread_pool() {
  static WorkerPool pool(1);
  return pool;
}

}  // namespace vemo
