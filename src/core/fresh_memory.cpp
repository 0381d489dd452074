#include "core/fresh_memory.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace vemo {

namespace {

// From this size on a block is a mapping of its own.
constexpr std::size_t LARGE_BLOCK = std::size_t{8} << 20;
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
// The most address space a block reserves to grow into; far more than any machine's memory.
constexpr std::uint64_t MAX_ROOM = std::uint64_t{1} << 40;

std::size_t whole_pages(std::size_t size) {
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

// A zero-filled anonymous mapping of `length` bytes (whole pages) that starts on a huge page and
// asks for huge pages, or null. Address space past what is written costs nothing while
// `reserve` holds (no memory is set aside for it).
std::uint8_t* map_fresh(std::size_t length, bool reserve) {
  const std::size_t padded = length + HUGE_PAGE;
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS | (reserve ? MAP_NORESERVE : 0);
  void* address = ::mmap(nullptr, padded, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (address == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  const std::uintptr_t aligned = (start + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
  if (aligned > start) ::munmap(address, aligned - start);
  ::munmap(reinterpret_cast<void*>(aligned + length), padded - length - (aligned - start));
  (void)::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);  // only a hint
  return reinterpret_cast<std::uint8_t*>(aligned);
}

// Has the kernel back the whole pages of [from, to) with memory. Only a hint.
void fault_in_pages(std::uintptr_t from, std::uintptr_t to) {
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t first = (from + page - 1) / page * page;
  const std::uintptr_t last = to / page * page;
  if (first < last) {
    (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
  }
}

}  // namespace

void fault_in(WorkerPool& workers, std::uint8_t* begin, std::uint8_t* end,
              const std::atomic<bool>* stop) {
  if (end <= begin || workers.concurrency() < 2) return;
  const auto from = reinterpret_cast<std::uintptr_t>(begin);
  const auto to = reinterpret_cast<std::uintptr_t>(end);
  const std::uintptr_t chunks = (to - from + FAULT_IN_CHUNK - 1) / FAULT_IN_CHUNK;
  workers.for_each(chunks, [&](std::uintptr_t chunk) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) return;
    fault_in_pages(from + chunk * FAULT_IN_CHUNK,
                   std::min(to, from + (chunk + 1) * FAULT_IN_CHUNK));
  });
}

std::optional<FreshBlock> FreshBlock::allocate(std::size_t size, std::uint64_t room) {
  FreshBlock block;
  block.room_ = room;
  if (size >= LARGE_BLOCK) {
    const std::size_t length = whole_pages(size);
    const std::uint64_t reserved = std::min(room, MAX_ROOM);
    if (reserved > length) {
      block.mapped_ = whole_pages(static_cast<std::size_t>(reserved));
      block.data_ = map_fresh(block.mapped_, true);
    }
    if (block.data_ == nullptr) {  // no room asked for, or no address space for it
      block.mapped_ = length;
      block.data_ = map_fresh(length, false);
    }
  } else {
    block.data_ = static_cast<std::uint8_t*>(std::calloc(std::max<std::size_t>(size, 1), 1));
  }
  if (block.data_ == nullptr) return std::nullopt;
  block.size_ = size;
  return block;
}

bool FreshBlock::resize(std::size_t size) {
  if (mapped_ != 0) {
    if (!resize_mapping(size)) return false;
  } else if (size >= LARGE_BLOCK) {
    // Outgrows malloc: copied once into a mapping, which grows in its room from then on.
    auto large = allocate(size, room_);
    if (!large) return false;
    std::memcpy(large->data_, data_, size_);
    *this = std::move(*large);
  } else {
    void* grown = std::realloc(data_, std::max<std::size_t>(size, 1));
    if (grown == nullptr) return false;
    data_ = static_cast<std::uint8_t*>(grown);
  }
  size_ = size;
  return true;
}

bool FreshBlock::resize_mapping(std::size_t size) {
  const std::size_t length = whole_pages(std::max<std::size_t>(size, 1));
  if (size <= size_ && length < mapped_) {
    ::munmap(data_ + length, mapped_ - length);
    mapped_ = length;
  } else if (length > mapped_) {
    // Past its room: moved by its page tables, at the price of its huge pages.
    void* moved = ::mremap(data_, mapped_, length, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) return false;
    data_ = static_cast<std::uint8_t*>(moved);
    mapped_ = length;
  }
  return true;
}

FreshBlock::FreshBlock(FreshBlock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)),
      room_(std::exchange(other.room_, 0)) {}

FreshBlock& FreshBlock::operator=(FreshBlock&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
    room_ = std::exchange(other.room_, 0);
  }
  return *this;
}

FreshBlock::~FreshBlock() {
  release();
}

void FreshBlock::release() {
  if (mapped_ != 0) {
    ::munmap(data_, mapped_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = 0;
  mapped_ = 0;
  room_ = 0;
}

}  // namespace vemo
