#pragma once
// Texts shared by the JSON report and the file exports.

#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "site_map.hpp"

namespace vemo {

// "0x" and eight lower-case hexadecimal digits.
inline std::string site_id_text(std::uint32_t site_id) {
  return fmt::format("0x{:08x}", site_id);
}

// "file:function:line:column".
inline std::string location_text(const SourceLocation& location) {
  return fmt::format("{}:{}:{}:{}", location.filename, location.function, location.line,
                     location.column);
}

}  // namespace vemo
