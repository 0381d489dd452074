#pragma once
// The full-screen terminal on ncurses: raw mode, alternate screen, drawing frames of the widget
// toolkit, and key and resize events.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>

#include "core/error.hpp"
#include "tui/widgets.hpp"

namespace vemo::tui {

// ---- input events ----

enum class KeyCode {
  Char,
  Enter,
  Esc,
  Backspace,
  Tab,
  BackTab,
  Up,
  Down,
  Left,
  Right,
  Home,
  End,
  PageUp,
  PageDown,
  Delete,
  Insert,
  F,
};

// Modifier bits of a key event.
using KeyModifiers = std::uint8_t;
inline constexpr KeyModifiers NONE = 0;
inline constexpr KeyModifiers SHIFT = 1;
inline constexpr KeyModifiers CONTROL = 2;
inline constexpr KeyModifiers ALT = 4;

struct KeyEvent {
  KeyCode code = KeyCode::Char;
  char32_t ch = 0;            // the character of a Char key
  std::uint8_t function = 0;  // n of F(n)
  KeyModifiers modifiers = NONE;

  bool operator==(const KeyEvent&) const = default;
};

struct ResizeEvent {
  std::uint16_t columns = 0;
  std::uint16_t rows = 0;

  bool operator==(const ResizeEvent&) const = default;
};

using Event = std::variant<KeyEvent, ResizeEvent>;

// The bytes a terminal sends for control characters, as key events: Ctrl+Space for 0;
// Ctrl+letter for 1 to 26 except Backspace (8), Tab (9) and Enter (13); Esc (27); Ctrl+4 to
// Ctrl+7 for 28 to 31; Backspace (127); anything else as a plain character.
KeyEvent key_from_character(char32_t c);

// Home or End from the rest of an escape sequence after its Esc ("[1~", "OH"), as terminals send
// them whatever their description says: ESC[1~ and ESC[4~ (tmux, screen), ESC[7~ and ESC[8~
// (rxvt), ESC[H and ESC[F, ESC O H and ESC O F (xterm); none for any other sequence.
std::optional<KeyEvent> key_from_escape_sequence(std::u32string_view sequence);

// ---- the terminal ----

// The full-screen terminal. `enable_raw_mode` puts the terminal in raw mode, where input comes from
// standard input when it is a terminal, else from /dev/tty; drawing goes to standard output. Until
// `restore`, a signal that ends the process gives the terminal back first (SignalRestore).
class Terminal {
 public:
  // Fails with the system's error when there is no terminal to put in raw mode.
  static Result<Terminal> enable_raw_mode();

  Terminal(Terminal&&) noexcept;
  Terminal& operator=(Terminal&&) noexcept;
  ~Terminal();  // restores the terminal when `restore` has not run yet

  // Switches standard output to the alternate screen.
  Status enter_alternate_screen();
  // Starts the full-screen drawing and input over the terminal, as described by TERM, or as an
  // xterm-256color when TERM is unset, names no terminal the system knows, or names one without
  // cursor addressing.
  Status start();
  // Draws one frame through `draw` into an off-screen buffer the size of the screen and writes
  // only the cells that changed since the previous frame; the cursor stays hidden.
  Status draw(const std::function<void(Frame&)>& draw);
  // Waits up to `timeout` for input and reads one event; no event when the time ran out or the
  // input was of a kind the viewer ignores.
  Result<std::optional<Event>> poll_event(std::chrono::milliseconds timeout);

  // Raw mode off, main screen, cursor shown; every step is tried whatever the others do.
  void restore();

 private:
  struct State;
  explicit Terminal(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace vemo::tui
