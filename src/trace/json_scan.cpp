#include "trace/json_scan.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/file_io.hpp"
#include "core/text.hpp"

namespace vemo::json {

namespace {

// The bytes that end the quick run through a string's content: the quote, a backslash, control
// characters and the first bytes of multi-byte UTF-8 sequences.
constexpr std::array<bool, 256> STRING_STOPS = [] {
  std::array<bool, 256> stops{};
  for (std::size_t c = 0; c < 0x20; ++c) stops[c] = true;
  for (std::size_t c = 0x80; c < 0x100; ++c) stops[c] = true;
  stops['"'] = true;
  stops['\\'] = true;
  return stops;
}();

// The first byte from `at` on that ends the quick run through a string's content, or `end`.
const char* string_stop(const char* at, const char* end) {
#if defined(__SSE2__)
  // Sixteen bytes at a time. Compared as signed bytes, those of multi-byte sequences are
  // negative, so one comparison finds them together with the control characters.
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  for (; end - at >= 16; at += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i stops =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
                     _mm_cmplt_epi8(bytes, space));
    if (const int mask = _mm_movemask_epi8(stops); mask != 0) {
      return at + std::countr_zero(static_cast<unsigned>(mask));
    }
  }
#endif
  while (at != end && !STRING_STOPS[static_cast<unsigned char>(*at)]) ++at;
  return at;
}

bool is_space(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

TextWindow::TextWindow(int fd, std::size_t chunk_size)
    : fd_(fd), capacity_(std::max<std::size_t>(chunk_size, 1)) {
  buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
}

std::string_view TextWindow::view() const {
  if (fd_ < 0) return whole_;
  return {buffer_.get() + begin_, end_ - begin_};
}

bool TextWindow::refill(std::size_t keep) {
  if (fd_ < 0 || failed_) return false;
  begin_ += keep;
  const std::size_t kept = end_ - begin_;
  if (kept == capacity_) {
    // One piece longer than the window: the window grows to hold it.
    auto larger = std::make_unique<char[]>(2 * capacity_);
    std::memcpy(larger.get(), buffer_.get() + begin_, kept);
    buffer_ = std::move(larger);
    capacity_ *= 2;
  } else {
    std::memmove(buffer_.get(), buffer_.get() + begin_, kept);
  }
  begin_ = 0;
  end_ = kept;
  const auto count = read_some(fd_, buffer_.get() + end_, capacity_ - end_);
  if (!count) failed_ = true;
  if (!count || *count == 0) return false;
  end_ += *count;
  return true;
}

namespace scan {

Step skip_space(Cursor& cursor) {
  while (cursor.at != cursor.end && is_space(*cursor.at)) ++cursor.at;
  return cursor.at == cursor.end ? Step::More : Step::Done;
}

Step expect(Cursor& cursor, char expected) {
  if (Step step = skip_space(cursor); step != Step::Done) return step;
  return *cursor.at++ == expected ? Step::Done : Step::Decline;
}

Step string(Cursor& cursor, std::string_view& text) {
  const char* start = cursor.at;
  const char* at = start;
  bool ascii = true;
  for (;;) {
    at = string_stop(at, cursor.end);
    if (at == cursor.end) return Step::More;
    const auto c = static_cast<unsigned char>(*at);
    if (c == '"') break;
    if (c < 0x80) return Step::Decline;  // an escape or a control character
    ascii = false;
    ++at;
  }
  text = std::string_view(start, static_cast<std::size_t>(at - start));
  if (!ascii && !is_valid_utf8(text)) return Step::Decline;
  cursor.at = at + 1;
  return Step::Done;
}

Step integer(Cursor& cursor, std::uint32_t max, std::uint32_t& value) {
  // Ten digits hold every u32; more is out of range, which the strict reader reports.
  constexpr std::size_t MAX_DIGITS = 10;
  const char* at = cursor.at;
  std::uint64_t number = 0;
  while (at != cursor.end && is_digit(*at) && at - cursor.at <= static_cast<long>(MAX_DIGITS)) {
    number = number * 10 + static_cast<std::uint64_t>(*at - '0');
    ++at;
  }
  if (at == cursor.end) return Step::More;  // the number may go on
  const std::size_t digits = static_cast<std::size_t>(at - cursor.at);
  const char next = *at;
  if (digits == 0 || digits > MAX_DIGITS || number > max) return Step::Decline;
  if (digits > 1 && *cursor.at == '0') return Step::Decline;  // a leading zero
  if (next == '.' || next == 'e' || next == 'E' || is_digit(next)) return Step::Decline;
  value = static_cast<std::uint32_t>(number);
  cursor.at = at;
  return Step::Done;
}

Step literal(Cursor& cursor, std::string_view word) {
  const auto available = static_cast<std::size_t>(cursor.end - cursor.at);
  const std::size_t compared = std::min(available, word.size());
  if (std::string_view(cursor.at, compared) != word.substr(0, compared)) return Step::Decline;
  if (compared < word.size()) return Step::More;
  // What follows is checked by the caller: "nullx" is refused as a missing separator.
  cursor.at += word.size();
  return Step::Done;
}

namespace {

// Numbers of this many digits or fewer in each part are within a double's range, which the
// strict reader needs even of numbers it skips.
constexpr std::size_t MAX_SKIPPED_DIGITS = 15;
constexpr std::size_t MAX_SKIPPED_EXPONENT_DIGITS = 2;
// Nesting deeper than this inside a skipped value is left to the strict reader and its limit.
constexpr std::size_t MAX_SKIPPED_DEPTH = 32;

// The digits from the cursor on, at least one and at most `max`.
Step digits(Cursor& cursor, std::size_t max) {
  const char* start = cursor.at;
  while (cursor.at != cursor.end && is_digit(*cursor.at)) ++cursor.at;
  if (cursor.at == cursor.end) return Step::More;
  const auto count = static_cast<std::size_t>(cursor.at - start);
  return count == 0 || count > max ? Step::Decline : Step::Done;
}

// A JSON number: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
Step number(Cursor& cursor) {
  if (*cursor.at == '-' && ++cursor.at == cursor.end) return Step::More;
  if (*cursor.at == '0') {
    if (++cursor.at == cursor.end) return Step::More;
  } else if (Step step = digits(cursor, MAX_SKIPPED_DIGITS); step != Step::Done) {
    return step;
  }
  if (*cursor.at == '.') {
    ++cursor.at;
    if (Step step = digits(cursor, MAX_SKIPPED_DIGITS); step != Step::Done) return step;
  }
  if (*cursor.at == 'e' || *cursor.at == 'E') {
    if (++cursor.at == cursor.end) return Step::More;
    if ((*cursor.at == '+' || *cursor.at == '-') && ++cursor.at == cursor.end) return Step::More;
    return digits(cursor, MAX_SKIPPED_EXPONENT_DIGITS);
  }
  return Step::Done;
}

Step skip_nested(Cursor& cursor, std::size_t depth);

// The members or elements of an object or array whose opening bracket was just taken.
Step skip_members(Cursor& cursor, std::size_t depth, char closing) {
  if (Step step = skip_space(cursor); step != Step::Done) return step;
  if (*cursor.at == closing) {
    ++cursor.at;
    return Step::Done;
  }
  for (;;) {
    if (closing == '}') {
      std::string_view key;
      if (Step step = expect(cursor, '"'); step != Step::Done) return step;
      if (Step step = string(cursor, key); step != Step::Done) return step;
      if (Step step = expect(cursor, ':'); step != Step::Done) return step;
    }
    if (Step step = skip_nested(cursor, depth + 1); step != Step::Done) return step;
    if (Step step = skip_space(cursor); step != Step::Done) return step;
    const char next = *cursor.at++;
    if (next == closing) return Step::Done;
    if (next != ',') return Step::Decline;
  }
}

Step skip_nested(Cursor& cursor, std::size_t depth) {
  if (depth > MAX_SKIPPED_DEPTH) return Step::Decline;
  if (Step step = skip_space(cursor); step != Step::Done) return step;
  const char first = *cursor.at;
  switch (first) {
    case '"': {
      std::string_view text;
      ++cursor.at;
      return string(cursor, text);
    }
    case '{':
    case '[':
      ++cursor.at;
      return skip_members(cursor, depth, first == '{' ? '}' : ']');
    case 't':
      return literal(cursor, "true");
    case 'f':
      return literal(cursor, "false");
    case 'n':
      return literal(cursor, "null");
    default:
      return first == '-' || is_digit(first) ? number(cursor) : Step::Decline;
  }
}

}  // namespace

Step skip_value(Cursor& cursor) {
  return skip_nested(cursor, 0);
}

}  // namespace scan

}  // namespace vemo::json
