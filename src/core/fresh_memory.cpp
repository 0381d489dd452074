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

std::size_t whole_pages(std::size_t size) {
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

// A zero-filled anonymous mapping of `length` bytes in huge pages, or null. The whole mapping
// asks for them, so that it stays one region the kernel can move when it grows.
std::uint8_t* map_fresh(std::size_t length) {
  void* address =
      ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (address == MAP_FAILED) return nullptr;
  (void)::madvise(address, length, MADV_HUGEPAGE);  // only a hint
  return static_cast<std::uint8_t*>(address);
}

}  // namespace

std::optional<FreshBlock> FreshBlock::allocate(std::size_t size) {
  FreshBlock block;
  if (size >= LARGE_BLOCK) {
    block.mapped_ = whole_pages(size);
    block.data_ = map_fresh(block.mapped_);
  } else {
    block.data_ = static_cast<std::uint8_t*>(std::calloc(std::max<std::size_t>(size, 1), 1));
  }
  if (block.data_ == nullptr) return std::nullopt;
  block.size_ = size;
  return block;
}

bool FreshBlock::resize(std::size_t size) {
  if (mapped_ != 0) {
    const std::size_t length = whole_pages(std::max<std::size_t>(size, 1));
    if (length != mapped_) {
      void* moved = ::mremap(data_, mapped_, length, MREMAP_MAYMOVE);
      if (moved == MAP_FAILED) return false;
      data_ = static_cast<std::uint8_t*>(moved);
      mapped_ = length;
    }
  } else if (size >= LARGE_BLOCK) {
    // Outgrows malloc: copied once into a mapping, which later growth moves without copying.
    auto large = allocate(size);
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

FreshBlock::FreshBlock(FreshBlock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

FreshBlock& FreshBlock::operator=(FreshBlock&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, 0);
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
}

}  // namespace vemo
