#pragma once
// Keeps the exports off the run's inputs: an export path that names a trace or a site map
// would replace the file the run is reading.

#include "cli/args.hpp"
#include "core/error.hpp"

namespace vemo {

// Fails when the --csv or --export-flamegraph path is the same file (device and inode, so
// another spelling, a hard link or a symbolic link counts too) as an input given on the
// command line. Paths that do not exist yet cannot be an input and pass.
Status refuse_exports_over_inputs(const Args& args);

}  // namespace vemo
