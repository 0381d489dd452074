// The session-manifest reader and the session comparison with its JSON report. The input is the
// manifest of session A, the manifest of session B, then two trace files that both session
// directories hold as "a.trace" and "b.trace".

#include <string>

#include "compare/sessions.hpp"
#include "fuzz_support.hpp"
#include "output/json_report.hpp"
#include "trace/session.hpp"

namespace {

std::string write_session(std::string_view name, std::string_view manifest,
                          std::string_view trace_a, std::string_view trace_b) {
  const std::string dir = vemo::fuzz::scratch_subdir(name);
  vemo::fuzz::write_scratch_file(std::string(name) + "/session.json", manifest);
  vemo::fuzz::write_scratch_file(std::string(name) + "/a.trace", trace_a);
  vemo::fuzz::write_scratch_file(std::string(name) + "/b.trace", trace_b);
  return dir;
}

// Only files inside the session directory are read: a manifest may name any path, and the
// target must not wander the machine (a FIFO there would block).
vemo::Result<vemo::Trace> load_local_trace(const vemo::Session& session,
                                           const vemo::SessionLaunch& launch) {
  if (launch.file.find('/') != std::string::npos) return vemo::fail("not a local file");
  return vemo::load_session_trace(session, launch);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = vemo::fuzz::split_parts({data, size}, 4);
  auto session_a = vemo::load_session(write_session("run_a", parts[0], parts[2], parts[3]));
  auto session_b = vemo::load_session(write_session("run_b", parts[1], parts[2], parts[3]));
  if (!session_a || !session_b) return 0;
  std::size_t diagnostic_bytes = 0;
  const auto diagnostics = [&](std::string_view line) { diagnostic_bytes += line.size(); };
  for (const bool values : {false, true}) {
    const vemo::CompareConfig config{.compare_values = values};
    const vemo::SessionDiff diff =
        vemo::compare_sessions(*session_a, *session_b, config, load_local_trace, diagnostics);
    for (const auto& threshold :
         {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{1}}) {
      const auto report = vemo::build_session_report(diff, threshold);
      const std::string text = vemo::fuzz::written(
          [&](vemo::OutputSink& out) { vemo::write_session_json(out, report); });
      vemo::fuzz::require_valid_json(text, "session JSON report");
    }
  }
  return 0;
}
