#include "tui/source_cache.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "core/file_io.hpp"
#include "core/limits.hpp"
#include "core/text.hpp"

namespace vemo::tui {

namespace {

// Source files larger than this are not shown (nor larger than a quarter of the memory the process
// may use): the viewer keeps each file it shows, and reads it while it draws.
constexpr std::size_t MAX_SOURCE_FILE_SIZE = std::size_t{256} << 20;

// The whole content of a regular file of at most `limit` bytes, or none. Anything else (a
// directory, a FIFO, a device) is refused: reading it could block the viewer or never end. A file
// that grows past the limit while it is read is refused too.
std::optional<std::string> read_regular_file(const std::string& path, std::size_t limit) {
  const auto file = open_file(path, O_RDONLY | O_NONBLOCK);
  if (!file || !regular_file_size(file->get())) return std::nullopt;
  auto content = read_to_end(file->get(), limit);
  if (!content) return std::nullopt;
  return std::move(*content);
}

// Lines end at line feeds, a carriage return before one is dropped, and a final line feed
// opens no empty last line.
std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// The file's lines, or none when it cannot be read or held: running out of memory on a big file
// makes it absent like any other unreadable one.
std::optional<std::vector<std::string>> load_lines(const std::string& path, std::size_t limit) {
  try {
    const auto content = read_regular_file(path, limit);
    if (!content || !is_valid_utf8(*content)) return std::nullopt;
    return split_lines(*content);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace

std::size_t default_source_file_limit() {
  static const std::size_t limit = static_cast<std::size_t>(
      std::min<std::uint64_t>(MAX_SOURCE_FILE_SIZE, process_memory_limit() / 4));
  return limit;
}

NumberedLines source_line_range(const std::vector<std::string>& lines, std::size_t first,
                                std::size_t last) {
  NumberedLines range;
  for (std::size_t number = first; number <= last; ++number) {
    range.emplace_back(number, lines[number - 1]);
  }
  return range;
}

std::optional<SourceSnippet> SourceCache::snippet(std::string_view path, std::uint32_t line,
                                                  std::size_t context) {
  if (line == 0) return std::nullopt;
  std::string key(path);
  auto entry = files_.find(key);
  if (entry == files_.end()) entry = files_.emplace(key, load_lines(key, file_limit_)).first;
  const auto& lines = entry->second;
  if (!lines || line > lines->size()) return std::nullopt;
  const std::size_t first = line > context ? line - context : 1;
  const std::size_t last = context < lines->size() - line ? line + context : lines->size();
  return SourceSnippet{source_line_range(*lines, first, last), std::move(key), line};
}

}  // namespace vemo::tui
