#pragma once
// Pretty-printed JSON output shared by the JSON reports and the Chrome-trace export.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include <rapidjson/prettywriter.h>

namespace vemo::json {

inline constexpr unsigned JSON_INDENT = 2;

// Collects the writer's output in a string. RapidJSON writes the hex digits of \u escapes in
// upper case; the output is expected with lower-case digits, so they are folded here. Only the
// writer produces backslashes (inside strings), so tracking its escapes is reliable.
class LowerHexStream {
 public:
  using Ch = char;

  void Put(char c) {
    if (hex_digits_left_ > 0) {
      --hex_digits_left_;
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    } else if (after_backslash_) {
      after_backslash_ = false;
      if (c == 'u') hex_digits_left_ = 4;
    } else if (c == '\\') {
      after_backslash_ = true;
    }
    text_.push_back(c);
  }
  void Flush() {}

  std::string take() { return std::move(text_); }

 private:
  std::string text_;
  bool after_backslash_ = false;
  int hex_digits_left_ = 0;
};

// A pretty writer with a two-space indent over its own output text.
class Writer {
 public:
  Writer() : writer_(stream_) { writer_.SetIndent(' ', JSON_INDENT); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void start_object() { writer_.StartObject(); }
  void end_object() { writer_.EndObject(); }
  void start_array() { writer_.StartArray(); }
  void end_array() { writer_.EndArray(); }

  void key(std::string_view name) { writer_.Key(name.data(), size_of(name)); }
  void string(std::string_view text) { writer_.String(text.data(), size_of(text)); }
  void uint(std::uint64_t value) { writer_.Uint64(value); }
  void boolean(bool value) { writer_.Bool(value); }
  void number(double value) { writer_.Double(value); }

  template <class T>
  void member(std::string_view name, const T& value) {
    key(name);
    write_value(value);
  }

  // The finished document, without a trailing newline.
  std::string take() { return stream_.take(); }

 private:
  // Texts written here are names, paths and messages, far below 4 GiB.
  static rapidjson::SizeType size_of(std::string_view text) {
    return static_cast<rapidjson::SizeType>(text.size());
  }

  void write_value(std::string_view text) { string(text); }
  void write_value(const std::string& text) { string(text); }
  void write_value(const char* text) { string(text); }
  void write_value(bool value) { boolean(value); }
  void write_value(std::uint32_t value) { uint(value); }
  void write_value(std::uint64_t value) { uint(value); }
  void write_value(double value) { number(value); }

  LowerHexStream stream_;
  rapidjson::PrettyWriter<LowerHexStream> writer_;
};

}  // namespace vemo::json
