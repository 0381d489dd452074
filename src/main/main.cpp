#include <cstdlib>
#include <exception>

#include "console.hpp"
#include "error.hpp"
#include "main/args.hpp"
#include "main/driver.hpp"

int main(int argc, char** argv) {
  vemo::console::init();
  try {
    const vemo::Args args = vemo::Args::parse(argc, argv);
    const vemo::Result<int> status = vemo::run_main(args);
    if (!status) {
      vemo::console::flush();
      vemo::console::err(vemo::error_report(status.error()));
      return 1;
    }
    vemo::console::flush();
    return *status;
  } catch (const std::exception& e) {
    vemo::console::internal_fault(e.what());
  } catch (...) {
    vemo::console::internal_fault("unknown exception");
  }
}
