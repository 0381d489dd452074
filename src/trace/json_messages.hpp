#pragma once
// Positions and RapidJSON's syntax errors as the JSON reader's messages. Internal to the JSON
// reader.

#include <cstddef>
#include <string>
#include <string_view>

#include <rapidjson/error/error.h>

namespace vemo::json {

// " at line {} column {}" for the position after `consumed` bytes of `text`: the line and
// column of the last byte consumed, column 0 when nothing was.
std::string position_suffix(std::string_view text, std::size_t consumed);

// RapidJSON's error `result` as this reader's message, the stream having stopped after
// `stopped_at` bytes of `text`.
std::string syntax_error(std::string_view text, std::size_t stopped_at,
                         const rapidjson::ParseResult& result);

}  // namespace vemo::json
