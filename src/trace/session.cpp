#include "trace/session.hpp"

#include <utility>

#include <fmt/format.h>

#include "core/file_io.hpp"
#include "core/text.hpp"
#include "trace/json_read.hpp"

namespace vemo {

namespace {

constexpr json::Field<SessionLaunch> SESSION_LAUNCH_FIELDS[] = {
    {"launch", &SessionLaunch::launch}, {"kernel", &SessionLaunch::kernel},
    {"file", &SessionLaunch::file},     {"grid", &SessionLaunch::grid},
    {"block", &SessionLaunch::block},
};
constexpr json::RecordType<SessionLaunch> SESSION_LAUNCH{"SessionLaunch", SESSION_LAUNCH_FIELDS};

}  // namespace

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.ends_with('/')) return dir + name;
  return dir + "/" + name;
}

Result<Session> load_session(const std::string& dir) {
  const std::string manifest = join_path(dir, "session.json");
  auto text = read_text_file(manifest);
  if (!text) {
    return fail(
        std::move(text.error())
            .context(fmt::format("Failed to read session manifest: {}", lossy_utf8(manifest))));
  }
  auto launches = json::read_records(*text, SESSION_LAUNCH);
  if (!launches)
    return fail(std::move(launches.error()).context("Failed to parse session manifest"));
  return Session{.dir = dir, .launches = std::move(*launches)};
}

std::string session_trace_path(const Session& session, const SessionLaunch& launch) {
  if (launch.file.starts_with('/')) return launch.file;
  return join_path(session.dir, launch.file);
}

Result<Trace> load_session_trace(const Session& session, const SessionLaunch& launch) {
  return load_trace(session_trace_path(session, launch));
}

}  // namespace vemo
