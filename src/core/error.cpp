#include "core/error.hpp"

#include <cstring>

#include <fmt/format.h>

#include "core/text.hpp"

namespace vemo {

Error Error::system(int errnum) {
  char buffer[256];
  // GNU strerror_r returns a pointer that may or may not be `buffer`.
  const char* description = strerror_r(errnum, buffer, sizeof buffer);
  return Error(fmt::format("{} (os error {})", description, errnum));
}

Error Error::context(std::string message) const& {
  Error outer(std::move(message));
  outer.chain_.insert(outer.chain_.end(), chain_.begin(), chain_.end());
  return outer;
}

Error Error::context(std::string message) && {
  chain_.insert(chain_.begin(), std::move(message));
  return std::move(*this);
}

namespace {

// Writes `text` after `first_prefix`, continuing extra lines after `indent` spaces. Messages
// carry names and paths from the inputs, so their control characters are escaped.
void append_indented(std::string& out, std::string_view first_prefix, std::string_view text,
                     std::size_t indent) {
  out += first_prefix;
  for (char c : escape_controls(std::string(text))) {
    out += c;
    if (c == '\n') out.append(indent, ' ');
  }
  out += '\n';
}

}  // namespace

std::string error_report(const Error& error) {
  std::string out = "Error: ";
  append_escaped_controls(out, error.message());
  out += '\n';
  const auto causes = error.causes();
  if (causes.empty()) return out;
  out += "\nCaused by:\n";
  if (causes.size() == 1) {
    append_indented(out, "    ", causes.front(), 4);
    return out;
  }
  for (std::size_t i = 0; i < causes.size(); ++i) {
    append_indented(out, fmt::format("{:>5}: ", i), causes[i], 7);
  }
  return out;
}

}  // namespace vemo
