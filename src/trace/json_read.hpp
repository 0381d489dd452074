#pragma once
// Strict reading of JSON documents that are arrays of typed records. A record is written as an
// object (keys matched exactly, unknown keys skipped, no key twice) or as an array of its field
// values in declaration order. Every parse error ends with " at line {} column {}": the 1-based
// line and column of the last byte read when the problem was found, that is the last byte of the
// offending token or bracket, the offending byte of a syntax error, or the document's last byte
// when it ends too early (column 0 for an empty document). The first problem wins.

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

// The types a record member may have; a field's kind is its member's type. A new kind is a new
// type here and its reading rule in the record grammar. An optional member may be left out of
// an object, or at the end of an array form, and may be null.
using FieldValue = std::variant<std::uint8_t, std::uint32_t, std::optional<std::uint32_t>,
                                std::string, std::array<std::uint32_t, 3>>;

template <class Record, class Value>
struct MemberPointers;
template <class Record, class... T>
struct MemberPointers<Record, std::variant<T...>> {
  using type = std::variant<T Record::*...>;
};

// A pointer to a member of `Record` of one of the field types.
template <class Record>
using FieldMember = typename MemberPointers<Record, FieldValue>::type;

template <class Record>
struct Field {
  std::string_view name;
  FieldMember<Record> member;
};

// A record type declared once: its name and a table of named members.
template <class Record>
struct RecordType {
  std::string_view name;
  std::span<const Field<Record>> fields;
};

namespace detail {

struct FieldInfo {
  std::string_view name;
  FieldValue empty;  // of the member's type, and the value of an optional field left out
};

// Called once per record with one value per field, in declaration order, each of its field's
// type.
using RecordSink = std::function<void(std::vector<FieldValue>&&)>;

Status read_record_array(std::string_view text, std::string_view record_name,
                         std::span<const FieldInfo> fields, const RecordSink& sink);

template <class Record, class T>
FieldValue empty_value(T Record::*) {
  return FieldValue(std::in_place_type<T>);
}

}  // namespace detail

// Parses `text` as an array of records of `type`, handing each record to `take` in document
// order. Records before the first problem have been handed over when it is reported.
template <class Record, class Take>
Status for_each_record(std::string_view text, const RecordType<Record>& type, Take&& take) {
  std::vector<detail::FieldInfo> infos;
  infos.reserve(type.fields.size());
  for (const auto& field : type.fields) {
    infos.push_back({field.name, std::visit([](auto member) { return detail::empty_value(member); },
                                            field.member)});
  }
  return detail::read_record_array(text, type.name, infos, [&](std::vector<FieldValue>&& values) {
    Record record{};
    for (std::size_t i = 0; i < values.size(); ++i) {
      std::visit(
          [&](auto member) {
            using T = std::remove_reference_t<decltype(record.*member)>;
            record.*member = std::get<T>(std::move(values[i]));
          },
          type.fields[i].member);
    }
    take(std::move(record));
  });
}

// Parses `text` as an array of records of `type`, in document order.
template <class Record>
Result<std::vector<Record>> read_records(std::string_view text, const RecordType<Record>& type) {
  std::vector<Record> records;
  auto status =
      for_each_record(text, type, [&](Record&& record) { records.push_back(std::move(record)); });
  if (!status) return std::unexpected(std::move(status.error()));
  return records;
}

}  // namespace vemo::json
