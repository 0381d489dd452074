// Process entry: the console first (SIGPIPE and SIGXFSZ ignored) and the fault handler for
// traces that shrink while mapped, then the command line and the run; an error, or memory that
// runs out, becomes the error report with status 1.

#include <cerrno>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "cli/args.hpp"
#include "cli/driver.hpp"
#include "core/console.hpp"
#include "core/error.hpp"
#include "trace/mapping_guard.hpp"

int main(int argc, char** argv) {
  vemo::console::init();
  // Before the worker pool and the viewer start: the viewer's own handlers chain to it.
  vemo::install_mapping_fault_handler();
  try {
    const auto args = vemo::parse_command_line(std::vector<std::string>(argv, argv + argc));
    if (!args) {
      // A stream that cannot take them must not turn their exit status into a write failure.
      vemo::console::out_ignoring_failure(args.error().out);
      vemo::console::err_ignoring_failure(args.error().err);
      return args.error().status;
    }
    const vemo::Result<int> status = vemo::run_main(*args);
    // Whatever the run wrote to standard output goes out before the report or the status.
    vemo::console::flush();
    if (!status) {
      vemo::console::err(vemo::error_report(status.error()));
      return 1;
    }
    return *status;
  } catch (const std::bad_alloc&) {
    // Memory ran out outside the reading of an input: an error like any other, after what the
    // run already wrote.
    vemo::console::flush();
    vemo::console::err(vemo::error_report(vemo::Error::system(ENOMEM)));
    return 1;
  } catch (const std::exception& e) {
    vemo::console::internal_fault(e.what());
  } catch (...) {
    vemo::console::internal_fault("unknown exception");
  }
}
