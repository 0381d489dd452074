#include "tui/run.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/trace_builder.hpp"

namespace vemo::tui {
namespace {

KeyEvent key(KeyCode code, KeyModifiers modifiers = NONE) {
  KeyEvent event;
  event.code = code;
  event.modifiers = modifiers;
  return event;
}

KeyEvent ch(char32_t c, KeyModifiers modifiers = NONE) {
  KeyEvent event;
  event.ch = c;
  event.modifiers = modifiers;
  return event;
}

KeyEvent function_key(std::uint8_t n) {
  KeyEvent event = key(KeyCode::F);
  event.function = n;
  return event;
}

struct KeyCase {
  KeyEvent key;
  InputMode mode;
  Action expected;
};

TEST(Keymap, NormalMode) {
  const auto N = InputMode::Normal;
  const KeyCase cases[] = {
      {key(KeyCode::Up), N, action::Up{1}},
      {ch(U'k'), N, action::Up{1}},
      {key(KeyCode::Down), N, action::Down{1}},
      {ch(U'j'), N, action::Down{1}},
      {key(KeyCode::Home), N, action::Top{}},
      {ch(U'g'), N, action::Top{}},
      {key(KeyCode::End), N, action::Bottom{}},
      {ch(U'G'), N, action::Bottom{}},
      {key(KeyCode::PageUp), N, action::PageUp{}},
      {key(KeyCode::PageDown), N, action::PageDown{}},
      {key(KeyCode::Tab), N, action::CycleFocus{}},
      {ch(U'n'), N, action::NextDivergence{}},
      // With Caps Lock on, n arrives as N.
      {ch(U'N'), N, action::PrevDivergence{}},
      {ch(U'N', SHIFT), N, action::PrevDivergence{}},
      {ch(U']'), N, action::NextWarp{}},
      {ch(U'['), N, action::PrevWarp{}},
      {ch(U'/'), N, action::StartWarpJump{}},
      {ch(U'?'), N, action::StartSearch{}},
      {ch(U's'), N, action::ToggleSource{}},
      {ch(U'q'), N, action::Quit{}},
      {ch(U'q', ALT), N, action::Quit{}},
      // Keys without a meaning here.
      {key(KeyCode::Esc), N, action::None{}},
      {key(KeyCode::Enter), N, action::None{}},
      {key(KeyCode::Backspace), N, action::None{}},
      {key(KeyCode::Left), N, action::None{}},
      {key(KeyCode::Right), N, action::None{}},
      {key(KeyCode::BackTab), N, action::None{}},
      {key(KeyCode::Delete), N, action::None{}},
      {key(KeyCode::Insert), N, action::None{}},
      {function_key(1), N, action::None{}},
      {ch(U'5'), N, action::None{}},
      {ch(U'Q'), N, action::None{}},
      {ch(U'x'), N, action::None{}},
      // With CONTROL only c, d and u count.
      {ch(U'c', CONTROL), N, action::Quit{}},
      {ch(U'd', CONTROL), N, action::PageDown{}},
      {ch(U'u', CONTROL), N, action::PageUp{}},
      {ch(U'u', CONTROL | SHIFT), N, action::PageUp{}},
      {ch(U'j', CONTROL), N, action::None{}},
      {ch(U'q', CONTROL), N, action::None{}},
      {ch(U'C', CONTROL), N, action::None{}},
      {key(KeyCode::Up, CONTROL), N, action::None{}},
      {key(KeyCode::PageDown, CONTROL), N, action::None{}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Action got = keymap(cases[i].key, cases[i].mode);
    EXPECT_EQ(got, cases[i].expected) << "case " << i << ": got action " << got.index();
  }
}

TEST(Keymap, WarpJumpMode) {
  const auto W = InputMode::WarpJump;
  const KeyCase cases[] = {
      {ch(U'0'), W, action::WarpDigit{U'0'}},
      {ch(U'7'), W, action::WarpDigit{U'7'}},
      {ch(U'9'), W, action::WarpDigit{U'9'}},
      {ch(U'5', CONTROL), W, action::WarpDigit{U'5'}},
      {key(KeyCode::Enter), W, action::WarpConfirm{}},
      {key(KeyCode::Backspace), W, action::WarpCancel{}},
      {key(KeyCode::Esc), W, action::WarpCancel{}},
      {ch(U'q'), W, action::None{}},
      {ch(U'c', CONTROL), W, action::None{}},
      {ch(U'a'), W, action::None{}},
      {ch(U'\u0663'), W, action::None{}},  // a digit, but not an ASCII one
      {key(KeyCode::Tab), W, action::None{}},
      {key(KeyCode::Up), W, action::None{}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Action got = keymap(cases[i].key, cases[i].mode);
    EXPECT_EQ(got, cases[i].expected) << "case " << i << ": got action " << got.index();
  }
}

TEST(Keymap, SearchMode) {
  const auto S = InputMode::Search;
  const KeyCase cases[] = {
      {ch(U'q'), S, action::SearchChar{U'q'}},
      {ch(U'c', CONTROL), S, action::SearchChar{U'c'}},
      {ch(U'N', SHIFT), S, action::SearchChar{U'N'}},
      {ch(U' '), S, action::SearchChar{U' '}},
      {ch(U'é'), S, action::SearchChar{U'é'}},
      {key(KeyCode::Backspace), S, action::SearchBackspace{}},
      {key(KeyCode::Enter), S, action::SearchConfirm{}},
      {key(KeyCode::Esc), S, action::SearchCancel{}},
      {key(KeyCode::Up), S, action::None{}},
      {key(KeyCode::Tab), S, action::None{}},
      {key(KeyCode::Delete), S, action::None{}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Action got = keymap(cases[i].key, cases[i].mode);
    EXPECT_EQ(got, cases[i].expected) << "case " << i << ": got action " << got.index();
  }
}

// The bytes a terminal sends, as the viewer acts on them.
TEST(Keymap, ControlBytesFromTheTerminal) {
  struct Case {
    char32_t byte;
    InputMode mode;
    Action expected;
  };
  const Case cases[] = {
      {3, InputMode::Normal, action::Quit{}},
      {3, InputMode::Search, action::SearchChar{U'c'}},
      {3, InputMode::WarpJump, action::None{}},
      {4, InputMode::Normal, action::PageDown{}},
      {21, InputMode::Normal, action::PageUp{}},
      // Ctrl+J is no Enter: nothing in Normal and WarpJump mode, a j in a search.
      {10, InputMode::Normal, action::None{}},
      {10, InputMode::WarpJump, action::None{}},
      {10, InputMode::Search, action::SearchChar{U'j'}},
      {13, InputMode::WarpJump, action::WarpConfirm{}},
      {13, InputMode::Search, action::SearchConfirm{}},
      // Ctrl+5 types its digit into a warp jump and does nothing in Normal mode.
      {29, InputMode::WarpJump, action::WarpDigit{U'5'}},
      {29, InputMode::Normal, action::None{}},
      {127, InputMode::WarpJump, action::WarpCancel{}},
      {127, InputMode::Search, action::SearchBackspace{}},
      {27, InputMode::Search, action::SearchCancel{}},
  };
  for (const Case& c : cases) {
    const Action got = keymap(key_from_character(c.byte), c.mode);
    EXPECT_EQ(got, c.expected) << "byte " << static_cast<std::uint32_t>(c.byte) << " in mode "
                               << static_cast<int>(c.mode) << ": got action " << got.index();
  }
}

// ---- events on a viewer state ----

App small_app() {
  testing::TraceBuilder builder;
  builder.shape(4, 2);
  for (std::uint32_t w = 0; w < 4; ++w)
    builder.warp(w, {testing::event(0x10), testing::event(0x20)});
  DiffResult result;
  result.total_warps = 4;
  result.warps_compared = 4;
  return App(builder.build(), builder.build(), std::move(result), std::nullopt, false);
}

TEST(HandleEvent, ResizeSetsTheViewportHeightAtOnce) {
  App app = small_app();
  handle_event(app, ResizeEvent{120, 50});
  EXPECT_EQ(app.viewport_height, 50);
  handle_event(app, ResizeEvent{10, 3});
  EXPECT_EQ(app.viewport_height, 3);
}

TEST(HandleEvent, KeysAreMappedInTheCurrentMode) {
  App app = small_app();
  for (const KeyEvent& k : {ch(U'/'), ch(U'2'), key(KeyCode::Enter)}) handle_event(app, k);
  EXPECT_EQ(app.current_warp, 2u);
  EXPECT_EQ(app.input_mode, InputMode::Normal);

  // In a search q is typed, not obeyed.
  handle_event(app, ch(U'?'));
  handle_event(app, ch(U'q'));
  EXPECT_FALSE(app.quit);
  EXPECT_EQ(app.search_query, "q");
  handle_event(app, key(KeyCode::Esc));
  handle_event(app, ch(U'q'));
  EXPECT_TRUE(app.quit);
}

// ---- without a terminal ----

// Runs run_tui in a child process that has no controlling terminal and standard input from
// /dev/null; returns what it wrote on standard output and its error report.
struct Outcome {
  std::string out;
  std::string error;
};

std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

Outcome run_tui_without_terminal() {
  int out_pipe[2];
  int report_pipe[2];
  EXPECT_EQ(::pipe(out_pipe), 0);
  EXPECT_EQ(::pipe(report_pipe), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, STDIN_FILENO);
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::close(out_pipe[0]);
    ::close(report_pipe[0]);
    testing::TraceBuilder builder;
    const Status status =
        run_tui(builder.build(), builder.build(), DiffResult{}, std::nullopt, false);
    const std::string report = status ? std::string("success") : error_report(status.error());
    (void)!::write(report_pipe[1], report.data(), report.size());
    ::_exit(0);
  }
  ::close(out_pipe[1]);
  ::close(report_pipe[1]);
  Outcome outcome{read_all(out_pipe[0]), read_all(report_pipe[0])};
  ::close(out_pipe[0]);
  ::close(report_pipe[0]);
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
  return outcome;
}

TEST(RunTui, WithoutATerminalFailsBeforeWritingAnything) {
  const Outcome outcome = run_tui_without_terminal();
  EXPECT_EQ(outcome.error,
            "Error: Failed to enable raw mode. Is this a TTY?\n\nCaused by:\n"
            "    No such device or address (os error 6)\n");
  EXPECT_EQ(outcome.out, "");
}

}  // namespace
}  // namespace vemo::tui
