#pragma once
// Text helpers: UTF-8 validation and lossy decoding, Unicode white-space trimming, lower-casing.

#include <string>
#include <string_view>

namespace vemo {

bool is_valid_utf8(std::string_view bytes);

// `bytes` as UTF-8 with every invalid sequence replaced by U+FFFD (one per maximal invalid
// subpart).
std::string lossy_utf8(std::string_view bytes);

// Appends `c` as UTF-8; a value that is no Unicode scalar becomes U+FFFD.
void append_utf8(std::string& text, char32_t c);

// `text` without Unicode White_Space characters at either end.
std::string_view trim_white_space(std::string_view text);

// The full Unicode lower-case mapping of UTF-8 `text` (root locale).
std::string to_lower_full(std::string_view text);

}  // namespace vemo
