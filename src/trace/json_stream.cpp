#include "trace/json_stream.hpp"

#include <algorithm>

namespace vemo::json {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

std::size_t skip_digits(std::string_view text, std::size_t i) {
  while (i < text.size() && is_digit(text[i])) ++i;
  return i;
}

// Whether `run` is one well-formed JSON number that RapidJSON might refuse as too large: an
// integer part of about 309 digits, or a positive exponent beyond 308.
bool is_oversized_number(std::string_view run) {
  std::size_t i = run.starts_with('-') ? 1 : 0;
  const std::size_t integer_start = i;
  if (i == run.size() || !is_digit(run[i])) return false;
  i = run[i] == '0' ? i + 1 : skip_digits(run, i);
  const std::size_t integer_digits = i - integer_start;
  if (i < run.size() && run[i] == '.') {
    const std::size_t end = skip_digits(run, i + 1);
    if (end == i + 1) return false;
    i = end;
  }
  bool large_exponent = false;
  if (i < run.size() && (run[i] == 'e' || run[i] == 'E')) {
    ++i;
    const bool negative = i < run.size() && run[i] == '-';
    if (i < run.size() && (run[i] == '+' || run[i] == '-')) ++i;
    const std::size_t end = skip_digits(run, i);
    if (end == i) return false;
    const std::string_view digits = run.substr(i, end - i);
    const std::size_t significant =
        digits.size() - std::min(digits.find_first_not_of('0'), digits.size());
    large_exponent = !negative && significant >= 3;
    i = end;
  }
  return i == run.size() && (integer_digits >= 300 || large_exponent);
}

}  // namespace

std::vector<NumberSpan> oversized_numbers(std::string_view text) {
  std::vector<NumberSpan> spans;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
      ++i;
    } else if (c == '-' || is_digit(c)) {
      const std::size_t end = std::min(text.find_first_not_of("0123456789+-.eE", i), text.size());
      if (is_oversized_number(text.substr(i, end - i))) spans.push_back({i, end});
      i = end;
    } else {
      ++i;
    }
  }
  return spans;
}

std::string_view TextStream::number_text(std::size_t length) const {
  if (next_ > 0 && oversized_[next_ - 1].end == pos_) {
    const NumberSpan& span = oversized_[next_ - 1];
    return text_.substr(span.start, span.end - span.start);
  }
  return text_.substr(pos_ - length, length);
}

}  // namespace vemo::json
