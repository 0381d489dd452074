#pragma once
// The JSON text as RapidJSON's input stream, with the work-around for numbers beyond the range
// of a double. Internal to the JSON reader.

#include <cstddef>
#include <string_view>
#include <vector>

namespace vemo::json {

// The byte range of one number token.
struct NumberSpan {
  std::size_t start;
  std::size_t end;
};

// The numbers of `text`, outside strings, that RapidJSON might refuse although they are
// well-formed: it works out every number's value even when it hands numbers over as text, and
// fails past the range of a double. Up to the first syntax error this splits the text as
// RapidJSON does.
std::vector<NumberSpan> oversized_numbers(std::string_view text);

// Unlike RapidJSON's own string stream it is not copied while a token is read, so `Tell` inside
// a handler callback is the position just after the token. It shows each oversized number to
// RapidJSON as a single "0", so that a skipped value may hold one and a field holding one gets
// the usual type or range error; positions stay those of the text.
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
  std::string_view number_text(std::size_t length) const;

  // Output side, never used by a non-insitu reader.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

 private:
  bool at_oversized() const { return next_ < oversized_.size() && oversized_[next_].start == pos_; }

  std::string_view text_;
  std::vector<NumberSpan> oversized_;
  std::size_t next_ = 0;  // the first of `oversized_` not yet read
  std::size_t pos_ = 0;
};

}  // namespace vemo::json
