#include "tui/run.hpp"

#include <chrono>
#include <utility>
#include <variant>

#include "core/console.hpp"
#include "core/overloaded.hpp"
#include "tui/render.hpp"

namespace vemo::tui {

namespace {

// The longest wait for a terminal event before the next frame is drawn.
constexpr std::chrono::milliseconds EVENT_POLL_TIMEOUT{50};

Action control_key(const KeyEvent& key) {
  if (key.code != KeyCode::Char) return action::None{};
  switch (key.ch) {
    case U'c':
      return action::Quit{};
    case U'd':
      return action::PageDown{};
    case U'u':
      return action::PageUp{};
    default:
      return action::None{};
  }
}

Action normal_character(char32_t c) {
  switch (c) {
    case U'k':
      return action::Up{1};
    case U'j':
      return action::Down{1};
    case U'g':
      return action::Top{};
    case U'G':
      return action::Bottom{};
    case U'n':
      return action::NextDivergence{};
    case U'N':
      return action::PrevDivergence{};
    case U']':
      return action::NextWarp{};
    case U'[':
      return action::PrevWarp{};
    case U'/':
      return action::StartWarpJump{};
    case U'?':
      return action::StartSearch{};
    case U's':
      return action::ToggleSource{};
    case U'q':
      return action::Quit{};
    default:
      return action::None{};
  }
}

Action normal_key(const KeyEvent& key) {
  switch (key.code) {
    case KeyCode::Char:
      return normal_character(key.ch);
    case KeyCode::Up:
      return action::Up{1};
    case KeyCode::Down:
      return action::Down{1};
    case KeyCode::Home:
      return action::Top{};
    case KeyCode::End:
      return action::Bottom{};
    case KeyCode::PageUp:
      return action::PageUp{};
    case KeyCode::PageDown:
      return action::PageDown{};
    case KeyCode::Tab:
      return action::CycleFocus{};
    default:
      return action::None{};
  }
}

Action warp_jump_key(const KeyEvent& key) {
  switch (key.code) {
    case KeyCode::Char:
      if (key.ch >= U'0' && key.ch <= U'9') return action::WarpDigit{key.ch};
      return action::None{};
    case KeyCode::Enter:
      return action::WarpConfirm{};
    // Backspace abandons the whole jump rather than deleting a digit.
    case KeyCode::Backspace:
    case KeyCode::Esc:
      return action::WarpCancel{};
    default:
      return action::None{};
  }
}

Action search_key(const KeyEvent& key) {
  switch (key.code) {
    case KeyCode::Char:
      return action::SearchChar{key.ch};
    case KeyCode::Backspace:
      return action::SearchBackspace{};
    case KeyCode::Enter:
      return action::SearchConfirm{};
    case KeyCode::Esc:
      return action::SearchCancel{};
    default:
      return action::None{};
  }
}

Status event_loop(Terminal& terminal, App& app) {
  while (true) {
    if (Status drawn = terminal.draw([&](Frame& frame) { render_frame(frame, app); }); !drawn) {
      return drawn;
    }
    Result<std::optional<Event>> event = terminal.poll_event(EVENT_POLL_TIMEOUT);
    if (!event) return std::unexpected(std::move(event.error()));
    if (*event) handle_event(app, **event);
    if (app.quit) return {};
  }
}

// Everything between raw mode on and the teardown.
Status run_viewer(Terminal& terminal, Trace a, Trace b, DiffResult result,
                  std::optional<SiteMap> site_map, bool float_operands) {
  if (Status entered = terminal.enter_alternate_screen(); !entered) return entered;
  if (Status started = terminal.start(); !started) return started;
  App app(std::move(a), std::move(b), std::move(result), std::move(site_map), float_operands);
  return event_loop(terminal, app);
}

}  // namespace

void handle_event(App& app, const Event& event) {
  std::visit(Overloaded{
                 [&](const KeyEvent& key) { app.apply(keymap(key, app.input_mode)); },
                 [&](const ResizeEvent& resize) { app.viewport_height = resize.rows; },
             },
             event);
}

Action keymap(const KeyEvent& key, InputMode mode) {
  switch (mode) {
    case InputMode::Normal:
      return (key.modifiers & CONTROL) != 0 ? control_key(key) : normal_key(key);
    case InputMode::WarpJump:
      return warp_jump_key(key);
    case InputMode::Search:
      return search_key(key);
  }
  return action::None{};
}

Status run_tui(Trace a, Trace b, DiffResult result, std::optional<SiteMap> site_map,
               bool float_operands) {
  // Report text still buffered must not land on the viewer's screen.
  console::flush();
  Result<Terminal> terminal = Terminal::enable_raw_mode();
  if (!terminal) {
    return std::unexpected(
        std::move(terminal.error()).context("Failed to enable raw mode. Is this a TTY?"));
  }
  Status status = run_viewer(*terminal, std::move(a), std::move(b), std::move(result),
                             std::move(site_map), float_operands);
  terminal->restore();
  return status;
}

}  // namespace vemo::tui
