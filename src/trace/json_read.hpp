#pragma once
// Strict reading of JSON documents that are arrays of typed records. A record is written as an
// object (keys matched exactly, unknown keys skipped, no key twice) or as an array of its field
// values in declaration order. Every parse error ends with " at line {} column {}": the 1-based
// line and column of the last byte read when the problem was found, that is the last byte of the
// offending token or bracket, the offending byte of a syntax error, or the document's last byte
// when it ends too early (column 0 for an empty document).

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/error.hpp"

namespace vemo::json {

// What a field holds. The order matches the alternatives of `FieldMember`.
enum class FieldKind { U8, U32, OptionalU32, Text, U32Triple };

struct FieldInfo {
  std::string_view name;
  FieldKind kind;
};

// One field as read: nothing (an optional field left out or null), an integer, a string, or a
// triple of integers.
using FieldValue =
    std::variant<std::monostate, std::uint32_t, std::string, std::array<std::uint32_t, 3>>;

// Called once per record with one value per field, in declaration order.
using RecordSink = std::function<void(std::vector<FieldValue>&&)>;

// Parses `text` as an array of `record_name` records with `fields`. An optional field may be
// left out of an object, or at the end of an array form.
Status read_record_array(std::string_view text, std::string_view record_name,
                         std::span<const FieldInfo> fields, const RecordSink& sink);

// A record type declared once: its name and a table of named members.
template <class Record>
using FieldMember = std::variant<std::uint8_t Record::*, std::uint32_t Record::*,
                                 std::optional<std::uint32_t> Record::*, std::string Record::*,
                                 std::array<std::uint32_t, 3> Record::*>;

template <class Record>
struct Field {
  std::string_view name;
  FieldMember<Record> member;
};

template <class Record>
struct RecordType {
  std::string_view name;
  std::span<const Field<Record>> fields;
};

namespace detail {

inline void store(std::uint8_t& target, FieldValue&& value) {
  target = static_cast<std::uint8_t>(std::get<std::uint32_t>(value));
}
inline void store(std::uint32_t& target, FieldValue&& value) {
  target = std::get<std::uint32_t>(value);
}
inline void store(std::optional<std::uint32_t>& target, FieldValue&& value) {
  const auto* number = std::get_if<std::uint32_t>(&value);
  target = number == nullptr ? std::nullopt : std::optional(*number);
}
inline void store(std::string& target, FieldValue&& value) {
  target = std::get<std::string>(std::move(value));
}
inline void store(std::array<std::uint32_t, 3>& target, FieldValue&& value) {
  target = std::get<std::array<std::uint32_t, 3>>(value);
}

template <class Record>
FieldKind kind_of(const FieldMember<Record>& member) {
  static_assert(std::variant_size_v<FieldMember<Record>> ==
                static_cast<std::size_t>(FieldKind::U32Triple) + 1);
  return static_cast<FieldKind>(member.index());
}

}  // namespace detail

// Parses `text` as an array of records of `type`, in document order.
template <class Record>
Result<std::vector<Record>> read_records(std::string_view text, const RecordType<Record>& type) {
  std::vector<FieldInfo> infos;
  infos.reserve(type.fields.size());
  for (const auto& field : type.fields)
    infos.push_back({field.name, detail::kind_of(field.member)});

  std::vector<Record> records;
  auto status = read_record_array(text, type.name, infos, [&](std::vector<FieldValue>&& values) {
    Record record{};
    for (std::size_t i = 0; i < values.size(); ++i) {
      std::visit([&](auto member) { detail::store(record.*member, std::move(values[i])); },
                 type.fields[i].member);
    }
    records.push_back(std::move(record));
  });
  if (!status) return std::unexpected(std::move(status.error()));
  return records;
}

}  // namespace vemo::json
