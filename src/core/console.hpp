#pragma once
// Every byte for standard output and standard error goes through here: checked writes and
// the console styling rule.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "core/sink.hpp"

namespace vemo::console {

// Ignores SIGPIPE (a reader that goes away shows as a failed write) and SIGXFSZ (a file grown
// past the size limit shows as a failed write too) and takes the styling decision from the
// environment and whether standard output is a terminal.
void init();

// Styling is on when CLICOLOR_FORCE is set to anything but "0"; else off when NO_COLOR is set,
// CLICOLOR is "0" or standard output is not a terminal; else on.
bool decide_styling(const char* clicolor_force, const char* no_color, const char* clicolor,
                    bool stdout_is_terminal);
bool styling();
void set_styling(bool on);

// Standard output is buffered in one sink and flushed by `flush`, before every write to
// standard error and when the buffer grows large. A failed write ends the process with status
// 101 after "failed printing to {}: {}" on standard error.
void out(std::string_view text);
void err(std::string_view text);
void flush();
// The sink of standard output, for writers that format into it directly.
OutputSink& out_sink();

// Writes to standard output or standard error at once, ignoring a failure: for output whose
// exit status a closed stream must not change (help, version, usage errors).
void out_ignoring_failure(std::string_view text);
void err_ignoring_failure(std::string_view text);

template <class... A>
void print(fmt::format_string<A...> format, A&&... args) {
  out_sink().print(format, std::forward<A>(args)...);
}

template <class... A>
void eprint(fmt::format_string<A...> format, A&&... args) {
  err(fmt::format(format, std::forward<A>(args)...));
}

// Ends the process at once with status 101, after the internal-fault diagnostic.
[[noreturn]] void internal_fault(std::string_view what);

// While alive, both streams are collected into `out` and `err` instead of being written
// (for tests). Not nestable.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  std::string out;
  std::string err;

 private:
  friend OutputSink& out_sink();
  OutputSink out_sink_{out};
};

enum class Color {
  None = 0,
  Red = 31,
  Green = 32,
  Yellow = 33,
  Blue = 34,
  Magenta = 35,
  Cyan = 36,
  White = 37
};

struct Style {
  bool bold = false;
  bool dim = false;
  Color fg = Color::None;
};

inline constexpr Style BOLD{.bold = true};
inline constexpr Style DIM{.dim = true};
constexpr Style fg(Color c) {
  return Style{.fg = c};
}
constexpr Style bold(Color c) {
  return Style{.bold = true, .fg = c};
}

enum class Align { Left, Right };

// `text` styled when styling is on, else `text` itself.
std::string paint(std::string_view text, Style style);
// `text` filled with blanks to `width` characters, the fill inside the styling sequences.
std::string paint(std::string_view text, Style style, std::size_t width, Align align);

}  // namespace vemo::console
