// The viewer through the real binary: without a terminal, and inside a private tmux server.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"
#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

namespace fs = std::filesystem;

// Four warps of four events each (a function entry, a branch, an atomic, a function exit); only
// warp 2 of trace B takes its branch the other way.
struct TracePair {
  std::string a;
  std::string b;
};

TracePair write_pair(const fs::path& dir, std::string_view kernel_name = "tui_kernel") {
  const auto warp_events = [](std::uint8_t first_dir) {
    return std::vector<TraceEvent>{event(0x10, 3), event(0x11, 0, first_dir), event(0x12, 2),
                                   event(0x13, 4)};
  };
  TraceBuilder a;
  a.kernel(kernel_name, 0x77).shape(4, 4);
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
      : socket_("vemo-tui-" + std::to_string(::getpid()) + "-" + std::to_string(servers_++)),
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
  // The screen with each cell's colours and attributes as escape sequences.
  std::string styled_screen() const { return tmux({"capture-pane", "-p", "-e"}).out; }
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
  static inline int servers_ = 0;
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

// ---- the cells' colours and attributes ----

// A cell's colours (palette entries, -1 for the terminal's default) and attributes, as tmux
// reports them.
struct Look {
  int fg = -1;
  int bg = -1;
  bool bold = false;
  bool dim = false;
  bool italic = false;
  bool underline = false;
  bool reverse = false;

  bool operator==(const Look&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Look& look) {
  out << "fg " << look.fg << " bg " << look.bg;
  for (const auto& [on, name] : {std::pair{look.bold, " bold"},
                                 {look.dim, " dim"},
                                 {look.italic, " italic"},
                                 {look.underline, " underline"},
                                 {look.reverse, " reverse"}}) {
    if (on) out << name;
  }
  return out;
}

void apply_sgr(Look& look, const std::vector<int>& codes) {
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const int code = codes[i];
    if (code == 0) look = Look{};
    if (code == 1) look.bold = true;
    if (code == 2) look.dim = true;
    if (code == 3) look.italic = true;
    if (code == 4) look.underline = true;
    if (code == 7) look.reverse = true;
    if (code == 22) look.bold = look.dim = false;
    if (code == 23) look.italic = false;
    if (code == 24) look.underline = false;
    if (code == 27) look.reverse = false;
    if (code >= 30 && code <= 37) look.fg = code - 30;
    if (code >= 40 && code <= 47) look.bg = code - 40;
    if (code >= 90 && code <= 97) look.fg = code - 90 + 8;
    if (code >= 100 && code <= 107) look.bg = code - 100 + 8;
    if (code == 39) look.fg = -1;
    if (code == 49) look.bg = -1;
    if ((code == 38 || code == 48) && i + 2 < codes.size() && codes[i + 1] == 5) {
      (code == 38 ? look.fg : look.bg) = codes[i + 2];
      i += 2;
    }
  }
}

// One screen row: its characters, one a cell, and the look of each.
struct StyledRow {
  std::vector<std::string> cells;
  std::vector<Look> looks;

  std::string text() const {
    std::string joined;
    for (const std::string& cell : cells) joined += cell;
    return joined;
  }
};

// The rows of `tmux capture-pane -e`, whose escape sequences change the look of the cells after
// them (the look carries over from row to row).
std::vector<StyledRow> parse_styled_screen(const std::string& screen) {
  std::vector<StyledRow> rows;
  Look look;
  for (const std::string& line : lines_of(screen)) {
    StyledRow row;
    for (std::size_t i = 0; i < line.size();) {
      if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
        const std::size_t end = line.find_first_of("ABCDEFGHJKSTfmnsu", i + 2);
        if (end == std::string::npos) break;
        if (line[end] == 'm') {
          std::vector<int> codes;
          std::istringstream parameters(line.substr(i + 2, end - i - 2));
          for (std::string code; std::getline(parameters, code, ';');) {
            codes.push_back(code.empty() ? 0 : std::stoi(code));
          }
          if (codes.empty()) codes.push_back(0);
          apply_sgr(look, codes);
        }
        i = end + 1;
        continue;
      }
      std::size_t next = i + 1;
      while (next < line.size() && (static_cast<unsigned char>(line[next]) & 0xC0) == 0x80) ++next;
      row.cells.push_back(line.substr(i, next - i));
      row.looks.push_back(look);
      i = next;
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

// The look of the cell `offset` columns into the first place on the screen that shows `text`.
std::optional<Look> look_of(const std::vector<StyledRow>& rows, const std::string& text,
                            std::size_t offset = 0) {
  for (const StyledRow& row : rows) {
    const std::string joined = row.text();
    const std::size_t at = joined.find(text);
    if (at == std::string::npos) continue;
    return row.looks[code_points(joined.substr(0, at)) + offset];
  }
  return std::nullopt;
}

// The cells whose text shows in its own ground's colour, reverse video aside, as
// "row,column 'text'".
std::vector<std::string> invisible_cells(const std::vector<StyledRow>& rows) {
  std::vector<std::string> invisible;
  for (std::size_t y = 0; y < rows.size(); ++y) {
    for (std::size_t x = 0; x < rows[y].cells.size(); ++x) {
      const Look& look = rows[y].looks[x];
      if (rows[y].cells[x] == " " || look.reverse || look.bg < 0) continue;
      if (look.fg == look.bg) {
        invisible.push_back(std::to_string(y) + "," + std::to_string(x) + " '" + rows[y].cells[x] +
                            "'");
      }
    }
  }
  return invisible;
}

// The command of a pane that runs the viewer with `env_args` given to env(1) and records what
// is left afterwards: the status, the terminal modes, then "viewer closed". The viewer's process
// id goes to `pid_file`.
std::string viewer_command(const fs::path& dir, const TracePair& pair,
                           const std::vector<std::string>& env_args,
                           const std::vector<std::string>& options = {}) {
  std::string command = "env";
  for (const std::string& arg : env_args) command += " " + shell_quote(arg);
  command += " sh -c 'echo $$ > \"$0\"; exec \"$@\"' " + shell_quote((dir / "pid").string()) + " " +
             shell_quote(VEMO_DIFF_BIN) + " --tui";
  for (const std::string& option : options) command += " " + shell_quote(option);
  command += " " + shell_quote(pair.a) + " " + shell_quote(pair.b) + "; echo $? > " +
             shell_quote((dir / "status").string()) + "; stty -a > " +
             shell_quote((dir / "stty").string()) + "; echo viewer closed; sleep 60";
  return command;
}

struct AppearanceCase {
  const char* name;
  std::vector<std::string> env_args;
  bool colours;
  Look cursor;           // the cursor row's dark gray row number
  Look dark_gray;        // a plain row's row number
  Look white;            // a branch's direction
  Look hint;             // dark gray on the bottom line: separators, key and prompt hints, kernel
  Look ground;           // the bottom line's white text
  Look match;            // a search match's dark gray row number
  Look atomic_on_match;  // a search match's blue event code
};

// Whether the viewer's frame fills the screen in place: its top border on the first row, the
// bottom line on the last.
bool drawn_in_place(const Tmux& tmux, std::size_t rows, const std::string& bottom) {
  return Tmux::wait_until([&] {
    const std::vector<std::string> screen = lines_of(tmux.screen());
    return screen.size() == rows && screen[0].starts_with("┌ Trace A -- Warp 2 ") &&
           screen[0].ends_with("┐") && screen[rows - 1].starts_with(bottom);
  });
}

TEST(CliTui, ColoursAndAttributesOnEveryTerminal) {
  if (!on_path("tmux")) GTEST_SKIP() << "tmux is not installed";
  // 16 colours and more: dark gray is palette entry 8, and gray (7) on the dark gray ground.
  const Look dark_gray{.fg = 8};
  const Look on_dark_gray{.bg = 8};
  const AppearanceCase full_palette{"",
                                    {},
                                    true,
                                    Look{.fg = 8, .reverse = true},
                                    dark_gray,
                                    Look{.fg = 15},
                                    Look{.fg = 7, .bg = 8},
                                    Look{.fg = 15, .bg = 8},
                                    Look{.fg = 7, .bg = 8},
                                    Look{.fg = 4, .bg = on_dark_gray.bg}};
  const auto full = [&](const char* name, std::vector<std::string> env_args) {
    AppearanceCase c = full_palette;
    c.name = name;
    c.env_args = std::move(env_args);
    return c;
  };
  // 8 colours: white is bold gray, dark gray text dim gray, the dark gray ground blue, gray on
  // it stays gray, and blue text on it black.
  const AppearanceCase eight{"",
                             {},
                             true,
                             Look{.fg = 7, .dim = true, .reverse = true},
                             Look{.fg = 7, .dim = true},
                             Look{.fg = 7, .bold = true},
                             Look{.fg = 7, .bg = 4},
                             Look{.fg = 7, .bg = 4, .bold = true},
                             Look{.fg = 7, .bg = 4},
                             Look{.fg = 0, .bg = 4}};
  const auto eight_colours = [&](const char* name, std::string term) {
    AppearanceCase c = eight;
    c.name = name;
    c.env_args = {"TERM=" + term};
    return c;
  };
  // Without colours the dark gray ground is underlined; reverse video stays.
  const AppearanceCase no_color{"NO_COLOR=1",
                                {"TERM=xterm-256color", "NO_COLOR=1"},
                                false,
                                Look{.reverse = true},
                                Look{},
                                Look{},
                                Look{.underline = true},
                                Look{.underline = true},
                                Look{.underline = true},
                                Look{.underline = true}};
  const AppearanceCase cases[] = {
      full("TERM=xterm-256color", {"TERM=xterm-256color"}),
      full("TERM unset", {"-u", "TERM"}),
      full("TERM=no-such-terminal", {"TERM=no-such-terminal"}),
      // No cursor addressing: driven as an xterm-256color too.
      full("TERM=dumb", {"TERM=dumb"}),
      full("empty NO_COLOR", {"TERM=xterm-256color", "NO_COLOR="}),
      eight_colours("TERM=xterm", "xterm"),
      eight_colours("TERM=screen", "screen"),
      no_color,
  };
  for (const AppearanceCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = scratch_dir();
    const TracePair pair = write_pair(dir);
    Tmux tmux(dir);
    ASSERT_EQ(tmux.tmux({"new-session", "-d", "-x", "120", "-y", "40",
                         viewer_command(dir, pair, c.env_args)})
                  .status,
              0);
    ASSERT_TRUE(tmux.wait_for("[q]uit tui_kernel")) << tmux.screen();
    EXPECT_TRUE(drawn_in_place(tmux, 40, " Warp 2/4 | Row 1/4")) << tmux.screen();
    const std::vector<StyledRow> before = parse_styled_screen(tmux.styled_screen());
    EXPECT_EQ(look_of(before, "0 FEN"), c.cursor);
    EXPECT_EQ(look_of(before, "1 BRN"), c.dark_gray);
    EXPECT_EQ(look_of(before, "TK"), c.white);
    EXPECT_EQ(look_of(before, "[n]ext"), c.hint);
    EXPECT_EQ(look_of(before, " | Row"), c.hint);
    EXPECT_EQ(look_of(before, "tui_kernel"), c.hint);
    EXPECT_EQ(look_of(before, "Row 1/4"), c.ground);
    EXPECT_EQ(invisible_cells(before), std::vector<std::string>{});

    // Keys move the cursor in place.
    tmux.keys({"j"});
    EXPECT_TRUE(drawn_in_place(tmux, 40, " Warp 2/4 | Row 2/4")) << tmux.screen();

    tmux.keys({"/", "1"});
    ASSERT_TRUE(tmux.wait_for("Jump to warp: 1_")) << tmux.screen();
    const std::vector<StyledRow> jump = parse_styled_screen(tmux.styled_screen());
    EXPECT_EQ(look_of(jump, "_  (Enter=confirm"), c.hint);
    EXPECT_EQ(invisible_cells(jump), std::vector<std::string>{});
    tmux.keys({"Escape"});
    ASSERT_TRUE(tmux.wait_for(" Warp 2/4 | Row 2/4")) << tmux.screen();

    // Every row matches; the cursor goes to the first and the others are marked.
    tmux.keys({"?", "0000001"});
    ASSERT_TRUE(tmux.wait_for("Search: 0000001_  (4 matches")) << tmux.screen();
    const std::vector<StyledRow> typing = parse_styled_screen(tmux.styled_screen());
    EXPECT_EQ(look_of(typing, "_  (4 matches"), c.hint);
    EXPECT_EQ(invisible_cells(typing), std::vector<std::string>{});
    tmux.keys({"Enter"});
    ASSERT_TRUE(tmux.wait_for("[?\"0000001\" 1/4]")) << tmux.screen();
    const std::vector<StyledRow> after = parse_styled_screen(tmux.styled_screen());
    EXPECT_EQ(look_of(after, "1 BRN"), c.match);
    EXPECT_EQ(look_of(after, "00000012 m:", 9), c.match);
    EXPECT_EQ(look_of(after, "ATM"), c.atomic_on_match);
    EXPECT_EQ(look_of(after, "0 FEN"), c.cursor);
    EXPECT_EQ(invisible_cells(after), std::vector<std::string>{});
    EXPECT_NE(c.match, c.dark_gray);
    EXPECT_NE(c.match, c.cursor);
    if (c.colours) {
      EXPECT_NE(c.dark_gray, c.white);
      EXPECT_NE(c.ground.fg, c.ground.bg);
    }

    // Nothing was printed besides the progress lines, also when TERM had to be guessed.
    tmux.keys({"q"});
    ASSERT_TRUE(tmux.wait_for("viewer closed")) << tmux.screen();
    const std::vector<std::string> screen = lines_of(tmux.screen());
    EXPECT_EQ(
        std::vector<std::string>(screen.begin(), screen.begin() + 3),
        (std::vector<std::string>{"Loading traces...", "Comparing 4 warps...", "viewer closed"}));
    EXPECT_EQ(read_text(dir / "status"), "0\n");
  }
}

// ---- keys as terminals send them ----

TEST(CliTui, HomeAndEndFromEverySequence) {
  if (!on_path("tmux")) GTEST_SKIP() << "tmux is not installed";
  struct Sequence {
    const char* name;
    std::vector<std::string> bytes;  // hexadecimal, after the Esc
    bool home;
  };
  const Sequence sequences[] = {
      {"ESC[1~ (tmux, screen)", {"5b", "31", "7e"}, true},
      {"ESC[4~ (tmux, screen)", {"5b", "34", "7e"}, false},
      {"ESC[7~ (rxvt)", {"5b", "37", "7e"}, true},
      {"ESC[8~ (rxvt)", {"5b", "38", "7e"}, false},
      {"ESC[H (xterm)", {"5b", "48"}, true},
      {"ESC[F (xterm)", {"5b", "46"}, false},
      {"ESC O H (xterm, application mode)", {"4f", "48"}, true},
      {"ESC O F (xterm, application mode)", {"4f", "46"}, false},
  };
  // Each description names one pair of these, or none.
  for (const char* term : {"TERM=xterm-256color", "TERM=screen", "TERM=rxvt", "TERM=dumb"}) {
    SCOPED_TRACE(term);
    const fs::path dir = scratch_dir();
    const TracePair pair = write_pair(dir);
    Tmux tmux(dir);
    ASSERT_EQ(
        tmux.tmux({"new-session", "-d", "-x", "120", "-y", "40", viewer_command(dir, pair, {term})})
            .status,
        0);
    ASSERT_TRUE(tmux.wait_for("[q]uit tui_kernel")) << tmux.screen();
    for (const Sequence& sequence : sequences) {
      SCOPED_TRACE(sequence.name);
      // From the other end of the warp's four rows; nothing else changes (warp, mode).
      tmux.keys({sequence.home ? "G" : "g"});
      ASSERT_TRUE(tmux.wait_for(sequence.home ? " Warp 2/4 | Row 4/4" : " Warp 2/4 | Row 1/4"))
          << tmux.screen();
      std::vector<std::string> keys{"-H", "1b"};
      keys.insert(keys.end(), sequence.bytes.begin(), sequence.bytes.end());
      tmux.keys(keys);
      EXPECT_TRUE(
          tmux.wait_for(sequence.home ? " Warp 2/4 | Row 1/4 | Div" : " Warp 2/4 | Row 4/4 | Div"))
          << tmux.screen();
    }
    // Other sequences keep their meaning: Insert does nothing (its bytes change no warp), and
    // Escape alone still cancels a prompt.
    tmux.keys({"-H", "1b", "5b", "32", "7e"});
    tmux.keys({"?", "x"});
    ASSERT_TRUE(tmux.wait_for("Search: x_")) << tmux.screen();
    tmux.keys({"Escape"});
    EXPECT_TRUE(tmux.wait_for(" Warp 2/4 | Row 4/4 | Div")) << tmux.screen();
    tmux.keys({"q"});
    ASSERT_TRUE(tmux.wait_for("viewer closed")) << tmux.screen();
    EXPECT_EQ(read_text(dir / "status"), "0\n");
  }
}

// ---- text from the inputs ----

TEST(CliTui, SourceTabsAndControlCharactersShowVisibly) {
  if (!on_path("tmux")) GTEST_SKIP() << "tmux is not installed";
  const fs::path dir = scratch_dir();
  // A kernel name, a site map file name and a source line that would set the window title, clear
  // the screen or ring the bell if they reached the terminal raw.
  const TracePair pair = write_pair(dir, "k\x1b]2;OWNED\x07");
  const fs::path source = dir / "k\x1b[2J.cu";
  write_file(source,
             "__global__ void k() {\n"
             "\tint x = 1;\n"
             "\t\treturn;\n"
             "a\tb\n"
             "\xE4\xB8\xAD\tw\n"
             "t\x1b]2;OWNED\x07\tend\xC2\x9b\n");
  const fs::path map = dir / "sites.json";
  write_file(map, "[{\"site_id\": 17, \"filename\": \"" + (dir / "k\\u001b[2J.cu").string() +
                      "\", \"function\": \"k\", \"line\": 3, \"column\": 1, \"event_type\": 0}]");
  Tmux tmux(dir);
  ASSERT_EQ(tmux.tmux({"new-session", "-d", "-x", "160", "-y", "50",
                       viewer_command(dir, pair, {"TERM=xterm-256color"}, {"--map", map.string()})})
                .status,
            0);
  ASSERT_TRUE(tmux.wait_for("[q]uit k\\x1b]2;OWNED\\x07")) << tmux.screen();
  // Row 1 is the branch at site 17, the divergence.
  tmux.keys({"j", "s"});
  ASSERT_TRUE(tmux.wait_for("  Source: k\\x1b[2J.cu")) << tmux.screen();
  EXPECT_TRUE(tmux.wait_for("[2J.cu:3")) << tmux.screen();
  const std::vector<std::string> screen = lines_of(tmux.screen());
  const auto shown = [&](const std::string& prefix) {
    for (const std::string& row : screen) {
      const std::size_t at = row.find(prefix);
      if (at == std::string::npos) continue;
      std::string text = row.substr(at + prefix.size());
      while (!text.empty() && (text.back() == ' ' || text.ends_with("│"))) {
        text.resize(text.ends_with("│") ? text.size() - std::string("│").size() : text.size() - 1);
      }
      return text;
    }
    return std::string("(not shown)");
  };
  // Tab stops count from the start of the line's text.
  EXPECT_EQ(shown("       2 "), "        int x = 1;");
  EXPECT_EQ(shown("  >    3 "), "                return;");
  EXPECT_EQ(shown("       4 "), "a       b");
  EXPECT_EQ(shown("       5 "), "\xE4\xB8\xAD      w");
  EXPECT_EQ(shown("       6 "), "t\\x1b]2;OWNED\\x07       end\\u009b");
  // None of them reached the terminal: the title is tmux's own and the screen was not cleared.
  EXPECT_EQ(tmux.pane("#{pane_title}").find("OWNED"), std::string::npos);
  EXPECT_NE(tmux.screen().find("┌ Trace A -- Warp 2"), std::string::npos);
  tmux.keys({"q"});
  ASSERT_TRUE(tmux.wait_for("viewer closed")) << tmux.screen();
  EXPECT_EQ(read_text(dir / "status"), "0\n");
}

// ---- the terminal given back ----

struct RestoreCase {
  const char* name;
  std::vector<std::string> keys;  // typed into the viewer, or
  int signal;                     // sent to it
  std::string status;
};

TEST(CliTui, TheTerminalIsGivenBackOnEveryWayOut) {
  if (!on_path("tmux")) GTEST_SKIP() << "tmux is not installed";
  const RestoreCase cases[] = {
      {"q", {"q"}, 0, "0\n"},
      {"Ctrl+c", {"C-c"}, 0, "0\n"},
      // The status stays the signal's: the shell shows 128 + its number.
      {"SIGTERM", {}, SIGTERM, "143\n"},
      {"SIGHUP", {}, SIGHUP, "129\n"},
  };
  for (const RestoreCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = scratch_dir();
    const TracePair pair = write_pair(dir);
    Tmux tmux(dir);
    ASSERT_EQ(tmux.tmux({"new-session", "-d", "-x", "100", "-y", "30",
                         viewer_command(dir, pair, {"TERM=xterm-256color"})})
                  .status,
              0);
    ASSERT_TRUE(tmux.wait_for("[q]uit tui_kernel")) << tmux.screen();
    ASSERT_EQ(tmux.pane("#{alternate_on} #{cursor_flag}"), "1 0\n");
    if (c.signal != 0) {
      const pid_t viewer = std::stoi(read_text(dir / "pid"));
      ASSERT_EQ(::kill(viewer, c.signal), 0);
    } else {
      tmux.keys(c.keys);
    }
    ASSERT_TRUE(tmux.wait_for("viewer closed")) << tmux.screen();
    EXPECT_EQ(read_text(dir / "status"), c.status);
    EXPECT_EQ(tmux.pane("#{alternate_on} #{cursor_flag}"), "0 1\n");
    const std::string stty = read_text(dir / "stty");
    for (const char* setting : {"icanon", "echo", "isig", "icrnl", "opost"}) {
      EXPECT_TRUE(has_setting(stty, setting)) << setting << " in\n" << stty;
    }
  }
}

}  // namespace
}  // namespace vemo::testing
