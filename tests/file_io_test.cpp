#include "core/file_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <string>
#include <thread>

namespace vemo {
namespace {

std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 23);
  return bytes;
}

// A regular file is read whole from the current offset, at sizes around the read step.
TEST(ReadToEnd, RegularFileFromItsOffset) {
  struct Case {
    std::size_t size;
    std::size_t offset;
  };
  for (const Case c : {Case{0, 0}, Case{1, 0}, Case{65535, 0}, Case{65536, 0}, Case{65537, 0},
                       Case{300001, 0}, Case{300001, 7}, Case{10, 10}}) {
    char path[] = "/tmp/vemo_file_io_XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const FileDescriptor file(fd);
    ::unlink(path);
    const std::string bytes = pattern(c.size);
    ASSERT_TRUE(write_all(fd, bytes));
    ASSERT_EQ(::lseek(fd, static_cast<off_t>(c.offset), SEEK_SET), static_cast<off_t>(c.offset));
    const auto text = read_to_end(fd);
    ASSERT_TRUE(text) << c.size;
    EXPECT_EQ(*text, bytes.substr(c.offset)) << c.size << " from " << c.offset;
  }
}

// A pipe gives no size: many steps' worth still arrive whole and in order.
TEST(ReadToEnd, PipeBeyondOneStep) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const FileDescriptor read_end(fds[0]);
  const std::string bytes = pattern(1'000'003);
  std::thread writer([&] {
    const FileDescriptor write_end(fds[1]);
    (void)write_all(write_end.get(), bytes);
  });
  const auto text = read_to_end(read_end.get());
  writer.join();
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, bytes);
}

}  // namespace
}  // namespace vemo
