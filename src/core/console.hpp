#pragma once
// Every byte for standard output and standard error goes through here: checked writes and
// the rule that decides whether standard output is styled.

#include <string_view>

#include "core/sink.hpp"
#include "core/styling.hpp"

namespace vemo::console {

// Ignores SIGPIPE (a reader that goes away shows as a failed write) and SIGXFSZ (a file grown
// past the size limit shows as a failed write too).
void init();

// Styling is on when CLICOLOR_FORCE is set to anything but "0"; else off when NO_COLOR is set,
// CLICOLOR is "0" or standard output is not a terminal; else on.
bool decide_styling(const char* clicolor_force, const char* no_color, const char* clicolor,
                    bool stdout_is_terminal);
// The styling of standard output: `decide_styling` over this process's environment and
// standard output.
Styling stdout_styling();

// Standard output is buffered in one sink, which the driver hands to the writers, and flushed
// by `flush`, before every write to standard error and when the buffer grows large. A failed
// write ends the process with status 101 after "failed printing to {}: {}" on standard error.
OutputSink& out_sink();
void err(std::string_view text);
void flush();

// Writes to standard output or standard error at once, ignoring a failure: for output whose
// exit status a closed stream must not change (help, version, usage errors).
void out_ignoring_failure(std::string_view text);
void err_ignoring_failure(std::string_view text);

// Ends the process at once with status 101, after the internal-fault diagnostic.
[[noreturn]] void internal_fault(std::string_view what);

}  // namespace vemo::console
