#pragma once
// Session directories: the session.json manifest of kernel launches and their trace files.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "trace/trace_file.hpp"

namespace vemo {

struct SessionLaunch {
  std::uint32_t launch = 0;
  std::string kernel;
  std::string file;
  std::array<std::uint32_t, 3> grid{};
  std::array<std::uint32_t, 3> block{};
};

struct Session {
  std::string dir;  // as the caller passed it
  std::vector<SessionLaunch> launches;
};

// `dir` and `name` joined with one "/" (none when `dir` is empty or already ends with "/").
std::string join_path(const std::string& dir, const std::string& name);

// Reads `dir`/session.json. Errors: "Failed to read session manifest: {}" over the read error,
// "Failed to parse session manifest" over the reader's error.
Result<Session> load_session(const std::string& dir);
// The launch's trace file: `file` when absolute, else joined to the session directory as written
// (no normalisation).
std::string session_trace_path(const Session& session, const SessionLaunch& launch);
// Loads that file; its errors are `load_trace`'s, unchanged.
Result<Trace> load_session_trace(const Session& session, const SessionLaunch& launch);

}  // namespace vemo
