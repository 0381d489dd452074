#include "trace/json_read.hpp"

#include <algorithm>
#include <limits>

#include <fmt/format.h>
#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

#include "core/text.hpp"

namespace vemo::json {

namespace {

// Nesting deeper than this is refused, so hostile input cannot exhaust the stack of the
// recursive parser.
constexpr std::size_t kMaxDepth = 128;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

std::size_t skip_digits(std::string_view text, std::size_t i) {
  while (i < text.size() && is_digit(text[i])) ++i;
  return i;
}

// The byte range of one number token.
struct Span {
  std::size_t start;
  std::size_t end;
};

// Whether `run` is one well-formed JSON number that RapidJSON might refuse as too large: it
// works out every number's value even when it hands numbers over as text, and fails past the
// range of a double (an integer part of about 309 digits, a positive exponent beyond 308).
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

// The numbers of `text`, outside strings, that RapidJSON might refuse although they are
// well-formed. Up to the first syntax error this splits the text as RapidJSON does.
std::vector<Span> oversized_numbers(std::string_view text) {
  std::vector<Span> spans;
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

// The text as RapidJSON's input stream. Unlike its own string stream it is not copied while a
// token is read, so `Tell` inside a handler callback is the position just after the token. It
// shows each oversized number to RapidJSON as a single "0", so that a skipped value may hold one
// and a field holding one gets the usual type or range error; positions stay those of the text.
class TextStream {
 public:
  using Ch = char;
  explicit TextStream(std::string_view text) : text_(text), oversized_(oversized_numbers(text)) {}

  Ch Peek() const {
    if (pos_ >= text_.size()) return '\0';
    return at_oversized() ? '0' : text_[pos_];
  }
  Ch Take() {
    const Ch c = Peek();
    if (at_oversized()) {
      pos_ = oversized_[next_++].end;
    } else if (pos_ < text_.size()) {
      ++pos_;
    }
    return c;
  }
  std::size_t Tell() const { return pos_; }

  // The text of the number just read, which RapidJSON saw as `length` bytes.
  std::string_view number_text(std::size_t length) const {
    if (next_ > 0 && oversized_[next_ - 1].end == pos_) {
      const Span& span = oversized_[next_ - 1];
      return text_.substr(span.start, span.end - span.start);
    }
    return text_.substr(pos_ - length, length);
  }

  // Output side, never used by a non-insitu reader.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

 private:
  bool at_oversized() const { return next_ < oversized_.size() && oversized_[next_].start == pos_; }

  std::string_view text_;
  std::vector<Span> oversized_;
  std::size_t next_ = 0;  // the first of `oversized_` not yet read
  std::size_t pos_ = 0;
};

// " at line {} column {}" for the position after `consumed` bytes of `text`.
std::string position_suffix(std::string_view text, std::size_t consumed) {
  if (consumed == 0) return " at line 1 column 0";
  const std::size_t last = consumed - 1;
  const std::string_view before = text.substr(0, last);
  const auto line = 1 + std::count(before.begin(), before.end(), '\n');
  const std::size_t newline = before.rfind('\n');
  const std::size_t column = newline == std::string_view::npos ? last + 1 : last - newline;
  return fmt::format(" at line {} column {}", line, column);
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += fmt::format("\\u{{{:x}}}", static_cast<unsigned>(c));
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

enum class TokenKind { Null, Bool, Number, String, ArrayStart, ObjectStart };

// One value as it starts: a scalar with its text (a string decoded), or an opening bracket.
struct Token {
  TokenKind kind;
  std::string_view text;
};

bool is_integer_text(std::string_view number) {
  return number.find_first_of(".eE") == std::string_view::npos;
}

std::string describe(const Token& token) {
  switch (token.kind) {
    case TokenKind::Null:
      return "null";
    case TokenKind::Bool:
      return fmt::format("boolean `{}`", token.text);
    case TokenKind::Number:
      return fmt::format("{} `{}`", is_integer_text(token.text) ? "integer" : "floating point",
                         token.text);
    case TokenKind::String:
      return "string " + quoted(token.text);
    case TokenKind::ArrayStart:
      return "sequence";
    case TokenKind::ObjectStart:
      return "map";
  }
  return "value";
}

struct IntegerRange {
  std::uint32_t max;
  std::string_view name;
};

constexpr IntegerRange kU8{std::numeric_limits<std::uint8_t>::max(), "u8"};
constexpr IntegerRange kU32{std::numeric_limits<std::uint32_t>::max(), "u32"};

// The value of unsigned decimal `digits`, or nothing past `max`.
std::optional<std::uint32_t> parse_digits(std::string_view digits, std::uint32_t max) {
  std::uint64_t value = 0;
  for (const char c : digits) {
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > max) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// Receives RapidJSON's events and assembles records, stopping at the first problem.
class RecordHandler {
 public:
  RecordHandler(const TextStream& stream, std::string_view text, std::string_view record_name,
                std::span<const FieldInfo> fields, const RecordSink& sink)
      : stream_(stream), text_(text), record_name_(record_name), fields_(fields), sink_(sink) {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      if (fields_[i].kind != FieldKind::OptionalU32) min_elements_ = i + 1;
    }
  }

  const std::optional<std::string>& failure() const { return failure_; }

  bool Null() { return on_value({TokenKind::Null, {}}); }
  bool Bool(bool value) { return on_value({TokenKind::Bool, value ? "true" : "false"}); }
  bool RawNumber(const char*, rapidjson::SizeType length, bool) {
    return on_value({TokenKind::Number, stream_.number_text(length)});
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    const std::string_view value(text, length);
    if (!is_valid_utf8(value)) return fail("lone surrogate in hex escape");
    return on_value({TokenKind::String, value});
  }
  bool StartArray() { return enter() && on_value({TokenKind::ArrayStart, {}}); }
  bool StartObject() { return enter() && on_value({TokenKind::ObjectStart, {}}); }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    const std::string_view key(text, length);
    if (!is_valid_utf8(key)) return fail("lone surrogate in hex escape");
    return on_key(key);
  }
  bool EndArray(rapidjson::SizeType) {
    leave();
    return on_end();
  }
  bool EndObject(rapidjson::SizeType) {
    leave();
    return on_end();
  }
  // Typed numbers never arrive while numbers are read as strings.
  bool Int(int) { return fail("unexpected number"); }
  bool Uint(unsigned) { return fail("unexpected number"); }
  bool Int64(std::int64_t) { return fail("unexpected number"); }
  bool Uint64(std::uint64_t) { return fail("unexpected number"); }
  bool Double(double) { return fail("unexpected number"); }

 private:
  // Where the reader stands: what the next event means.
  enum class Place {
    Document,      // before the top-level value
    Records,       // inside the top-level array, between records
    ObjectRecord,  // inside a record object, before a key or the end
    ObjectValue,   // after a known key, before its value
    ArrayRecord,   // inside a record array, before the next field value or the end
    Triple,        // inside a field's array of three integers
    Skip,          // inside the value of an unknown key
    Done,          // after the top-level array
  };

  bool fail(std::string message) {
    failure_ = message + position_suffix(text_, stream_.Tell());
    return false;
  }

  bool fail_type(const Token& token, std::string_view expected) {
    return fail(fmt::format("invalid type: {}, expected {}", describe(token), expected));
  }

  bool enter() {
    if (++depth_ > kMaxDepth) return fail("recursion limit exceeded");
    return true;
  }

  void leave() { --depth_; }

  void begin_record(Place place) {
    values_.assign(fields_.size(), FieldValue{});
    seen_.assign(fields_.size(), false);
    next_element_ = 0;
    record_place_ = place;
    place_ = place;
  }

  void finish_record() {
    sink_(std::move(values_));
    place_ = Place::Records;
  }

  bool on_value(const Token& token) {
    switch (place_) {
      case Place::Document:
        if (token.kind != TokenKind::ArrayStart) return fail_type(token, "a sequence");
        place_ = Place::Records;
        return true;
      case Place::Records:
        if (token.kind == TokenKind::ObjectStart) {
          begin_record(Place::ObjectRecord);
          return true;
        }
        if (token.kind == TokenKind::ArrayStart) {
          begin_record(Place::ArrayRecord);
          return true;
        }
        return fail_type(token, fmt::format("struct {}", record_name_));
      case Place::ObjectValue:
        return take_field(current_, token);
      case Place::ArrayRecord:
        if (next_element_ == fields_.size()) return fail("trailing characters");
        current_ = next_element_++;
        seen_[current_] = true;
        return take_field(current_, token);
      case Place::Triple:
        return take_triple_element(token);
      case Place::Skip:
        if (token.kind == TokenKind::ArrayStart || token.kind == TokenKind::ObjectStart) {
          ++skip_depth_;
        } else if (skip_depth_ == 0) {
          place_ = Place::ObjectRecord;
        }
        return true;
      case Place::ObjectRecord:
      case Place::Done:
        break;
    }
    return fail("unexpected value");
  }

  bool on_key(std::string_view key) {
    if (place_ == Place::Skip) return true;
    const auto field = std::find_if(fields_.begin(), fields_.end(),
                                    [&](const FieldInfo& info) { return info.name == key; });
    if (field == fields_.end()) {
      place_ = Place::Skip;
      skip_depth_ = 0;
      return true;
    }
    current_ = static_cast<std::size_t>(field - fields_.begin());
    if (seen_[current_]) return fail(fmt::format("duplicate field `{}`", key));
    seen_[current_] = true;
    place_ = Place::ObjectValue;
    return true;
  }

  bool on_end() {
    switch (place_) {
      case Place::Records:
        place_ = Place::Done;
        return true;
      case Place::ObjectRecord:
        return finish_object_record();
      case Place::ArrayRecord:
        if (next_element_ < min_elements_) {
          return fail(fmt::format("invalid length {}, expected struct {} with {} elements",
                                  next_element_, record_name_, fields_.size()));
        }
        finish_record();
        return true;
      case Place::Triple:
        if (triple_count_ < triple_.size()) {
          return fail(fmt::format("invalid length {}, expected an array of length {}",
                                  triple_count_, triple_.size()));
        }
        values_[current_] = triple_;
        place_ = record_place_;
        return true;
      case Place::Skip:
        if (--skip_depth_ == 0) place_ = Place::ObjectRecord;
        return true;
      case Place::Document:
      case Place::ObjectValue:
      case Place::Done:
        break;
    }
    return fail("unexpected end");
  }

  bool finish_object_record() {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      if (!seen_[i] && fields_[i].kind != FieldKind::OptionalU32) {
        return fail(fmt::format("missing field `{}`", fields_[i].name));
      }
    }
    finish_record();
    return true;
  }

  // Takes `token` as the value of field `index` and returns to the record, or enters a triple.
  bool take_field(std::size_t index, const Token& token) {
    switch (fields_[index].kind) {
      case FieldKind::U8:
        return take_integer(index, token, kU8);
      case FieldKind::U32:
        return take_integer(index, token, kU32);
      case FieldKind::OptionalU32:
        if (token.kind == TokenKind::Null) {
          place_ = record_place_;
          return true;
        }
        return take_integer(index, token, kU32);
      case FieldKind::Text:
        if (token.kind != TokenKind::String) return fail_type(token, "a string");
        values_[index] = std::string(token.text);
        place_ = record_place_;
        return true;
      case FieldKind::U32Triple:
        if (token.kind != TokenKind::ArrayStart) {
          return fail_type(token, fmt::format("an array of length {}", triple_.size()));
        }
        triple_count_ = 0;
        place_ = Place::Triple;
        return true;
    }
    return fail("unexpected field kind");
  }

  bool take_integer(std::size_t index, const Token& token, const IntegerRange& range) {
    const auto value = integer_value(token, range);
    if (!value) return false;
    values_[index] = *value;
    place_ = record_place_;
    return true;
  }

  bool take_triple_element(const Token& token) {
    if (triple_count_ == triple_.size()) return fail("trailing characters");
    const auto value = integer_value(token, kU32);
    if (!value) return false;
    triple_[triple_count_++] = *value;
    return true;
  }

  // The integer written as `token`, exactly as its text says; fails on anything else.
  std::optional<std::uint32_t> integer_value(const Token& token, const IntegerRange& range) {
    if (token.kind != TokenKind::Number || !is_integer_text(token.text)) {
      fail_type(token, range.name);
      return std::nullopt;
    }
    const auto value =
        token.text.starts_with('-') ? std::nullopt : parse_digits(token.text, range.max);
    if (!value) {
      fail(fmt::format("invalid value: {}, expected {}", describe(token), range.name));
    }
    return value;
  }

  const TextStream& stream_;
  std::string_view text_;
  std::string_view record_name_;
  std::span<const FieldInfo> fields_;
  const RecordSink& sink_;
  std::size_t min_elements_ = 0;  // array forms may leave out the optional fields at the end

  Place place_ = Place::Document;
  Place record_place_ = Place::ObjectRecord;
  std::size_t depth_ = 0;
  std::vector<FieldValue> values_;
  std::vector<bool> seen_;
  std::size_t current_ = 0;
  std::size_t next_element_ = 0;
  std::array<std::uint32_t, 3> triple_{};
  std::size_t triple_count_ = 0;
  std::size_t skip_depth_ = 0;
  std::optional<std::string> failure_;
};

struct SyntaxMessages {
  std::string_view at_end;  // when the text ran out
  std::string_view inside;  // at an offending byte
};

SyntaxMessages syntax_messages(rapidjson::ParseErrorCode code, unsigned char offending) {
  using namespace rapidjson;
  constexpr std::string_view kControl =
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
      return {"EOF while parsing a string", offending < 0x20 ? kControl : "invalid escape"};
    case kParseErrorStringMissQuotationMark:
      return {"EOF while parsing a string", kControl};
    case kParseErrorStringInvalidEncoding:
      return {"EOF while parsing a string", "invalid unicode code point"};
    case kParseErrorNumberTooBig:
      return {"number out of range", "number out of range"};
    default:
      return {"syntax error", "syntax error"};
  }
}

// RapidJSON's error as this reader's message. RapidJSON reads a NUL byte as the end of the
// text, so the end is where the stream stopped, not where a NUL was seen.
std::string syntax_error(std::string_view text, const TextStream& stream,
                         const rapidjson::ParseResult& result) {
  const bool at_end = stream.Tell() >= text.size();
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

}  // namespace

Status read_record_array(std::string_view text, std::string_view record_name,
                         std::span<const FieldInfo> fields, const RecordSink& sink) {
  constexpr unsigned kFlags =
      rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag;
  TextStream stream(text);
  RecordHandler handler(stream, text, record_name, fields, sink);
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<kFlags>(stream, handler);
  if (result.IsError()) {
    if (result.Code() == rapidjson::kParseErrorTermination && handler.failure()) {
      return fail(*handler.failure());
    }
    return fail(syntax_error(text, stream, result));
  }
  if (stream.Tell() < text.size()) {
    return fail("trailing characters" + position_suffix(text, stream.Tell() + 1));
  }
  return {};
}

}  // namespace vemo::json
