#pragma once
// Large blocks of fresh memory. On the machines this runs on, the first touch of each fresh
// 4 KiB page costs far more than writing it (about 3 s per GiB); the same block in 2 MiB pages
// faults in a few hundred times faster. The kernel hands out such pages only to ranges that
// ask for them (transparent huge pages in "madvise" mode).

#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/worker_pool.hpp"

namespace vemo {

// Asks for 2 MiB pages for the aligned 2 MiB blocks inside [data, data + size) that are not
// touched yet. Only a hint: without it, or where the kernel declines, pages are 4 KiB.
inline void advise_huge_pages(void* data, std::size_t size) {
  constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
  const std::uintptr_t end = (begin + size) / HUGE_PAGE * HUGE_PAGE;
  if (first < end) (void)madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

// Bytes of fresh memory that one thread of fault_in takes at a time: one huge page.
inline constexpr std::uintptr_t FAULT_IN_CHUNK = std::uintptr_t{2} << 20;

// Has the kernel back the whole pages of [begin, end) with memory, leaving the bytes as they are,
// on the threads of `workers`: the first touch of fresh memory costs more than writing it, so one
// thread alone would spend far longer on it. The chunks are taken in order, so that they keep
// ahead of a writer filling the block from the front meanwhile. Once `stop` (when given) is set,
// the chunks not yet begun are left alone. A pool of the calling thread alone, or a kernel
// without MADV_POPULATE_WRITE, leaves the pages to be faulted in by the writer.
void fault_in(WorkerPool& workers, std::uint8_t* begin, std::uint8_t* end,
              const std::atomic<bool>* stop = nullptr);

// `vector.reserve(count)`, with huge pages asked for when the storage is large; call it before
// the storage is first written.
template <class T>
void reserve_fresh(std::vector<T>& vector, std::size_t count) {
  constexpr std::size_t LARGE = std::size_t{8} << 20;
  vector.reserve(count);
  if (count * sizeof(T) >= LARGE) advise_huge_pages(vector.data(), count * sizeof(T));
}

// `reserve_fresh`, with the storage faulted in on `workers`.
template <class T>
void reserve_fresh(std::vector<T>& vector, std::size_t count, WorkerPool& workers) {
  reserve_fresh(vector, count);
  auto* storage = reinterpret_cast<std::uint8_t*>(vector.data());
  fault_in(workers, storage, storage + count * sizeof(T));
}

// An owned, zero-filled block that grows and shrinks without copying what it holds. Large
// blocks are anonymous mappings in huge pages that start on a huge page; they can reserve
// address space to grow into in place, since a block that the kernel moves elsewhere may lose
// its huge pages (and each 4 KiB page then costs a fault again on first use). Small blocks come
// from malloc, so that memory checkers see their exact bounds. Aligned for max_align_t.
class FreshBlock {
 public:
  // A block of `size` bytes that grows in place up to `room` bytes where the address space can
  // be had. Nothing when memory runs out. A block of size 0 still has a distinct address.
  static std::optional<FreshBlock> allocate(std::size_t size, std::uint64_t room = 0);
  // Keeps the first min(old, new) bytes; bytes added are not initialised. A resize that does
  // not grow the block gives back the memory and the room past the new size. False when memory
  // runs out (the block is then unchanged).
  bool resize(std::size_t size);

  FreshBlock() = default;
  FreshBlock(FreshBlock&& other) noexcept;
  FreshBlock& operator=(FreshBlock&& other) noexcept;
  FreshBlock(const FreshBlock&) = delete;
  FreshBlock& operator=(const FreshBlock&) = delete;
  ~FreshBlock();

  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  bool resize_mapping(std::size_t size);
  void release();

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // bytes mapped for a large block, room included; 0 from malloc
  std::uint64_t room_ = 0;  // as asked for, kept for a small block that becomes large
};

}  // namespace vemo
