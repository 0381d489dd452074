#pragma once
// A buffered writer: standard output and the export files are formatted into one of these and
// leave in large blocks, so the cost of a write call is paid per block, not per line.

#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

// The compiled format_to overloads must be declared where print_compiled is defined.
#include <fmt/compile.h>
#include <fmt/format.h>

#include "core/error.hpp"

namespace vemo {

class OutputSink {
 public:
  // Called with the error of a failed write; it may end the process.
  using FailureHandler = void (*)(const Error& error);

  // Writes to `fd`, which stays open and owned by the caller. Without a handler the first
  // failed write is kept for `flush` to return; what was written before it stays written and
  // what comes after it is dropped.
  explicit OutputSink(int fd, FailureHandler on_failure = nullptr);
  // Collects everything in `text` at once (tests and captured console output).
  explicit OutputSink(std::string& text);

  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  void write(std::string_view bytes) {
    buffer_->append(bytes);
    drain_when_full();
  }
  void put(char c) {
    buffer_->push_back(c);
    drain_when_full();
  }
  void put(char c, std::size_t count) {
    buffer_->append(count, c);
    drain_when_full();
  }
  template <class... A>
  void print(fmt::format_string<A...> format, A&&... args) {
    fmt::format_to(std::back_inserter(*buffer_), format, std::forward<A>(args)...);
    drain_when_full();
  }
  // The same with a format string compiled with FMT_COMPILE, for lines written very often.
  template <class Compiled, class... A>
  void print_compiled(const Compiled& format, A&&... args) {
    fmt::format_to(std::back_inserter(*buffer_), format, std::forward<A>(args)...);
    drain_when_full();
  }

  // Writes out what is buffered; the first write error since the sink was made, if any.
  Status flush();
  bool failed() const { return error_.has_value(); }
  // The buffered bytes, taken out unwritten, for a caller that writes them its own way.
  std::string take_buffered() { return std::exchange(*buffer_, std::string()); }

 private:
  static constexpr std::size_t SINK_BLOCK_SIZE = std::size_t{1} << 16;

  void drain_when_full() {
    if (fd_ >= 0 && buffer_->size() >= SINK_BLOCK_SIZE) drain();
  }
  void drain();

  int fd_ = -1;
  FailureHandler on_failure_ = nullptr;
  std::string own_;
  std::string* buffer_;
  std::optional<Error> error_;
};

}  // namespace vemo
