#pragma once
// The main flow of a run: modes, loading, comparison, filters, exports and the one output.

#include "cli/args.hpp"
#include "core/error.hpp"

namespace vemo {

// Runs the whole flow and gives the exit status, or the error that ended the run.
Result<int> run_main(const Args& args);

}  // namespace vemo
