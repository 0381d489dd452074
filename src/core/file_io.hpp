#pragma once
// Small POSIX file helpers shared by the loaders, the exports and the console.

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/error.hpp"
#include "core/limits.hpp"

namespace vemo {

// Owns an open file descriptor and closes it when it goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&&) = delete;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const { return fd_; }

 private:
  int fd_;
};

// open(2) with O_CLOEXEC added. A path holding a NUL byte is refused (EINVAL): the system call
// would stop there and open another file.
Result<FileDescriptor> open_file(const std::string& path, int flags, mode_t mode = 0);

// Everything left to read from `fd`, at most `limit` bytes. An input longer than that, or one
// that memory runs out for, fails as out of memory (ENOMEM): a regular file before it is read,
// anything else (a pipe, a character device) once that much has come.
Result<std::string> read_to_end(int fd, std::uint64_t limit = input_size_limit());

// One read(2) of at most `size` bytes into `data`, retried when interrupted; 0 at the end.
Result<std::size_t> read_some(int fd, char* data, std::size_t size);

// Whether `path` names a regular file, links followed.
bool is_regular_file(const std::string& path);
// The size of `fd` when it is a regular file.
std::optional<std::size_t> regular_file_size(int fd);

// Writes all of `bytes`, retrying interrupted writes; a write that takes nothing fails with
// "failed to write whole buffer".
Status write_all(int fd, std::string_view bytes);

// Everything left to read from `fd` as text, at most `limit` bytes: the system error of reading
// it, or "stream did not contain valid UTF-8".
Result<std::string> read_text(int fd, std::uint64_t limit = input_size_limit());

// The whole file as text, at most `limit` bytes: the system error of opening or reading it, or
// "stream did not contain valid UTF-8".
Result<std::string> read_text_file(const std::string& path,
                                   std::uint64_t limit = input_size_limit());

}  // namespace vemo
