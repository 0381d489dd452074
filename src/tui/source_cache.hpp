#pragma once
// Source files named by the site map, read whole once and kept as lines, and snippets of them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vemo::tui {

// Lines shown before and after the requested one.
inline constexpr std::size_t SOURCE_CONTEXT_LINES = 5;

using NumberedLines = std::vector<std::pair<std::size_t, std::string>>;

struct SourceSnippet {
  NumberedLines lines;  // (number from 1, text), ascending and consecutive
  std::string path;
  std::size_t line = 0;  // the requested line
  bool operator==(const SourceSnippet&) const = default;
};

// The largest source file shown: 256 MiB, or a quarter of the memory the process may use when
// that is less.
std::size_t default_source_file_limit();

class SourceCache {
 public:
  explicit SourceCache(std::size_t file_limit = default_source_file_limit())
      : file_limit_(file_limit) {}

  // The lines around `line` (counting from 1; 0 means none) of the file at `path`, `context`
  // lines each way, cut to the file. A file is read at most once; one that cannot be read or held
  // (missing, not a regular file, larger than the file limit, too big for the memory left, not
  // UTF-8) stays absent.
  std::optional<SourceSnippet> snippet(std::string_view path, std::uint32_t line,
                                       std::size_t context);

  // Number of paths tried so far, readable or not.
  std::size_t size() const { return files_.size(); }

 private:
  std::size_t file_limit_;
  std::unordered_map<std::string, std::optional<std::vector<std::string>>> files_;
};

// (number, copy of lines[number - 1]) for the numbers from `first` to `last` inclusive; the
// range must lie within `lines`.
NumberedLines source_line_range(const std::vector<std::string>& lines, std::size_t first,
                                std::size_t last);

}  // namespace vemo::tui
