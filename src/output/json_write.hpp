#pragma once
// Pretty-printed JSON output shared by the JSON reports and the Chrome-trace export, written
// straight into an output sink.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include <rapidjson/prettywriter.h>

#include "core/sink.hpp"

namespace vemo::json {

inline constexpr unsigned JSON_INDENT = 2;

// `text` as a quoted JSON string: quotation mark and reverse solidus escaped, control
// characters as \b, \t, \n, \f, \r or \u with four lower-case hexadecimal digits, every other
// byte unchanged.
void write_string(OutputSink& sink, std::string_view text);

// The byte stream RapidJSON writes structure and numbers to.
class SinkStream {
 public:
  using Ch = char;
  explicit SinkStream(OutputSink& sink) : sink_(&sink) {}
  void Put(char c) { sink_->put(c); }
  void Put(char c, std::size_t count) { sink_->put(c, count); }
  void Flush() {}

 private:
  OutputSink* sink_;
};

// Found by RapidJSON through argument-dependent lookup: indentation goes out as one run, not
// one character at a time.
inline void PutReserve(SinkStream& /*stream*/, std::size_t /*count*/) {}
inline void PutUnsafe(SinkStream& stream, char c) {
  stream.Put(c);
}
inline void PutN(SinkStream& stream, char c, std::size_t count) {
  stream.Put(c, count);
}

// RapidJSON lays out the document (indentation, commas, numbers); strings, keys included, are
// escaped by `write_string`, since RapidJSON writes upper-case hexadecimal digits.
class PrettySinkWriter : public rapidjson::PrettyWriter<SinkStream> {
 public:
  PrettySinkWriter(SinkStream& stream, OutputSink& sink) : PrettyWriter(stream), sink_(&sink) {}

  void string(std::string_view text) {
    PrettyPrefix(rapidjson::kStringType);
    write_string(*sink_, text);
  }

  // The number of arrays and objects open.
  std::size_t depth() const { return level_stack_.GetSize() / sizeof(Level); }

  // Writes the next value, of `type`, formatted whole by the caller in this writer's layout at
  // the current depth.
  template <class Compiled, class... A>
  void laid_out_value(rapidjson::Type type, const Compiled& format, A&&... args) {
    PrettyPrefix(type);
    sink_->print_compiled(format, std::forward<A>(args)...);
  }

 private:
  OutputSink* sink_;
};

// A pretty writer with a two-space indent over a sink.
class Writer {
 public:
  explicit Writer(OutputSink& sink) : stream_(sink), writer_(stream_, sink) {
    writer_.SetIndent(' ', JSON_INDENT);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void start_object() { writer_.StartObject(); }
  void end_object() { writer_.EndObject(); }
  void start_array() { writer_.StartArray(); }
  void end_array() { writer_.EndArray(); }

  void key(std::string_view name) { writer_.string(name); }
  void string(std::string_view text) { writer_.string(text); }
  void uint(std::uint64_t value) { writer_.Uint64(value); }
  void boolean(bool value) { writer_.Bool(value); }
  void number(double value) { writer_.Double(value); }

  template <class T>
  void member(std::string_view name, const T& value) {
    key(name);
    write_value(value);
  }

  std::size_t depth() const { return writer_.depth(); }
  // An object laid out by `format` as this writer would lay it out at the current depth, written
  // in one step: for records written by the million.
  template <class Compiled, class... A>
  void laid_out_object(const Compiled& format, A&&... args) {
    writer_.laid_out_value(rapidjson::kObjectType, format, std::forward<A>(args)...);
  }

 private:
  void write_value(std::string_view text) { string(text); }
  void write_value(const std::string& text) { string(text); }
  void write_value(const char* text) { string(text); }
  void write_value(bool value) { boolean(value); }
  void write_value(std::uint32_t value) { uint(value); }
  void write_value(std::uint64_t value) { uint(value); }
  void write_value(double value) { number(value); }

  SinkStream stream_;
  PrettySinkWriter writer_;
};

}  // namespace vemo::json
