#pragma once
// The record type the tests of the JSON readers read: one field of every kind.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "trace/json_read.hpp"

namespace vemo::testing {

// A record with one field of every kind, the optional one last.
struct Probe {
  std::uint32_t id = 0;
  std::string name;
  std::uint8_t kind = 0;
  std::array<std::uint32_t, 3> dims{};
  std::optional<std::uint32_t> rank;
  bool operator==(const Probe&) const = default;
};

inline constexpr json::Field<Probe> PROBE_FIELDS[] = {
    {"id", &Probe::id},     {"name", &Probe::name}, {"kind", &Probe::kind},
    {"dims", &Probe::dims}, {"rank", &Probe::rank},
};
inline constexpr json::RecordType<Probe> PROBE{"Probe", PROBE_FIELDS};

}  // namespace vemo::testing
