#include "trace/json_messages.hpp"

#include <algorithm>

#include <fmt/format.h>

namespace vemo::json {

namespace {

struct SyntaxMessages {
  std::string_view at_end;  // when the text ran out
  std::string_view inside;  // at an offending byte
};

SyntaxMessages syntax_messages(rapidjson::ParseErrorCode code, unsigned char offending) {
  using namespace rapidjson;
  constexpr std::string_view CONTROL =
      "control character (\\u0000-\\u001F) found while parsing a string";
  switch (code) {
    case kParseErrorDocumentEmpty:
    case kParseErrorValueInvalid:
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent:
      return {"EOF while parsing a value",
              code == kParseErrorValueInvalid || code == kParseErrorDocumentEmpty
                  ? "expected value"
                  : "invalid number"};
    case kParseErrorDocumentRootNotSingular:
      return {"trailing characters", "trailing characters"};
    case kParseErrorObjectMissName:
      return {"EOF while parsing an object", "key must be a string"};
    case kParseErrorObjectMissColon:
      return {"EOF while parsing an object", "expected `:`"};
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return {"EOF while parsing an object", "expected `,` or `}`"};
    case kParseErrorArrayMissCommaOrSquareBracket:
      return {"EOF while parsing a list", "expected `,` or `]`"};
    case kParseErrorStringUnicodeEscapeInvalidHex:
      return {"EOF while parsing a string", "invalid escape"};
    case kParseErrorStringUnicodeSurrogateInvalid:
      return {"EOF while parsing a string", "lone surrogate in hex escape"};
    case kParseErrorStringEscapeInvalid:
      return {"EOF while parsing a string", offending < 0x20 ? CONTROL : "invalid escape"};
    case kParseErrorStringMissQuotationMark:
      return {"EOF while parsing a string", CONTROL};
    case kParseErrorStringInvalidEncoding:
      return {"EOF while parsing a string", "invalid unicode code point"};
    case kParseErrorNumberTooBig:
      return {"number out of range", "number out of range"};
    default:
      return {"syntax error", "syntax error"};
  }
}

}  // namespace

std::string position_suffix(std::string_view text, std::size_t consumed) {
  if (consumed == 0) return " at line 1 column 0";
  const std::size_t last = consumed - 1;
  const std::string_view before = text.substr(0, last);
  const auto line = 1 + std::count(before.begin(), before.end(), '\n');
  const std::size_t newline = before.rfind('\n');
  const std::size_t column = newline == std::string_view::npos ? last + 1 : last - newline;
  return fmt::format(" at line {} column {}", line, column);
}

// RapidJSON reads a NUL byte as the end of the text, so the end is where the stream stopped,
// not where a NUL was seen.
std::string syntax_error(std::string_view text, std::size_t stopped_at,
                         const rapidjson::ParseResult& result) {
  const bool at_end = stopped_at >= text.size();
  const std::size_t offset = std::min(result.Offset(), text.size());
  const unsigned char offending =
      offset < text.size() ? static_cast<unsigned char>(text[offset]) : 0;
  const SyntaxMessages messages = syntax_messages(result.Code(), offending);
  if (at_end) {
    // A value missing right after an opening bracket means the list itself is unfinished.
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    const bool list_just_opened = result.Code() == rapidjson::kParseErrorValueInvalid &&
                                  last != std::string_view::npos && text[last] == '[';
    return std::string(list_just_opened ? "EOF while parsing a list" : messages.at_end) +
           position_suffix(text, text.size());
  }
  return std::string(messages.inside) + position_suffix(text, offset + 1);
}

}  // namespace vemo::json
