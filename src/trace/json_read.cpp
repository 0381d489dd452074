#include "trace/json_read.hpp"

#include <algorithm>
#include <limits>

#include <fmt/format.h>
#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

#include "core/text.hpp"
#include "trace/json_messages.hpp"
#include "trace/json_stream.hpp"

namespace vemo::json {

namespace detail {

namespace {

// Nesting deeper than this is refused, so hostile input cannot exhaust the stack of the
// recursive parser.
constexpr std::size_t MAX_DEPTH = 128;

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

constexpr IntegerRange U8{std::numeric_limits<std::uint8_t>::max(), "u8"};
constexpr IntegerRange U32{std::numeric_limits<std::uint32_t>::max(), "u32"};

// The value of unsigned decimal `digits`, or nothing past `max`.
std::optional<std::uint32_t> parse_digits(std::string_view digits, std::uint32_t max) {
  std::uint64_t value = 0;
  for (const char c : digits) {
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > max) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

using U32Triple = std::array<std::uint32_t, 3>;

template <class T>
constexpr bool is_optional_v = false;
template <class T>
constexpr bool is_optional_v<std::optional<T>> = true;

bool is_optional(const FieldInfo& field) {
  return std::visit([](const auto& empty) { return is_optional_v<std::decay_t<decltype(empty)>>; },
                    field.empty);
}

// Receives RapidJSON's events and assembles records, stopping at the first problem.
class RecordHandler {
 public:
  RecordHandler(const TextStream& stream, std::string_view text, std::string_view record_name,
                std::span<const FieldInfo> fields, const RecordSink& sink)
      : stream_(stream), text_(text), record_name_(record_name), fields_(fields), sink_(sink) {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      if (!is_optional(fields_[i])) min_elements_ = i + 1;
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
    if (++depth_ > MAX_DEPTH) return fail("recursion limit exceeded");
    return true;
  }

  void leave() { --depth_; }

  void begin_record(Place place) {
    values_.clear();
    for (const FieldInfo& field : fields_) values_.push_back(field.empty);
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
        if (triple_count_ < U32Triple{}.size()) {
          return fail(fmt::format("invalid length {}, expected an array of length {}",
                                  triple_count_, U32Triple{}.size()));
        }
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
      if (!seen_[i] && !is_optional(fields_[i])) {
        return fail(fmt::format("missing field `{}`", fields_[i].name));
      }
    }
    finish_record();
    return true;
  }

  // Takes `token` as the value of field `index` and returns to the record, or enters a triple.
  bool take_field(std::size_t index, const Token& token) {
    return std::visit([&](auto& slot) { return take(slot, token); }, values_[index]);
  }

  // One reading rule per field type.
  bool take(std::uint8_t& slot, const Token& token) {
    return take_integer(token, U8,
                        [&](std::uint32_t value) { slot = static_cast<std::uint8_t>(value); });
  }
  bool take(std::uint32_t& slot, const Token& token) {
    return take_integer(token, U32, [&](std::uint32_t value) { slot = value; });
  }
  bool take(std::optional<std::uint32_t>& slot, const Token& token) {
    if (token.kind == TokenKind::Null) {
      place_ = record_place_;
      return true;
    }
    return take_integer(token, U32, [&](std::uint32_t value) { slot = value; });
  }
  bool take(std::string& slot, const Token& token) {
    if (token.kind != TokenKind::String) return fail_type(token, "a string");
    slot = std::string(token.text);
    place_ = record_place_;
    return true;
  }
  bool take(U32Triple& slot, const Token& token) {
    if (token.kind != TokenKind::ArrayStart) {
      return fail_type(token, fmt::format("an array of length {}", slot.size()));
    }
    triple_count_ = 0;
    place_ = Place::Triple;
    return true;
  }

  template <class Store>
  bool take_integer(const Token& token, const IntegerRange& range, Store store) {
    const auto value = integer_value(token, range);
    if (!value) return false;
    store(*value);
    place_ = record_place_;
    return true;
  }

  bool take_triple_element(const Token& token) {
    auto& triple = std::get<U32Triple>(values_[current_]);
    if (triple_count_ == triple.size()) return fail("trailing characters");
    const auto value = integer_value(token, U32);
    if (!value) return false;
    triple[triple_count_++] = *value;
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
  std::size_t triple_count_ = 0;
  std::size_t skip_depth_ = 0;
  std::optional<std::string> failure_;
};

}  // namespace

Status read_record_array(std::string_view text, std::string_view record_name,
                         std::span<const FieldInfo> fields, const RecordSink& sink) {
  constexpr unsigned FLAGS =
      rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag;
  TextStream stream(text);
  RecordHandler handler(stream, text, record_name, fields, sink);
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<FLAGS>(stream, handler);
  if (result.IsError()) {
    if (result.Code() == rapidjson::kParseErrorTermination && handler.failure()) {
      return fail(*handler.failure());
    }
    return fail(syntax_error(text, stream.Tell(), result));
  }
  if (stream.Tell() < text.size()) {
    return fail("trailing characters" + position_suffix(text, stream.Tell() + 1));
  }
  return {};
}

}  // namespace detail

}  // namespace vemo::json
