#pragma once
// Texts shared by the outputs: site ids, source locations and site labels.

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include <fmt/compile.h>
#include <fmt/format.h>

#include "trace/site_map.hpp"

namespace vemo {

// "0x" and eight lower-case hexadecimal digits. The formats here are compiled: the outputs
// write one of these texts per divergence.
inline std::string site_id_text(std::uint32_t site_id) {
  return fmt::format(FMT_COMPILE("0x{:08x}"), site_id);
}

// "file:function:line:column".
inline std::string location_text(const SourceLocation& location) {
  return fmt::format(FMT_COMPILE("{}:{}:{}:{}"), location.filename, location.function,
                     location.line, location.column);
}

// "file:line".
inline std::string file_line_text(const SourceLocation& location) {
  return fmt::format(FMT_COMPILE("{}:{}"), location.filename, location.line);
}

// "file:line" when the map (which may be null) knows the site, else its hexadecimal id.
inline std::string site_label(const SiteMap* site_map, std::uint32_t site_id) {
  const SourceLocation* location = find_location(site_map, site_id);
  return location != nullptr ? file_line_text(*location) : site_id_text(site_id);
}

// A snapshot operand's 32 bits: as a single-precision float with four decimals ("NaN", "inf",
// "-inf" when not finite), or as a signed 32-bit integer.
inline std::string operand_text(std::uint32_t bits, bool as_float) {
  if (!as_float) return fmt::format("{}", std::bit_cast<std::int32_t>(bits));
  const float value = std::bit_cast<float>(bits);
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  return fmt::format("{:.4f}", value);
}

}  // namespace vemo
