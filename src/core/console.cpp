#include "core/console.hpp"

#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "core/error.hpp"
#include "core/file_io.hpp"
#include "core/text.hpp"

namespace vemo::console {

namespace {

[[noreturn]] void write_failed(const char* stream, const Error& error) {
  const std::string message = fmt::format("failed printing to {}: {}\n", stream, error.message());
  if (std::strcmp(stream, "stderr") != 0) (void)write_all(STDERR_FILENO, message);
  std::_Exit(101);
}

[[noreturn]] void stdout_failed(const Error& error) {
  write_failed("stdout", error);
}

void flush_out_buffer() {
  (void)out_sink().flush();  // a failure has ended the process already
}

}  // namespace

void init() {
  std::signal(SIGPIPE, SIG_IGN);
  // A write past the file-size limit (ulimit -f) then fails with EFBIG and is reported like any
  // other failed write, instead of killing the run.
  std::signal(SIGXFSZ, SIG_IGN);
}

bool decide_styling(const char* clicolor_force, const char* no_color, const char* clicolor,
                    bool stdout_is_terminal) {
  if (clicolor_force != nullptr && std::strcmp(clicolor_force, "0") != 0) return true;
  if (no_color != nullptr) return false;
  if (clicolor != nullptr && std::strcmp(clicolor, "0") == 0) return false;
  return stdout_is_terminal;
}

Styling stdout_styling() {
  return Styling(decide_styling(std::getenv("CLICOLOR_FORCE"), std::getenv("NO_COLOR"),
                                std::getenv("CLICOLOR"), ::isatty(STDOUT_FILENO) == 1));
}

OutputSink& out_sink() {
  static OutputSink sink(STDOUT_FILENO, stdout_failed);
  return sink;
}

void err(std::string_view text) {
  flush_out_buffer();  // keeps the two streams in the order they were written
  if (auto written = write_all(STDERR_FILENO, text); !written) {
    write_failed("stderr", written.error());
  }
}

void flush() {
  flush_out_buffer();
}

void out_ignoring_failure(std::string_view text) {
  std::string pending = out_sink().take_buffered();
  pending += text;
  (void)write_all(STDOUT_FILENO, pending);
}

void err_ignoring_failure(std::string_view text) {
  out_ignoring_failure({});
  (void)write_all(STDERR_FILENO, text);
}

void internal_fault(std::string_view what) {
  flush();
  // An exception's text may quote a path.
  const std::string message = fmt::format("internal fault: {}\n", controls_escaped(what));
  (void)write_all(STDERR_FILENO, message);
  std::_Exit(101);
}

}  // namespace vemo::console
