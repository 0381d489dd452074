#pragma once
// The export files: kept off the run's inputs (an export path that names a trace or a site map
// would replace the file the run is reading), then created here and handed to their writer.

#include <functional>
#include <string>

#include "cli/args.hpp"
#include "core/error.hpp"
#include "core/sink.hpp"

namespace vemo {

// Fails when the --csv or --export-flamegraph path is the same file (device and inode, so
// another spelling, a hard link or a symbolic link counts too) as an input given on the
// command line. Paths that do not exist yet cannot be an input and pass.
Status refuse_exports_over_inputs(const Args& args);

// Creates (or truncates) the file at `path`, has `write` format into a sink over it and flushes
// that sink. Errors are the operating system's, unchanged: the creation's, or the first failed
// write's, after which what was written before it stays in the file.
Status write_export_file(const std::string& path, const std::function<void(OutputSink&)>& write);

}  // namespace vemo
