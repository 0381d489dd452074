// Control characters in names from the inputs (trace headers, site maps, session manifests, the
// command line) reach standard output and standard error only escaped, through the real binary.

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "support/process.hpp"
#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

namespace fs = std::filesystem;

// A window title set and rung in, DEL and a C1 control sequence introducer; "2J" after it would
// clear the screen.
const std::string RAW =
    "\x1b]0;X\x07\x7f\xC2\x9b"
    "2J";
const std::string SHOWN = "\\x1b]0;X\\x07\\x7f\\u009b2J";
// The same characters as JSON escapes, for the site map and the manifests.
const std::string IN_JSON = "\\u001b]0;X\\u0007\\u007f\\u009b2J";

// Bytes that would drive a terminal: C0 controls but tab and line feed, DEL, C1 controls.
std::optional<std::size_t> first_raw_control(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if ((b < 0x20 && b != '\t' && b != '\n') || b == 0x7f) return i;
    if (b == 0xC2 && i + 1 < text.size() &&
        (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80)
      return i;
  }
  return std::nullopt;
}

// `text` without the report's own styling sequences (ESC [ digits and semicolons m).
std::string without_styling(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i, 2) == "\x1b[") {
      std::size_t end = i + 2;
      while (end < text.size() &&
             (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == ';')) {
        ++end;
      }
      if (end < text.size() && text[end] == 'm') {
        i = end;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::string site_entry(int site, int line, int event_type) {
  return "{\"site_id\":" + std::to_string(site) + ",\"filename\":\"f" + IN_JSON +
         ".cu\",\"function\":\"g" + IN_JSON + "\",\"line\":" + std::to_string(line) +
         ",\"column\":1,\"event_type\":" + std::to_string(event_type) + "}";
}

std::string launch_entry(const std::string& kernel, int launch, const std::string& file,
                         const std::string& grid = "[1,1,1]") {
  return "{\"launch\":" + std::to_string(launch) + ",\"kernel\":\"" + kernel + "\",\"file\":\"" +
         file + "\",\"grid\":" + grid + ",\"block\":[32,1,1]}";
}

// Every input carries RAW in its names. Warp 0 diverges in its branch at site 0x10, warp 1 in
// its path (0x20 against 0x30); trace A records history at site 0x10.
class CliControls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new fs::path(scratch_dir());
    TraceBuilder a;
    a.kernel("k" + RAW, 0x1234)
        .shape(2, 4)
        .warp(0, {event(0x10, 0, 1), event(0x20)})
        .warp(1, {event(0x10, 0, 1), event(0x20)})
        .history(4, {{0, HistorySpec{{}, {history_entry(0x10, 7, 1)}}}});
    a.write(*dir_ / "a.trace");
    TraceBuilder b;
    b.kernel("k" + RAW, 0x1234)
        .shape(2, 4)
        .warp(0, {event(0x10, 0, 0), event(0x20)})
        .warp(1, {event(0x10, 0, 1), event(0x30)});
    b.write(*dir_ / "b.trace");
    TraceBuilder other = a;
    other.kernel("plain", 0x99);
    other.write(*dir_ / "other.trace");

    write_file(*dir_ / "sites.json", "[" + site_entry(16, 3, 0) + "," + site_entry(32, 4, 1) + "," +
                                         site_entry(48, 5, 1) + "]");
    write_file(*dir_ / "bad-sites.json", R"([{"site_id":1,"filename":"f","function":"g","line":")" +
                                             IN_JSON + R"(","column":1,"event_type":0}])");

    for (const char* side : {"sa", "sb"}) {
      fs::create_directory(*dir_ / side);
      a.write(*dir_ / side / "a.trace");
    }
    write_file(*dir_ / "sa" / "session.json",
               "[" + launch_entry("k" + IN_JSON, 0, "a.trace") + "," +
                   launch_entry("k" + IN_JSON, 1, "gone" + IN_JSON + ".trace") + "," +
                   launch_entry("u" + IN_JSON, 2, "a.trace") + "]");
    write_file(*dir_ / "sb" / "session.json",
               "[" + launch_entry("k" + IN_JSON, 0, "a.trace", "[2,1,1]") + "," +
                   launch_entry("k" + IN_JSON, 1, "a.trace") + "]");
  }

  static ProcessResult run(const std::vector<std::string>& args, ProcessOptions options = {}) {
    options.cwd = dir_->string();
    return run_vemo(args, options);
  }

  static const fs::path& dir() { return *dir_; }

 private:
  static inline fs::path* dir_ = nullptr;
};

TEST_F(CliControls, EveryInputSurfaceIsEscapedOnBothStreams) {
  struct Case {
    std::string what;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> out;  // fragments of standard output, in order
    std::vector<std::string> err;  // fragments of standard error, in order
    std::optional<std::string> argv0 = std::nullopt;
  };
  const std::string file = "f" + SHOWN + ".cu";
  const Case cases[] = {
      {"kernel name in the header block",
       {"-v", "a.trace", "b.trace"},
       1,
       {"\n=== Trace A ===\nKernel:     k" + SHOWN + "\n",
        "\n=== Trace B ===\nKernel:     k" + SHOWN + "\n"},
       {}},
      {"kernel name in the dump",
       {"--dump-b", "1", "a.trace", "b.trace"},
       0,
       {"=== Trace B ===\nKernel:     k" + SHOWN + "\n"},
       {}},
      {"kernel name in the mismatch warning",
       {"--force", "a.trace", "other.trace"},
       0,
       {},
       {"Warning: Kernel mismatch (--force): 'k" + SHOWN + "' vs 'plain'\n"}},
      {"kernel name in the mismatch error",
       {"a.trace", "other.trace"},
       1,
       {},
       {"Error: Kernel mismatch: 'k" + SHOWN +
        "' (0x0000000000001234) vs 'plain' (0x0000000000000099)\n"
        "Hint: use --force"}},
      {"file names in the listing",
       {"--map", "sites.json", "a.trace", "b.trace"},
       1,
       {"\nSite: 0x00000010 at " + file + ":3 (1 warps affected)\n",
        "    Trace A reached: 0x00000020 (" + file + ":4)\n",
        "    Trace B reached: 0x00000030 (" + file + ":5)\n"},
       {}},
      {"file names in the classification",
       {"--map", "sites.json", "--classify", "a.trace", "b.trace"},
       1,
       {"\n  Site 0x00000010 (" + file + ":3) → "},
       {}},
      {"file names in the value history",
       {"--map", "sites.json", "a.trace", "b.trace"},
       1,
       {"\n  Divergence at " + file + ":3 (warp 0)\n",
        "      [ -1] value=7          (" + file + ":3) seq=1\n"},
       {}},
      {"a site-map value in the error's cause",
       {"--map", "bad-sites.json", "a.trace", "b.trace"},
       1,
       {},
       {"Error: Failed to load site map: bad-sites.json\n\nCaused by:\n",
        "invalid type: string \"\\u{1b}]0;X\\u{7}\\x7f\\u009b2J\", expected u32"}},
      {"manifest names in the session sections",
       {"--session", "sa", "sb"},
       1,
       {"--- Kernel: k" + SHOWN + " (launch 0) ---\n",
        "--- Kernel: k" + SHOWN +
            " (launch 1) ---\n"
            "  ERROR: Failed to open trace file: sa/gone" +
            SHOWN + ".trace\n",
        "Warning: Unmatched launch in session A (not in B): u" + SHOWN + " (launch 2)\n"},
       {"Warning: Grid dim mismatch for k" + SHOWN + " (launch 0): [1, 1, 1] vs [2, 1, 1]\n"}},
      {"a trace path in the error and its causes",
       {"a.trace", "t" + RAW},
       1,
       {},
       {"Error: Failed to load trace B: t" + SHOWN +
        "\n\nCaused by:\n    0: Failed to open trace file: t" + SHOWN +
        "\n    1: No such file or directory (os error 2)\n"}},
      {"a session path in the error and its causes",
       {"--session", "s" + RAW, "sb"},
       1,
       {},
       {"Error: Failed to load session A: s" + SHOWN +
        "\n\nCaused by:\n    0: Failed to read session manifest: s" + SHOWN + "/session.json\n"}},
      {"export paths in the progress lines",
       {"--csv", "c" + RAW + ".csv", "--export-flamegraph", "e" + RAW + ".json", "a.trace",
        "b.trace"},
       1,
       {},
       {"CSV exported to: c" + SHOWN + ".csv\nFlamegraph exported to: e" + SHOWN + ".json\n"}},
      {"an argument in a usage error",
       {"--no-such" + RAW},
       2,
       {},
       {"error: unexpected argument '--no-such" + SHOWN + "' found\n"}},
      {"a value in a usage error",
       {"--limit", "1" + RAW, "a.trace", "b.trace"},
       2,
       {},
       {"error: invalid value '1" + SHOWN + "' for '--limit <MAX_DIVERGENCES>'"}},
      {"the program name in the usage line",
       {"--no-such"},
       2,
       {},
       {"Usage: v" + SHOWN + " [OPTIONS] <TRACE_A> <TRACE_B>\n"},
       "/bin/v" + RAW},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProcessOptions options;
    options.argv0 = c.argv0;
    const ProcessResult r = run(c.args, options);
    EXPECT_EQ(r.status, c.status) << r.err;
    for (const auto& [stream, text, fragments] :
         {std::tuple{"stdout", &r.out, &c.out}, std::tuple{"stderr", &r.err, &c.err}}) {
      EXPECT_EQ(first_raw_control(*text), std::nullopt) << stream << ":\n" << *text;
      std::size_t from = 0;
      for (const std::string& fragment : *fragments) {
        const std::size_t found = text->find(fragment, from);
        EXPECT_NE(found, std::string::npos) << stream << " lacks " << fragment << " in:\n" << *text;
        if (found != std::string::npos) from = found + fragment.size();
      }
    }
  }
  // The exports were written under the names given, raw.
  EXPECT_TRUE(fs::exists(dir() / ("c" + RAW + ".csv")));
  EXPECT_TRUE(fs::exists(dir() / ("e" + RAW + ".json")));
}

TEST_F(CliControls, StylingSequencesAreTheOnlyEscapesInAStyledReport) {
  ProcessOptions options;
  options.env = {{"CLICOLOR_FORCE", "1"}};
  const ProcessResult r =
      run({"--map", "sites.json", "--classify", "--history", "a.trace", "b.trace"}, options);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\x1b[1;32mf" + SHOWN + ".cu:3\x1b[0m"), std::string::npos) << r.out;
  EXPECT_EQ(first_raw_control(without_styling(r.out)), std::nullopt) << r.out;
}

TEST_F(CliControls, JsonKeepsItsOwnEscaping) {
  const ProcessResult r = run({"--json", "--map", "sites.json", "a.trace", "b.trace"});
  EXPECT_EQ(r.status, 1);
  // JSON escapes the C0 controls itself; DEL and C1 are plain characters there.
  EXPECT_NE(r.out.find("\"source_location\": \"f\\u001b]0;X\\u0007\x7f\xC2\x9b"
                       "2J.cu:g\\u001b]0;X\\u0007\x7f\xC2\x9b"
                       "2J:3:1\""),
            std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace vemo::testing
