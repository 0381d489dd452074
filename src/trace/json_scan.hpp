#pragma once
// The quick reading of record arrays in their common shape: well-formed, strings without
// escapes, every integer within its field's range, unknown keys with values of moderate size. It
// reads the text through a window that may hold only a part of it, and declines anything else, so
// that the strict reader (json_read.hpp) gives every verdict on the rest: its errors and positions.
// What this accepts, the strict reader reads to the same records.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "trace/json_read.hpp"

namespace vemo::json {

// A text seen through a window: all of it at once, or a file read front to back in chunks.
class TextWindow {
 public:
  static constexpr std::size_t CHUNK_SIZE = std::size_t{1} << 20;

  explicit TextWindow(std::string_view text) : whole_(text) {}
  // Reads `fd` from its current offset on, `chunk_size` bytes at a time at most.
  explicit TextWindow(int fd, std::size_t chunk_size = CHUNK_SIZE);

  // The bytes from the first kept one to the last one read.
  std::string_view view() const;
  // Keeps the bytes of `view()` from `keep` on and reads more after them: false when none came
  // (the end of the text, or a read error).
  bool refill(std::size_t keep);
  // Whether a read failed: the text seen is then not the whole text.
  bool failed() const { return failed_; }

 private:
  std::string_view whole_;
  int fd_ = -1;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool failed_ = false;
};

namespace scan {

// The outcome of reading one piece: done, more text needed to tell, or declined.
enum class Step : std::uint8_t { Done, More, Decline };

// A position in the window and the window's end.
struct Cursor {
  const char* at;
  const char* end;
};

// Skips JSON white space; More when it runs to the end of the window.
Step skip_space(Cursor& cursor);
// Takes the byte `expected` after white space.
Step expect(Cursor& cursor, char expected);
// A string without escapes or control characters, and of valid UTF-8; `text` is its content.
Step string(Cursor& cursor, std::string_view& text);
// A JSON integer from 0 to `max`, written without fraction or exponent.
Step integer(Cursor& cursor, std::uint32_t max, std::uint32_t& value);
// The literal `word` (true, false, null).
Step literal(Cursor& cursor, std::string_view word);
// Any well-formed value, after white space, in the common shape (strings without escapes,
// numbers of moderate length, little nesting).
Step skip_value(Cursor& cursor);

// Reads the values of `type`'s fields into a record that is reused from one record to the next.
template <class Record>
class RecordScanner {
 public:
  explicit RecordScanner(const RecordType<Record>& type) : type_(type) {
    for (std::size_t i = 0; i < type_.fields.size(); ++i) {
      if (!is_optional(type_.fields[i])) {
        required_ |= bit(i);
        min_elements_ = i + 1;
      }
    }
  }

  // Fields beyond what a mask of seen keys holds are left to the strict reader.
  bool usable() const { return type_.fields.size() <= 64; }

  // One record in object or array form, starting at the cursor (white space skipped).
  Step record(Cursor& cursor, Record& record) const {
    for (const auto& field : type_.fields) reset_optional(record, field);
    if (cursor.at == cursor.end) return Step::More;
    const char opening = *cursor.at++;
    if (opening == '{') return object(cursor, record);
    if (opening == '[') return array(cursor, record);
    return Step::Decline;
  }

 private:
  static std::uint64_t bit(std::size_t index) { return std::uint64_t{1} << index; }

  static bool is_optional(const Field<Record>& field) {
    return std::visit(
        [](auto member) {
          using T = std::remove_reference_t<decltype(std::declval<Record&>().*member)>;
          return std::is_same_v<T, std::optional<std::uint32_t>>;
        },
        field.member);
  }

  static void reset_optional(Record& record, const Field<Record>& field) {
    std::visit(
        [&](auto member) {
          using T = std::remove_reference_t<decltype(record.*member)>;
          if constexpr (std::is_same_v<T, std::optional<std::uint32_t>>) (record.*member).reset();
        },
        field.member);
  }

  Step object(Cursor& cursor, Record& record) const {
    std::uint64_t seen = 0;
    for (;;) {
      std::string_view key;
      if (Step step = skip_space(cursor); step != Step::Done) return step;
      if (*cursor.at++ != '"') return Step::Decline;
      if (Step step = string(cursor, key); step != Step::Done) return step;
      if (Step step = expect(cursor, ':'); step != Step::Done) return step;
      const std::size_t index = field_index(key);
      if (index == type_.fields.size()) {
        // An unknown key: its value is skipped.
        if (Step step = skip_value(cursor); step != Step::Done) return step;
      } else {
        if ((seen & bit(index)) != 0) return Step::Decline;
        seen |= bit(index);
        if (Step step = value(cursor, record, type_.fields[index]); step != Step::Done) return step;
      }
      if (Step step = skip_space(cursor); step != Step::Done) return step;
      const char next = *cursor.at++;
      if (next == '}') return (seen & required_) == required_ ? Step::Done : Step::Decline;
      if (next != ',') return Step::Decline;
    }
  }

  Step array(Cursor& cursor, Record& record) const {
    for (std::size_t index = 0;; ++index) {
      if (index == type_.fields.size()) return Step::Decline;
      if (Step step = value(cursor, record, type_.fields[index]); step != Step::Done) return step;
      if (Step step = skip_space(cursor); step != Step::Done) return step;
      const char next = *cursor.at++;
      if (next == ']') return index + 1 >= min_elements_ ? Step::Done : Step::Decline;
      if (next != ',') return Step::Decline;
    }
  }

  std::size_t field_index(std::string_view key) const {
    std::size_t index = 0;
    while (index < type_.fields.size() && type_.fields[index].name != key) ++index;
    return index;
  }

  // The value of `field`, after white space.
  Step value(Cursor& cursor, Record& record, const Field<Record>& field) const {
    if (Step step = skip_space(cursor); step != Step::Done) return step;
    return std::visit([&](auto member) { return take(cursor, record.*member); }, field.member);
  }

  static Step take(Cursor& cursor, std::uint8_t& slot) {
    std::uint32_t value = 0;
    const Step step = integer(cursor, 0xff, value);
    slot = static_cast<std::uint8_t>(value);
    return step;
  }
  static Step take(Cursor& cursor, std::uint32_t& slot) {
    return integer(cursor, 0xffffffff, slot);
  }
  static Step take(Cursor& cursor, std::optional<std::uint32_t>& slot) {
    if (*cursor.at == 'n') return literal(cursor, "null");
    std::uint32_t value = 0;
    const Step step = integer(cursor, 0xffffffff, value);
    slot = value;
    return step;
  }
  static Step take(Cursor& cursor, std::string& slot) {
    std::string_view text;
    if (*cursor.at++ != '"') return Step::Decline;
    const Step step = string(cursor, text);
    slot.assign(text);
    return step;
  }
  static Step take(Cursor& cursor, std::array<std::uint32_t, 3>& slot) {
    if (*cursor.at++ != '[') return Step::Decline;
    for (std::size_t i = 0; i < slot.size(); ++i) {
      if (Step step = skip_space(cursor); step != Step::Done) return step;
      if (Step step = integer(cursor, 0xffffffff, slot[i]); step != Step::Done) return step;
      if (Step step = expect(cursor, i + 1 < slot.size() ? ',' : ']'); step != Step::Done) {
        return step;
      }
    }
    return Step::Done;
  }

  const RecordType<Record>& type_;
  std::uint64_t required_ = 0;
  std::size_t min_elements_ = 0;
};

// Where the array reader stands between records.
enum class Stage : std::uint8_t { Opening, FirstRecord, NextRecord, Separator, Tail };

// Reads the step of `stage` at the cursor; moves `stage` on and sets `has_record` when a record
// was read.
template <class Record>
Step array_step(Cursor& cursor, Stage& stage, const RecordScanner<Record>& scanner, Record& record,
                bool& has_record) {
  if (Step step = skip_space(cursor); step != Step::Done) return step;
  switch (stage) {
    case Stage::Opening:
      if (*cursor.at++ != '[') return Step::Decline;
      stage = Stage::FirstRecord;
      return Step::Done;
    case Stage::FirstRecord:
      if (*cursor.at == ']') {
        ++cursor.at;
        stage = Stage::Tail;
        return Step::Done;
      }
      [[fallthrough]];
    case Stage::NextRecord:
      if (Step step = scanner.record(cursor, record); step != Step::Done) return step;
      has_record = true;
      stage = Stage::Separator;
      return Step::Done;
    case Stage::Separator: {
      const char next = *cursor.at++;
      if (next != ',' && next != ']') return Step::Decline;
      stage = next == ',' ? Stage::NextRecord : Stage::Tail;
      return Step::Done;
    }
    case Stage::Tail:
      break;
  }
  return Step::Decline;  // only white space may follow the array
}

}  // namespace scan

// Reads the text of `window` as an array of records of `type`, handing each record to `take` in
// document order, and tells whether it could: false means declined, with some records possibly
// handed over already; the strict reader then reads the text again from its start.
template <class Record, class Take>
bool scan_records(TextWindow& window, const RecordType<Record>& type, Take&& take) {
  using scan::Step;
  const scan::RecordScanner<Record> scanner(type);
  if (!scanner.usable()) return false;
  Record record{};
  scan::Stage stage = scan::Stage::Opening;
  for (std::string_view view = window.view();;) {
    scan::Cursor cursor{view.data(), view.data() + view.size()};
    for (;;) {
      const char* start = cursor.at;
      bool has_record = false;
      const Step step = scan::array_step(cursor, stage, scanner, record, has_record);
      if (step == Step::Decline) return false;
      if (step == Step::More) {
        // A tail of white space that reaches the end of the text ends a good document.
        if (!window.refill(static_cast<std::size_t>(start - view.data()))) {
          return stage == scan::Stage::Tail && !window.failed();
        }
        break;
      }
      if (has_record) take(std::as_const(record));
    }
    view = window.view();
  }
}

}  // namespace vemo::json
