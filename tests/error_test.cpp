#include "core/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace vemo::testing {
namespace {

// An error whose chain is `messages`, outermost first.
Error chain(const std::vector<std::string>& messages) {
  Error error(messages.back());
  for (auto it = messages.rbegin() + 1; it != messages.rend(); ++it) {
    error = std::move(error).context(*it);
  }
  return error;
}

TEST(ErrorReport, LaysOutTheCauses) {
  struct Case {
    std::vector<std::string> chain;
    std::string report;
  };
  const Case cases[] = {
      {{"plain"}, "Error: plain\n"},
      {{"two\nlines"}, "Error: two\nlines\n"},
      {{"outer", "inner"}, "Error: outer\n\nCaused by:\n    inner\n"},
      {{"outer", "first\nsecond"}, "Error: outer\n\nCaused by:\n    first\n    second\n"},
      {{"Failed to load trace A: x", "Failed to open trace file: x",
        "No such file or directory (os error 2)"},
       "Error: Failed to load trace A: x\n\nCaused by:\n"
       "    0: Failed to open trace file: x\n"
       "    1: No such file or directory (os error 2)\n"},
      {{"outer", "a\nb", "c"}, "Error: outer\n\nCaused by:\n    0: a\n       b\n    1: c\n"},
      // Names and paths from the inputs: their controls never reach the terminal raw.
      {{"Failed to load trace A: \x1b]0;X\x07", "bad \xC2\x9b\r\nname"},
       "Error: Failed to load trace A: \\x1b]0;X\\x07\n\nCaused by:\n"
       "    bad \\u009b\\x0d\n    name\n"},
      {{"o\x7f", "a\x1b", "b\tc"}, "Error: o\\x7f\n\nCaused by:\n    0: a\\x1b\n    1: b\tc\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_report(chain(c.chain)), c.report);
}

TEST(ErrorReport, IndexesAreRightAlignedInFiveColumns) {
  std::vector<std::string> messages{"outer"};
  for (int i = 0; i < 11; ++i) messages.push_back(fmt::format("m{}", i));
  const std::string report = error_report(chain(messages));
  EXPECT_NE(report.find("\n    9: m9\n   10: m10\n"), std::string::npos) << report;
  EXPECT_TRUE(report.starts_with("Error: outer\n\nCaused by:\n    0: m0\n"));
}

TEST(Error, ContextPutsTheMessageOnTopOfTheChain) {
  const Error inner = chain({"middle", "root"});
  const Error copied = inner.context("top");
  EXPECT_EQ(copied.message(), "top");
  EXPECT_EQ(copied.causes(), (std::vector<std::string>{"middle", "root"}));
  EXPECT_EQ(inner.message(), "middle");  // the original is left as it was

  const Result<int> failed = with_context(Result<int>(fail("root")), "top");
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message(), "top");
  EXPECT_EQ(failed.error().causes(), std::vector<std::string>{"root"});
  const Result<int> passed = with_context(Result<int>(7), "unused");
  ASSERT_TRUE(passed.has_value());
  EXPECT_EQ(*passed, 7);
}

TEST(Error, SystemErrorsCarryTheirNumber) {
  EXPECT_EQ(Error::system(ENOENT).message(), "No such file or directory (os error 2)");
  EXPECT_EQ(Error::system(EPIPE).message(), "Broken pipe (os error 32)");
  EXPECT_TRUE(Error::system(ENOENT).causes().empty());
}

}  // namespace
}  // namespace vemo::testing
