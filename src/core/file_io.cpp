#include "core/file_io.hpp"

#include <fcntl.h>
#include <unistd.h>
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

Result<std::string> read_to_end(int fd) {
  std::string content;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count == 0) return content;
    if (count < 0) {
      if (errno == EINTR) continue;
      return fail(Error::system(errno));
    }
    content.append(buffer, static_cast<std::size_t>(count));
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

Result<std::string> read_text_file(const std::string& path) {
  const auto file = open_file(path, O_RDONLY);
  if (!file) return fail(file.error());
  auto text = read_to_end(file->get());
  if (text && !is_valid_utf8(*text)) return fail("stream did not contain valid UTF-8");
  return text;
}

}  // namespace vemo
