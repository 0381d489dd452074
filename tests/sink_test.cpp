#include "core/sink.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "core/file_io.hpp"

namespace vemo {
namespace {

// Many blocks' worth of mixed writes arrive whole and in order through a pipe.
TEST(OutputSink, WritesEverythingInOrderAcrossBlocks) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const FileDescriptor read_end(fds[0]);
  std::string expected;
  {
    const FileDescriptor write_end(fds[1]);
    ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    // The pipe holds 64 KiB; stay below it so nothing has to read concurrently.
    OutputSink sink(write_end.get());
    for (int i = 0; i < 3000; ++i) {
      sink.print("{:05},", i);
      sink.put('x');
      sink.write("y\n");
      expected += fmt::format("{:05},xy\n", i);
    }
    ASSERT_LT(expected.size(), std::size_t{60000});
    ASSERT_TRUE(sink.flush());
  }
  const auto text = read_to_end(read_end.get());
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, expected);
}

// The first failed write is kept and returned; nothing is written after it.
TEST(OutputSink, KeepsTheFirstFailure) {
  const auto file = open_file("/dev/null", O_RDONLY);
  ASSERT_TRUE(file);
  OutputSink sink(file->get());
  sink.write(std::string(200000, 'a'));
  EXPECT_TRUE(sink.failed());
  sink.write("more");
  const Status flushed = sink.flush();
  ASSERT_FALSE(flushed);
  EXPECT_EQ(flushed.error().message(), Error::system(EBADF).message());
}

TEST(OutputSink, CollectsIntoATextAtOnce) {
  std::string text;
  OutputSink sink(text);
  sink.print("{}-{}", 1, "two");
  sink.put('!');
  EXPECT_EQ(text, "1-two!");
  EXPECT_TRUE(sink.flush());
}

}  // namespace
}  // namespace vemo
