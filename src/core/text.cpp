#include "core/text.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#include <unicode/ucasemap.h>
#include <unicode/utypes.h>

namespace vemo {

namespace {

// Length of the valid UTF-8 sequence at the front of `s`, or of its maximal invalid subpart
// (at least 1) with `valid` set to false.
std::size_t next_sequence(std::string_view s, bool& valid) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  valid = true;
  if (b0 < 0x80) return 1;
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    valid = false;
    return 1;
  }
  std::size_t i = 1;
  for (; i <= need; ++i) {
    if (i >= s.size()) break;
    const auto b = static_cast<unsigned char>(s[i]);
    if (i == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
  }
  if (i <= need) valid = false;
  return i;
}

// Decodes one valid UTF-8 sequence of length `n` at the front of `s`.
char32_t decode(std::string_view s, std::size_t n) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (n == 1) return b0;
  char32_t cp = b0 & (0x7F >> n);
  for (std::size_t i = 1; i < n; ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
  return cp;
}

bool is_c0_or_del(unsigned char b) {
  return (b < 0x20 && b != '\t' && b != '\n') || b == 0x7F;
}

// A C1 control in UTF-8: C2 can only lead a two-byte sequence, so the pair needs no context.
bool is_c1_at(std::string_view text, std::size_t i) {
  return static_cast<unsigned char>(text[i]) == 0xC2 && i + 1 < text.size() &&
         static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
         static_cast<unsigned char>(text[i + 1]) <= 0x9F;
}

// Whether any of the sixteen bytes at `p` lies outside printable ASCII (below 0x20, or 0x7F and
// above), in one vector step: names are scanned on every line that shows one. Tab, line feed
// and non-ASCII characters are false alarms that the byte-wise test then clears.
using Lanes = unsigned char __attribute__((vector_size(16)));
bool block_may_hold_control(const char* p) {
  Lanes bytes;
  std::memcpy(&bytes, p, sizeof bytes);
  const auto outside = (bytes < 0x20) | (bytes >= 0x7F);
  std::uint64_t halves[2];
  std::memcpy(halves, &outside, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}

// The first control in [begin, end) of `text`, byte by byte.
std::size_t find_control_in(std::string_view text, std::size_t begin, std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    if (is_c0_or_del(static_cast<unsigned char>(text[i])) || is_c1_at(text, i)) return i;
  }
  return std::string_view::npos;
}

constexpr char HEX_DIGITS[] = "0123456789abcdef";

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  while (!bytes.empty()) {
    bool valid;
    const std::size_t n = next_sequence(bytes, valid);
    if (!valid) return false;
    bytes.remove_prefix(n);
  }
  return true;
}

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    bool valid;
    const std::size_t n = next_sequence(bytes, valid);
    if (valid) {
      out.append(bytes.substr(0, n));
    } else {
      out += "\xEF\xBF\xBD";
    }
    bytes.remove_prefix(n);
  }
  return out;
}

void append_utf8(std::string& text, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  if (c < 0x80) {
    text += static_cast<char>(c);
  } else if (c < 0x800) {
    text += static_cast<char>(0xC0 | (c >> 6));
    text += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    text += static_cast<char>(0xE0 | (c >> 12));
    text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (c >> 18));
    text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string_view trim_white_space(std::string_view text) {
  // Leading: walk forward sequence by sequence.
  while (!text.empty()) {
    bool valid;
    const std::size_t n = next_sequence(text, valid);
    if (!valid || !is_white_space(decode(text, n))) break;
    text.remove_prefix(n);
  }
  // Trailing: find the start of the last sequence (continuation bytes are 10xxxxxx).
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && text.size() - start < 4 &&
           (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    const std::string_view last = text.substr(start);
    bool valid;
    const std::size_t n = next_sequence(last, valid);
    if (!valid || n != last.size() || !is_white_space(decode(last, n))) break;
    text.remove_suffix(n);
  }
  return text;
}

std::size_t find_control(std::string_view text) {
  constexpr std::size_t BLOCK = sizeof(Lanes);
  const std::size_t size = text.size();
  if (size == 0) return std::string_view::npos;
  if (size < BLOCK) {
    // Short texts are tested as one block, padded with blanks (never a control).
    char padded[BLOCK];
    std::memset(padded, ' ', BLOCK);
    std::memcpy(padded, text.data(), size);
    return block_may_hold_control(padded) ? find_control_in(text, 0, size) : std::string_view::npos;
  }
  // Block by block; a last partial block is read as the final sixteen bytes, overlapping.
  std::size_t at = 0;
  for (;;) {
    if (block_may_hold_control(text.data() + at)) {
      const std::size_t found = find_control_in(text, at, at + BLOCK);
      if (found != std::string_view::npos) return found;
    }
    if (at + BLOCK == size) return std::string_view::npos;
    at = at + 2 * BLOCK <= size ? at + BLOCK : size - BLOCK;
  }
}

void append_escaped_controls(std::string& out, std::string_view text) {
  for (;;) {
    const std::size_t i = find_control(text);
    out.append(text.substr(0, i));
    if (i == std::string_view::npos) return;
    const auto b = static_cast<unsigned char>(text[i]);
    if (is_c0_or_del(b)) {
      out.append({'\\', 'x', HEX_DIGITS[b >> 4], HEX_DIGITS[b & 0xF]});
      text.remove_prefix(i + 1);
    } else {
      const auto c = static_cast<unsigned char>(text[i + 1]);
      out.append({'\\', 'u', '0', '0', HEX_DIGITS[c >> 4], HEX_DIGITS[c & 0xF]});
      text.remove_prefix(i + 2);
    }
  }
}

std::string escape_controls(std::string text) {
  if (find_control(text) == std::string::npos) return text;
  std::string out;
  out.reserve(text.size() + 8);
  append_escaped_controls(out, text);
  return out;
}

std::string to_lower_full(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  UCaseMap* map = ucasemap_open("", 0, &status);
  if (U_FAILURE(status)) return std::string(text);
  std::string out(text.size() * 3 + 16, '\0');
  status = U_ZERO_ERROR;
  int32_t len = ucasemap_utf8ToLower(map, out.data(), static_cast<int32_t>(out.size()), text.data(),
                                     static_cast<int32_t>(text.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.resize(static_cast<std::size_t>(len));
    status = U_ZERO_ERROR;
    len = ucasemap_utf8ToLower(map, out.data(), static_cast<int32_t>(out.size()), text.data(),
                               static_cast<int32_t>(text.size()), &status);
  }
  ucasemap_close(map);
  if (U_FAILURE(status)) return std::string(text);
  out.resize(static_cast<std::size_t>(len));
  return out;
}

}  // namespace vemo
