// The viewer through the real binary: without a terminal, and inside a private tmux server.

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"
#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

namespace fs = std::filesystem;

// Four warps of four events each; only warp 2 of trace B takes its first branch the other way.
struct TracePair {
  std::string a;
  std::string b;
};

TracePair write_pair(const fs::path& dir) {
  const auto warp_events = [](std::uint8_t first_dir) {
    return std::vector<TraceEvent>{event(0x10, 3), event(0x11, 0, first_dir), event(0x12, 1),
                                   event(0x13, 4)};
  };
  TraceBuilder a;
  a.kernel("tui_kernel", 0x77).shape(4, 4);
  TraceBuilder b = a;
  for (std::uint32_t w = 0; w < 4; ++w) {
    a.warp(w, warp_events(1));
    b.warp(w, warp_events(w == 2 ? 0 : 1));
  }
  return {a.write(dir / "a.trace"), b.write(dir / "b.trace")};
}

bool on_path(const std::string& program) {
  return run_process("sh", {"-c", "command -v " + program}).status == 0;
}

std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Whether `stty -a` output lists `setting` as on (a word of its own, without a leading "-").
bool has_setting(const std::string& stty, const std::string& setting) {
  std::istringstream words(stty);
  std::string word;
  while (words >> word) {
    if (word == setting) return true;
  }
  return false;
}

TEST(CliTui, WithoutATerminalTheViewerCannotStart) {
  if (!on_path("setsid")) GTEST_SKIP() << "setsid is not installed";
  const fs::path dir = scratch_dir();
  const TracePair pair = write_pair(dir);
  // setsid leaves the child without a controlling terminal, standard input is /dev/null.
  const ProcessResult result =
      run_process("setsid", {"--wait", VEMO_DIFF_BIN, "--tui", pair.a, pair.b});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "Loading traces...\n"
            "Comparing 4 warps...\n"
            "Error: Failed to enable raw mode. Is this a TTY?\n\n"
            "Caused by:\n"
            "    No such device or address (os error 6)\n");
}

// A tmux server of its own, on a private socket, killed when the test ends.
class Tmux {
 public:
  explicit Tmux(const fs::path& dir)
      : socket_("vemo-tui-" + std::to_string(::getpid())),
        env_{{"LANG", "C.UTF-8"}, {"TMUX_TMPDIR", dir.string()}} {}
  ~Tmux() { tmux({"kill-server"}); }
  Tmux(const Tmux&) = delete;
  Tmux& operator=(const Tmux&) = delete;

  ProcessResult tmux(std::vector<std::string> args) const {
    args.insert(args.begin(), {"-u", "-L", socket_, "-f", "/dev/null"});
    ProcessOptions options;
    options.env = env_;
    return run_process("tmux", args, options);
  }

  std::string screen() const { return tmux({"capture-pane", "-p"}).out; }
  std::string pane(const std::string& format) const {
    return tmux({"display-message", "-p", format}).out;
  }
  void keys(const std::vector<std::string>& keys) const {
    std::vector<std::string> args{"send-keys"};
    args.insert(args.end(), keys.begin(), keys.end());
    tmux(args);
  }

  // Waits up to ten seconds for `text` to appear on the screen.
  bool wait_for(const std::string& text) const {
    return wait_until([&] { return screen().find(text) != std::string::npos; });
  }

  template <class Condition>
  static bool wait_until(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
  }

 private:
  std::string socket_;
  std::map<std::string, std::string> env_;
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::size_t code_points(const std::string& text) {
  std::size_t count = 0;
  for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return count;
}

TEST(CliTui, BrowsesAndQuitsInsideTmux) {
  if (!on_path("tmux")) GTEST_SKIP() << "tmux is not installed";
  const fs::path dir = scratch_dir();
  const TracePair pair = write_pair(dir);
  const fs::path status_file = dir / "status";
  const fs::path stty_file = dir / "stty";
  // After the viewer the pane stays open, showing the terminal as the viewer left it. Stale
  // LINES and COLUMNS in the environment do not size the frame.
  const std::string command =
      "LINES=10 COLUMNS=50 " + shell_quote(VEMO_DIFF_BIN) + " --tui " + shell_quote(pair.a) + " " +
      shell_quote(pair.b) + " 2>/dev/null; echo $? > " + shell_quote(status_file) + "; stty -a > " +
      shell_quote(stty_file) + "; echo viewer closed; sleep 60";
  Tmux tmux(dir);
  const ProcessResult started = tmux.tmux({"new-session", "-d", "-x", "120", "-y", "40", command});
  ASSERT_EQ(started.status, 0) << started.err;

  ASSERT_TRUE(tmux.wait_for("Trace A -- Warp 2")) << tmux.screen();
  EXPECT_NE(tmux.screen().find("Trace B -- Warp 2"), std::string::npos);
  EXPECT_NE(tmux.screen().find("┌ Detail "), std::string::npos);
  EXPECT_EQ(tmux.pane("#{alternate_on} #{cursor_flag}"), "1 0\n");
  const auto frame_fills = [&](std::size_t columns, std::size_t rows, const std::string& bottom) {
    return Tmux::wait_until([&] {
      const std::vector<std::string> screen = lines_of(tmux.screen());
      return screen.size() == rows && screen[rows - 1].starts_with(bottom) &&
             code_points(screen[0]) == columns && screen[0].ends_with("┐");
    });
  };
  EXPECT_TRUE(frame_fills(120, 40, " Warp 2/4 | Row 1/4")) << tmux.screen();

  tmux.keys({"]"});
  ASSERT_TRUE(tmux.wait_for("Trace A -- Warp 3")) << tmux.screen();
  // Ctrl+5 (byte 0x1d) types its digit into a warp jump; Enter (byte 0x0d) confirms one.
  tmux.keys({"/"});
  tmux.keys({"-H", "1d"});
  ASSERT_TRUE(tmux.wait_for("Jump to warp: 5_")) << tmux.screen();
  tmux.keys({"Escape"});
  ASSERT_TRUE(tmux.wait_for(" Warp 3/4 | Row 1/4")) << tmux.screen();
  tmux.keys({"/", "0", "Enter"});
  ASSERT_TRUE(tmux.wait_for("Trace A -- Warp 0")) << tmux.screen();
  tmux.keys({"j"});
  ASSERT_TRUE(tmux.wait_for("Row 2/4")) << tmux.screen();
  // q and Ctrl+J (byte 0x0a) typed into a search do not quit or confirm; Escape leaves it.
  tmux.keys({"?", "q"});
  tmux.keys({"-H", "0a"});
  ASSERT_TRUE(tmux.wait_for("Search: qj_")) << tmux.screen();
  tmux.keys({"Escape"});
  ASSERT_TRUE(tmux.wait_for("Row 2/4")) << tmux.screen();

  // A smaller terminal gets a frame of its own size, the bottom line on its last row.
  tmux.tmux({"resize-window", "-x", "100", "-y", "30"});
  ASSERT_TRUE(frame_fills(100, 30, " Warp 0/4 | Row 2/4")) << tmux.screen();
  // One far too small gets what fits, and the viewer goes on.
  tmux.tmux({"resize-window", "-x", "3", "-y", "2"});
  ASSERT_TRUE(Tmux::wait_until([&] {
    return lines_of(tmux.screen()) == std::vector<std::string>{"┐┌┐", "┘└┘"};
  })) << tmux.screen();
  tmux.tmux({"resize-window", "-x", "100", "-y", "30"});
  ASSERT_TRUE(frame_fills(100, 30, " Warp 0/4 | Row 2/4")) << tmux.screen();

  tmux.keys({"q"});
  ASSERT_TRUE(Tmux::wait_until([&] { return fs::exists(stty_file); })) << tmux.screen();
  ASSERT_TRUE(tmux.wait_for("viewer closed")) << tmux.screen();
  EXPECT_EQ(read_text(status_file), "0\n");
  // Main screen back, cursor shown, raw mode off.
  EXPECT_EQ(tmux.screen().find("Trace A -- Warp"), std::string::npos) << tmux.screen();
  EXPECT_EQ(tmux.pane("#{alternate_on} #{cursor_flag}"), "0 1\n");
  const std::string stty = read_text(stty_file);
  for (const char* setting : {"icanon", "echo", "isig", "icrnl", "opost"}) {
    EXPECT_TRUE(has_setting(stty, setting)) << setting << " in\n" << stty;
  }
}

TEST(CliTui, ATerminalThatGoesAwayEndsTheViewerWithTheSystemError) {
  if (!on_path("tmux")) GTEST_SKIP() << "tmux is not installed";
  const fs::path dir = scratch_dir();
  const TracePair pair = write_pair(dir);
  const fs::path status_file = dir / "status";
  const fs::path err_file = dir / "err";
  // The hang-up signal is ignored, so the viewer itself notices the terminal is gone.
  const std::string command = "trap '' HUP; " + shell_quote(VEMO_DIFF_BIN) + " --tui " +
                              shell_quote(pair.a) + " " + shell_quote(pair.b) + " 2> " +
                              shell_quote(err_file) + "; echo $? > " + shell_quote(status_file);
  Tmux tmux(dir);
  ASSERT_EQ(tmux.tmux({"new-session", "-d", "-x", "100", "-y", "30", command}).status, 0);
  // A second window keeps the server alive once the viewer's pane is gone.
  ASSERT_EQ(tmux.tmux({"new-window", "-d", "sleep 60"}).status, 0);
  ASSERT_TRUE(tmux.wait_for("Trace A -- Warp 2")) << tmux.screen();

  tmux.tmux({"kill-pane", "-t", ":0"});
  ASSERT_TRUE(Tmux::wait_until([&] { return !read_text(status_file).empty(); }));
  EXPECT_EQ(read_text(status_file), "1\n");
  EXPECT_EQ(read_text(err_file),
            "Loading traces...\n"
            "Comparing 4 warps...\n"
            "Error: Input/output error (os error 5)\n");
}

}  // namespace
}  // namespace vemo::testing
