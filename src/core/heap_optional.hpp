#pragma once
// An optional value kept on the heap: one pointer wide when empty, for large values that are
// rarely present. Copies are deep and comparisons compare values, as with std::optional.

#include <memory>
#include <optional>
#include <utility>

namespace vemo {

template <class T>
class HeapOptional {
 public:
  HeapOptional() = default;
  HeapOptional(std::nullopt_t) {}
  HeapOptional(T value) : value_(std::make_unique<T>(std::move(value))) {}
  HeapOptional(const std::optional<T>& value) {
    if (value) value_ = std::make_unique<T>(*value);
  }
  HeapOptional(const HeapOptional& other)
      : value_(other.value_ ? std::make_unique<T>(*other.value_) : nullptr) {}
  HeapOptional(HeapOptional&&) noexcept = default;
  HeapOptional& operator=(const HeapOptional& other) {
    if (this != &other) HeapOptional(other).swap(*this);
    return *this;
  }
  HeapOptional& operator=(HeapOptional&&) noexcept = default;
  ~HeapOptional() = default;

  bool has_value() const { return value_ != nullptr; }
  explicit operator bool() const { return has_value(); }
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return value_.get(); }
  const T* operator->() const { return value_.get(); }
  void reset() { value_.reset(); }
  void swap(HeapOptional& other) noexcept { value_.swap(other.value_); }

  friend bool operator==(const HeapOptional& a, const HeapOptional& b) {
    if (!a || !b) return !a && !b;
    return *a == *b;
  }
  friend bool operator==(const HeapOptional& a, const T& b) { return a && *a == b; }
  friend bool operator==(const HeapOptional& a, const std::optional<T>& b) {
    if (!a || !b) return !a && !b;
    return *a == *b;
  }
  friend bool operator==(const HeapOptional& a, std::nullopt_t) { return !a; }

 private:
  std::unique_ptr<T> value_;
};

}  // namespace vemo
