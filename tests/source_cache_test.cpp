#include "tui/source_cache.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstddef>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

namespace fs = std::filesystem;
using tui::SourceCache;

// A file of `count` lines "line 1", "line 2", ...
std::string numbered_file(std::size_t count) {
  std::string text;
  for (std::size_t n = 1; n <= count; ++n) text += "line " + std::to_string(n) + "\n";
  const fs::path path = scratch_dir() / "numbered.cu";
  write_file(path, text);
  return path.string();
}

// The line numbers of a snippet, checking each text against its number.
std::optional<std::vector<std::size_t>> numbers(const std::optional<tui::SourceSnippet>& s) {
  if (!s) return std::nullopt;
  std::vector<std::size_t> result;
  for (const auto& [number, text] : s->lines) {
    EXPECT_EQ(text, "line " + std::to_string(number));
    result.push_back(number);
  }
  return result;
}

std::vector<std::size_t> range(std::size_t first, std::size_t last) {
  std::vector<std::size_t> r;
  for (std::size_t n = first; n <= last; ++n) r.push_back(n);
  return r;
}

TEST(SourceCache, SnippetRangesAreCutToTheFile) {
  const std::string path = numbered_file(100);
  constexpr std::size_t huge = std::numeric_limits<std::size_t>::max();
  const struct {
    std::uint32_t line;
    std::size_t context;
    std::optional<std::vector<std::size_t>> lines;
  } cases[] = {
      {50, 5, range(45, 55)},  {3, 5, range(1, 8)},       {5, 5, range(1, 10)},
      {99, 5, range(94, 100)}, {100, 5, range(95, 100)},  {101, 5, std::nullopt},
      {1, 0, range(1, 1)},     {50, huge, range(1, 100)}, {0, 5, std::nullopt},
  };
  SourceCache cache;
  for (const auto& c : cases) {
    const auto snippet = cache.snippet(path, c.line, c.context);
    EXPECT_EQ(numbers(snippet), c.lines) << "line " << c.line << " context " << c.context;
    if (snippet) {
      EXPECT_EQ(snippet->path, path);
      EXPECT_EQ(snippet->line, c.line);
    }
  }
}

TEST(SourceCache, LineZeroDoesNotReadTheFile) {
  SourceCache cache;
  EXPECT_EQ(cache.snippet(numbered_file(3), 0, 5), std::nullopt);
  EXPECT_EQ(cache.size(), 0u);
}

TEST(SourceCache, SplitsLines) {
  const struct {
    const char* name;
    std::string content;
    std::vector<std::string> lines;
  } cases[] = {
      {"LF", "a\nb\n", {"a", "b"}},
      {"CRLF", "a\r\nb\r\n", {"a", "b"}},
      {"no final line feed", "a\nb", {"a", "b"}},
      {"blank lines kept", "a\n\n\nb\n", {"a", "", "", "b"}},
      {"lone CR stays", "a\rb\r\r\n", {"a\rb\r"}},
      {"UTF-8", "é\n→\n", {"é", "→"}},
  };
  for (const auto& c : cases) {
    const fs::path path = scratch_dir() / "f.cu";
    write_file(path, c.content);
    SourceCache cache;
    const auto snippet = cache.snippet(path.string(), 1, 10);
    ASSERT_TRUE(snippet) << c.name;
    std::vector<std::string> texts;
    for (const auto& [number, text] : snippet->lines) texts.push_back(text);
    EXPECT_EQ(texts, c.lines) << c.name;
    EXPECT_EQ(cache.snippet(path.string(), static_cast<std::uint32_t>(c.lines.size() + 1), 0),
              std::nullopt)
        << c.name;
  }
}

TEST(SourceCache, UnreadableFilesGiveNothing) {
  const fs::path dir = scratch_dir();
  write_file(dir / "bad.cu", std::string("ok\n\xff\xfe\n"));
  write_file(dir / "empty.cu", std::string());
  write_file(dir / "real.cu", std::string("x\n"));
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const struct {
    const char* name;
    std::string path;
  } cases[] = {
      {"missing", (dir / "missing.cu").string()},
      {"not UTF-8", (dir / "bad.cu").string()},
      {"empty", (dir / "empty.cu").string()},
      {"directory", dir.string()},
      {"FIFO without a writer", (dir / "fifo").string()},
      {"NUL byte in the path", (dir / "real.cu").string() + std::string("\0x", 2)},
  };
  for (const auto& c : cases) {
    SourceCache cache;
    for (const std::uint32_t line : {1u, 2u}) {
      EXPECT_EQ(cache.snippet(c.path, line, 5), std::nullopt) << c.name << " line " << line;
    }
  }
}

TEST(SourceCache, FilesTooBigToHoldGiveNothing) {
  const fs::path dir = scratch_dir();
  write_file(dir / "fits.cu", std::string("0123456\n"));
  write_file(dir / "over.cu", std::string("01234567\n"));
  // Sparse: refused by its size, without reading it.
  const fs::path huge = dir / "huge.cu";
  write_file(huge, std::string("x\n"));
  fs::resize_file(huge, std::uintmax_t{1} << 40);
  const struct {
    const char* name;
    fs::path path;
    std::size_t limit;
    bool shown;
  } cases[] = {
      {"at the limit", dir / "fits.cu", 8, true},
      {"one byte over", dir / "over.cu", 8, false},
      {"a limit of 0", dir / "fits.cu", 0, false},
      {"a terabyte, default limit", huge, tui::default_source_file_limit(), false},
  };
  for (const auto& c : cases) {
    SourceCache cache(c.limit);
    EXPECT_EQ(cache.snippet(c.path.string(), 1, 5).has_value(), c.shown) << c.name;
  }
  EXPECT_LE(tui::default_source_file_limit(), std::size_t{256} << 20);
  EXPECT_GT(tui::default_source_file_limit(), 0u);
}

TEST(SourceCache, FilesAreReadOnce) {
  const fs::path dir = scratch_dir();
  const std::string missing = (dir / "later.cu").string();
  const std::string present = (dir / "now.cu").string();
  write_file(present, std::string("old\n"));
  SourceCache cache;
  EXPECT_EQ(cache.snippet(missing, 1, 5), std::nullopt);
  ASSERT_TRUE(cache.snippet(present, 1, 5));

  write_file(missing, std::string("created\n"));
  write_file(present, std::string("new\nlonger\n"));
  EXPECT_EQ(cache.snippet(missing, 1, 5), std::nullopt);
  const auto snippet = cache.snippet(present, 1, 5);
  ASSERT_TRUE(snippet);
  EXPECT_EQ(snippet->lines, (tui::NumberedLines{{1, "old"}}));
  EXPECT_EQ(cache.size(), 2u);
}

TEST(SourceCache, PathsAreKeptAsSpelled) {
  const fs::path dir = scratch_dir();
  write_file(dir / "k.cu", std::string("k\n"));
  SourceCache cache;
  const std::string plain = (dir / "k.cu").string();
  const std::string dotted = (dir / "." / "k.cu").string();
  const std::string relative = fs::relative(dir / "k.cu").string();  // against the working dir
  ASSERT_TRUE(cache.snippet(plain, 1, 0));
  for (const std::string& spelling : {dotted, relative}) {
    const auto snippet = cache.snippet(spelling, 1, 0);
    ASSERT_TRUE(snippet) << spelling;
    EXPECT_EQ(snippet->path, spelling);
    EXPECT_EQ(snippet->lines, (tui::NumberedLines{{1, "k"}}));
  }
  EXPECT_EQ(cache.size(), 3u);
}

TEST(SourceLineRange, CopiesTheNumberedLines) {
  const std::vector<std::string> lines{"a", "b", "c"};
  EXPECT_EQ(tui::source_line_range(lines, 2, 3), (tui::NumberedLines{{2, "b"}, {3, "c"}}));
  EXPECT_EQ(tui::source_line_range(lines, 1, 1), (tui::NumberedLines{{1, "a"}}));
}

}  // namespace
}  // namespace vemo::testing
