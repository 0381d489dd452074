#include "core/sink.hpp"

#include "core/file_io.hpp"

namespace vemo {

OutputSink::OutputSink(int fd, FailureHandler on_failure)
    : fd_(fd), on_failure_(on_failure), buffer_(&own_) {
  own_.reserve(2 * SINK_BLOCK_SIZE);
}

OutputSink::OutputSink(std::string& text) : buffer_(&text) {}

void OutputSink::drain() {
  if (error_) {
    buffer_->clear();
    return;
  }
  auto written = write_all(fd_, *buffer_);
  buffer_->clear();
  if (written) return;
  error_ = std::move(written.error());
  if (on_failure_ != nullptr) on_failure_(*error_);
}

Status OutputSink::flush() {
  if (fd_ >= 0 && !buffer_->empty()) drain();
  if (error_) return fail(*error_);
  return {};
}

}  // namespace vemo
