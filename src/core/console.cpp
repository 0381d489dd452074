#include "core/console.hpp"

#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "core/error.hpp"
#include "core/file_io.hpp"

namespace vemo::console {

namespace {

bool g_styling = false;
Capture* g_capture = nullptr;

[[noreturn]] void write_failed(const char* stream, const Error& error) {
  const std::string message = fmt::format("failed printing to {}: {}\n", stream, error.message());
  if (std::strcmp(stream, "stderr") != 0) (void)write_all(STDERR_FILENO, message);
  std::_Exit(101);
}

[[noreturn]] void stdout_failed(const Error& error) {
  write_failed("stdout", error);
}

OutputSink& stdout_sink() {
  static OutputSink sink(STDOUT_FILENO, stdout_failed);
  return sink;
}

void flush_out_buffer() {
  (void)stdout_sink().flush();  // a failure has ended the process already
}

}  // namespace

void init() {
  std::signal(SIGPIPE, SIG_IGN);
  // A write past the file-size limit (ulimit -f) then fails with EFBIG and is reported like any
  // other failed write, instead of killing the run.
  std::signal(SIGXFSZ, SIG_IGN);
  g_styling = decide_styling(std::getenv("CLICOLOR_FORCE"), std::getenv("NO_COLOR"),
                             std::getenv("CLICOLOR"), ::isatty(STDOUT_FILENO) == 1);
}

bool decide_styling(const char* clicolor_force, const char* no_color, const char* clicolor,
                    bool stdout_is_terminal) {
  if (clicolor_force != nullptr && std::strcmp(clicolor_force, "0") != 0) return true;
  if (no_color != nullptr) return false;
  if (clicolor != nullptr && std::strcmp(clicolor, "0") == 0) return false;
  return stdout_is_terminal;
}

bool styling() {
  return g_styling;
}
void set_styling(bool on) {
  g_styling = on;
}

OutputSink& out_sink() {
  return g_capture != nullptr ? g_capture->out_sink_ : stdout_sink();
}

void out(std::string_view text) {
  out_sink().write(text);
}

void err(std::string_view text) {
  if (g_capture != nullptr) {
    g_capture->err += text;
    return;
  }
  flush_out_buffer();  // keeps the two streams in the order they were written
  if (auto written = write_all(STDERR_FILENO, text); !written) {
    write_failed("stderr", written.error());
  }
}

void flush() {
  if (g_capture == nullptr) flush_out_buffer();
}

void out_ignoring_failure(std::string_view text) {
  if (g_capture != nullptr) {
    g_capture->out += text;
    return;
  }
  std::string pending = stdout_sink().take_buffered();
  pending += text;
  (void)write_all(STDOUT_FILENO, pending);
}

void err_ignoring_failure(std::string_view text) {
  if (g_capture != nullptr) {
    g_capture->err += text;
    return;
  }
  out_ignoring_failure({});
  (void)write_all(STDERR_FILENO, text);
}

void internal_fault(std::string_view what) {
  flush();
  const std::string message = fmt::format("internal fault: {}\n", what);
  (void)write_all(STDERR_FILENO, message);
  std::_Exit(101);
}

Capture::Capture() {
  g_capture = this;
}
Capture::~Capture() {
  g_capture = nullptr;
}

namespace {

std::string style_codes(Style style) {
  std::string codes;
  auto add = [&codes](int code) {
    if (!codes.empty()) codes += ';';
    codes += std::to_string(code);
  };
  if (style.bold) add(1);
  if (style.dim) add(2);
  if (style.fg != Color::None) add(static_cast<int>(style.fg));
  return codes;
}

std::size_t char_count(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

}  // namespace

std::string paint(std::string_view text, Style style) {
  const std::string codes = style_codes(style);
  if (!g_styling || codes.empty()) return std::string(text);
  return fmt::format("\x1b[{}m{}\x1b[0m", codes, text);
}

std::string paint(std::string_view text, Style style, std::size_t width, Align align) {
  const std::size_t n = char_count(text);
  if (n >= width) return paint(text, style);
  const std::string fill(width - n, ' ');
  const std::string filled =
      align == Align::Left ? std::string(text) + fill : fill + std::string(text);
  return paint(filled, style);
}

}  // namespace vemo::console
