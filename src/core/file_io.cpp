#include "core/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

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

// The bytes a regular file holds past the current offset; nothing for pipes and the like.
std::optional<std::uint64_t> bytes_left(int fd) {
  const std::optional<std::size_t> size = regular_file_size(fd);
  if (!size) return std::nullopt;
  const off_t offset = ::lseek(fd, 0, SEEK_CUR);
  if (offset < 0 || static_cast<std::size_t>(offset) >= *size) return 0;
  return *size - static_cast<std::size_t>(offset);
}

// Reads straight into the string, which holds at most `room` bytes (the limit, plus one to see
// that an input passes it). A regular file's size is only a first guess, plus one so that the
// read meeting its end needs no room of its own: the file may still grow or shrink while it is
// read, and the end is where read(2) says it is.
Result<std::string> read_within(int fd, std::optional<std::uint64_t> left, std::uint64_t room) {
  const auto sized = [&](std::uint64_t size) {
    return static_cast<std::size_t>(std::min(size, room));
  };
  std::string content(sized(left && *left != 0 ? *left + 1 : MIN_READ_STEP), '\0');
  std::size_t length = 0;
  for (;;) {
    if (length == content.size()) {
      if (length == room) return fail(Error::system(ENOMEM));
      content.resize(sized(std::max(std::uint64_t{2} * length, std::uint64_t{MIN_READ_STEP})));
    }
    const auto count = read_some(fd, content.data() + length, content.size() - length);
    if (!count) return fail(count.error());
    if (*count == 0) break;
    length += *count;
  }
  content.resize(length);
  return content;
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

Result<std::string> read_to_end(int fd, std::uint64_t limit) {
  const std::optional<std::uint64_t> left = bytes_left(fd);
  if (left && *left > limit) return fail(Error::system(ENOMEM));
  const std::uint64_t room =
      std::min<std::uint64_t>({limit, std::string().max_size() - 1, SIZE_MAX - 1}) + 1;
  try {
    return read_within(fd, left, room);
  } catch (const std::bad_alloc&) {
    return fail(Error::system(ENOMEM));
  }
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

Result<std::string> read_text_file(const std::string& path, std::uint64_t limit) {
  const auto file = open_file(path, O_RDONLY);
  if (!file) return fail(file.error());
  return read_text(file->get(), limit);
}

Result<std::string> read_text(int fd, std::uint64_t limit) {
  auto text = read_to_end(fd, limit);
  if (text && !is_valid_utf8(*text)) return fail("stream did not contain valid UTF-8");
  return text;
}

}  // namespace vemo
