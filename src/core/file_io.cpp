#include "core/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>

#include "core/text.hpp"

namespace vemo {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

Result<FileDescriptor> open_file(const std::string& path, int flags, mode_t mode) {
  if (path.find('\0') != std::string::npos) return fail(Error::system(EINVAL));
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  if (fd < 0) return fail(Error::system(errno));
  return FileDescriptor(fd);
}

namespace {

constexpr std::size_t MIN_READ_STEP = std::size_t{1} << 16;

// The bytes a regular file holds past the current offset, plus one so that the read meeting its
// end needs no room of its own; pipes and the like give no size and start small.
std::size_t first_read_size(int fd) {
  const std::optional<std::size_t> size = regular_file_size(fd);
  if (!size) return MIN_READ_STEP;
  const off_t offset = ::lseek(fd, 0, SEEK_CUR);
  if (offset < 0 || static_cast<std::size_t>(offset) >= *size) return MIN_READ_STEP;
  return *size - static_cast<std::size_t>(offset) + 1;
}

}  // namespace

Result<std::size_t> read_some(int fd, char* data, std::size_t size) {
  for (;;) {
    const ssize_t count = ::read(fd, data, size);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) return fail(Error::system(errno));
  }
}

bool is_regular_file(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::optional<std::size_t> regular_file_size(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return static_cast<std::size_t>(status.st_size);
}

Result<std::string> read_to_end(int fd) {
  // Reads straight into the string; the file may still grow or shrink while it is read, so the
  // size is only a first guess and the end is where read(2) says it is.
  std::string content(first_read_size(fd), '\0');
  std::size_t length = 0;
  for (;;) {
    if (length == content.size()) content.resize(std::max(2 * length, MIN_READ_STEP));
    const auto count = read_some(fd, content.data() + length, content.size() - length);
    if (!count) return fail(count.error());
    if (*count == 0) break;
    length += *count;
  }
  content.resize(length);
  return content;
}

Status write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail(Error::system(errno));
    }
    if (written == 0) return fail("failed to write whole buffer");
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

Result<std::string> read_text_file(const std::string& path) {
  const auto file = open_file(path, O_RDONLY);
  if (!file) return fail(file.error());
  return read_text(file->get());
}

Result<std::string> read_text(int fd) {
  auto text = read_to_end(fd);
  if (text && !is_valid_utf8(*text)) return fail("stream did not contain valid UTF-8");
  return text;
}

}  // namespace vemo
