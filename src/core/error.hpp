#pragma once
// Error values: a message and the chain of causes beneath it.

#include <expected>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

namespace vemo {

class Error {
 public:
  explicit Error(std::string message) : chain_{std::move(message)} {}

  // The system's description of errno value `errnum`, as "<description> (os error N)".
  static Error system(int errnum);

  const std::string& message() const { return chain_.front(); }
  // The causes, from the one just beneath the message inward.
  std::vector<std::string> causes() const { return {chain_.begin() + 1, chain_.end()}; }

  // This error as the cause of a new, outer message.
  Error context(std::string message) const&;
  Error context(std::string message) &&;

 private:
  std::vector<std::string> chain_;  // outermost first
};

// A value or the error that stopped it; a result left unread does not compile (-Werror).
template <class T>
class [[nodiscard]] Result : public std::expected<T, Error> {
 public:
  using std::expected<T, Error>::expected;
  Result(std::expected<T, Error> result) : std::expected<T, Error>(std::move(result)) {}
};
using Status = Result<void>;

inline std::unexpected<Error> fail(std::string message) {
  return std::unexpected(Error(std::move(message)));
}

template <class... A>
std::unexpected<Error> fail(fmt::format_string<A...> format, A&&... args) {
  return std::unexpected(Error(fmt::format(format, std::forward<A>(args)...)));
}

inline std::unexpected<Error> fail(Error error) {
  return std::unexpected(std::move(error));
}

// Puts `message` over the error of a failed result; a success passes unchanged.
template <class T>
Result<T> with_context(Result<T> result, std::string message) {
  if (!result) return std::unexpected(std::move(result.error()).context(std::move(message)));
  return result;
}

// The report written to standard error when a run ends with an error: "Error: ", the message,
// and under "Caused by:" the causes (indented, or numbered when there are several); ends in a
// line break. Control characters in the texts are escaped (`escape_controls`).
std::string error_report(const Error& error);

}  // namespace vemo
