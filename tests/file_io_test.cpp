#include "core/file_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
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

// Past its limit an input is out of memory: a regular file before anything is read, a pipe or a
// device without an end once the limit has come.
TEST(ReadToEnd, AnInputPastItsLimitIsOutOfMemory) {
  const std::string out_of_memory = "Cannot allocate memory (os error 12)";
  char path[] = "/tmp/vemo_file_io_XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  const FileDescriptor file(fd);
  ::unlink(path);
  ASSERT_TRUE(write_all(fd, pattern(100'000)));
  struct Case {
    off_t offset;
    std::uint64_t limit;
    bool fits;
  };
  for (const Case c : {Case{0, 100'000, true}, Case{0, 99'999, false}, Case{1, 99'999, true},
                       Case{0, 0, false}, Case{100'000, 0, true}}) {
    ASSERT_EQ(::lseek(fd, c.offset, SEEK_SET), c.offset);
    const auto text = read_to_end(fd, c.limit);
    EXPECT_EQ(text.has_value(), c.fits) << c.offset << " " << c.limit;
    if (c.fits) continue;
    EXPECT_EQ(text.error().message(), out_of_memory);
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), c.offset) << "nothing read";
  }

  const FileDescriptor zero(::open("/dev/zero", O_RDONLY | O_CLOEXEC));
  const auto endless = read_to_end(zero.get(), 5'000'000);
  ASSERT_FALSE(endless);
  EXPECT_EQ(endless.error().message(), out_of_memory);
  EXPECT_EQ(read_text_file("/dev/zero", 1000).error().message(), out_of_memory);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const FileDescriptor read_end(fds[0]);
  std::thread writer([&] {
    const FileDescriptor write_end(fds[1]);
    (void)write_all(write_end.get(), pattern(300'000));
  });
  // One byte past the limit, which the reader takes in before it stops.
  const auto piped = read_to_end(read_end.get(), 299'999);
  writer.join();
  ASSERT_FALSE(piped);
  EXPECT_EQ(piped.error().message(), out_of_memory);
}

}  // namespace
}  // namespace vemo
