#include "tui/terminal.hpp"

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

#include "core/file_io.hpp"
#include "core/text.hpp"
#include "tui/terminal_signals.hpp"

// Functions only: the curses macros (timeout, erase, clear, ...) would collide with C++ names.
#define NCURSES_NOMACROS 1
#define NCURSES_WIDECHAR 1
#include <curses.h>

namespace vemo::tui {

// ---- Keys ----

KeyEvent key_from_character(char32_t c) {
  switch (c) {
    case 8:
    case 127:
      return KeyEvent{.code = KeyCode::Backspace};
    case 9:
      return KeyEvent{.code = KeyCode::Tab};
    case 13:
      return KeyEvent{.code = KeyCode::Enter};
    case 27:
      return KeyEvent{.code = KeyCode::Esc};
    case 0:
      return KeyEvent{.code = KeyCode::Char, .ch = U' ', .modifiers = CONTROL};
    default:
      break;
  }
  // In raw mode the Enter key sends 13, so 10 is Ctrl+J like the other letters.
  if (c >= 1 && c <= 26) {
    return KeyEvent{
        .code = KeyCode::Char, .ch = static_cast<char32_t>(U'a' + c - 1), .modifiers = CONTROL};
  }
  // Terminals send 28 to 31 for Ctrl+4 to Ctrl+7.
  if (c >= 28 && c <= 31) {
    return KeyEvent{
        .code = KeyCode::Char, .ch = static_cast<char32_t>(U'4' + c - 28), .modifiers = CONTROL};
  }
  return KeyEvent{.code = KeyCode::Char, .ch = c};
}

std::optional<KeyEvent> key_from_escape_sequence(std::u32string_view sequence) {
  // tmux and screen, rxvt, xterm in normal and in application mode.
  if (sequence == U"[1~" || sequence == U"[7~" || sequence == U"[H" || sequence == U"OH") {
    return KeyEvent{.code = KeyCode::Home};
  }
  if (sequence == U"[4~" || sequence == U"[8~" || sequence == U"[F" || sequence == U"OF") {
    return KeyEvent{.code = KeyCode::End};
  }
  return std::nullopt;
}

namespace {

KeyEvent key(KeyCode code, KeyModifiers modifiers = NONE) {
  return KeyEvent{.code = code, .modifiers = modifiers};
}

// The curses codes of the special keys, plain and shifted.
std::optional<KeyEvent> key_from_curses_code(int code) {
  if (code >= KEY_F0 && code <= KEY_F(63)) {
    return KeyEvent{.code = KeyCode::F, .function = static_cast<std::uint8_t>(code - KEY_F0)};
  }
  switch (code) {
    case KEY_UP:
      return key(KeyCode::Up);
    case KEY_DOWN:
      return key(KeyCode::Down);
    case KEY_LEFT:
      return key(KeyCode::Left);
    case KEY_RIGHT:
      return key(KeyCode::Right);
    case KEY_HOME:
    case KEY_A1:
    case KEY_FIND:
      return key(KeyCode::Home);
    case KEY_END:
    case KEY_C1:
    case KEY_SELECT:
      return key(KeyCode::End);
    case KEY_PPAGE:
    case KEY_A3:
      return key(KeyCode::PageUp);
    case KEY_NPAGE:
    case KEY_C3:
      return key(KeyCode::PageDown);
    case KEY_DC:
      return key(KeyCode::Delete);
    case KEY_IC:
      return key(KeyCode::Insert);
    case KEY_BTAB:
      return key(KeyCode::BackTab);
    case KEY_BACKSPACE:
      return key(KeyCode::Backspace);
    case KEY_ENTER:
      return key(KeyCode::Enter);
    case KEY_SR:
      return key(KeyCode::Up, SHIFT);
    case KEY_SF:
      return key(KeyCode::Down, SHIFT);
    case KEY_SLEFT:
      return key(KeyCode::Left, SHIFT);
    case KEY_SRIGHT:
      return key(KeyCode::Right, SHIFT);
    case KEY_SHOME:
      return key(KeyCode::Home, SHIFT);
    case KEY_SEND:
      return key(KeyCode::End, SHIFT);
    case KEY_SPREVIOUS:
      return key(KeyCode::PageUp, SHIFT);
    case KEY_SNEXT:
      return key(KeyCode::PageDown, SHIFT);
    case KEY_SDC:
      return key(KeyCode::Delete, SHIFT);
    case KEY_SIC:
      return key(KeyCode::Insert, SHIFT);
    default:
      return std::nullopt;
  }
}

// Modified special keys that terminfo names with a modifier digit, as "kUP5" for Ctrl+Up.
std::optional<KeyEvent> key_from_extended_name(std::string_view name) {
  static const std::pair<std::string_view, KeyCode> NAMES[] = {
      {"kUP", KeyCode::Up},      {"kDN", KeyCode::Down},      {"kLFT", KeyCode::Left},
      {"kRIT", KeyCode::Right},  {"kHOM", KeyCode::Home},     {"kEND", KeyCode::End},
      {"kPRV", KeyCode::PageUp}, {"kNXT", KeyCode::PageDown}, {"kDC", KeyCode::Delete},
      {"kIC", KeyCode::Insert}};
  for (const auto& [prefix, code] : NAMES) {
    if (name.size() != prefix.size() + 1 || !name.starts_with(prefix)) continue;
    const char digit = name.back();
    if (digit < '2' || digit > '8') return std::nullopt;
    // xterm's modifier parameter: 1 + (shift 1, alt 2, control 4).
    const int bits = digit - '1';
    KeyModifiers modifiers = NONE;
    if (bits & 1) modifiers |= SHIFT;
    if (bits & 2) modifiers |= ALT;
    if (bits & 4) modifiers |= CONTROL;
    return key(code, modifiers);
  }
  return std::nullopt;
}

// ---- Terminal plumbing ----

constexpr std::string_view ENTER_ALTERNATE_SCREEN = "\x1b[?1049h";
constexpr std::string_view LEAVE_ALTERNATE_SCREEN = "\x1b[?1049l";
constexpr std::string_view SHOW_CURSOR = "\x1b[?25h";
// Every Debian system has it (ncurses-base).
constexpr const char* FALLBACK_TERMINAL = "xterm-256color";

bool terminfo_knows_terminal(int fd);

bool colors_wanted() {
  const char* no_color = std::getenv("NO_COLOR");
  return no_color == nullptr || *no_color == '\0';
}

// How the terminal shows the palette: not at all (NO_COLOR, or a terminal without colours), with
// 8 colours, or with 16 or more.
enum class Palette { Monochrome, Eight, Sixteen };

Palette palette_of_terminal() {
  if (!colors_wanted() || !has_colors() || start_color() == ERR) return Palette::Monochrome;
  return COLORS >= 16 ? Palette::Sixteen : Palette::Eight;
}

// A style as curses shows it: colour numbers (unset ones are the terminal's defaults) and the
// attributes that stand in for colours the palette lacks.
struct CursesLook {
  std::optional<short> fg;
  std::optional<short> bg;
  attr_t attributes = A_NORMAL;
};

// With 8 colours the bright entries fall back to their normal twins: white text becomes bold
// gray and dark gray text dim gray.
short foreground_number(Color color, Palette palette, attr_t& attributes) {
  const auto number = static_cast<short>(color);
  if (palette == Palette::Sixteen || number < 8) return number;
  if (color == Color::DarkGray) {
    attributes |= A_DIM;
    return COLOR_WHITE;
  }
  attributes |= A_BOLD;
  return static_cast<short>(number - 8);
}

// With 8 colours a dark gray ground becomes blue, which stays apart from the terminal's own
// ground and from reverse video.
short background_number(Color color, Palette palette) {
  const auto number = static_cast<short>(color);
  if (palette == Palette::Sixteen || number < 8) return number;
  if (color == Color::DarkGray) return COLOR_BLUE;
  return static_cast<short>(number - 8);
}

CursesLook curses_look(const Style& style, Palette palette) {
  CursesLook look;
  const bool dark_ground = style.bg == Color::DarkGray;
  if (palette == Palette::Monochrome) {
    // Without colours the dark gray ground (search matches, the bottom line) is underlined, so
    // matches still differ from other rows and from the cursor's reverse video.
    if (dark_ground) look.attributes |= A_UNDERLINE;
    return look;
  }
  if (style.fg) look.fg = foreground_number(*style.fg, palette, look.attributes);
  if (style.bg) look.bg = background_number(*style.bg, palette);
  // Blue text on the blue stand-in ground turns black so that it does not vanish.
  if (palette == Palette::Eight && dark_ground && look.fg == look.bg) look.fg = COLOR_BLACK;
  return look;
}

std::wstring wide_symbol(const std::string& symbol) {
  std::wstring wide;
  for (char32_t c : characters_of(symbol)) {
    if (wide.size() == CCHARW_MAX) break;
    wide.push_back(static_cast<wchar_t>(c));
  }
  if (wide.empty()) wide.push_back(L' ');
  return wide;
}

}  // namespace

struct Terminal::State {
  int tty_fd = -1;
  bool owns_tty_fd = false;
  termios original{};
  bool restored = false;

  std::optional<std::string> saved_locale;
  std::FILE* input = nullptr;
  std::FILE* output = nullptr;
  SCREEN* screen = nullptr;

  Palette palette = Palette::Monochrome;
  bool default_colors = false;
  std::map<std::pair<short, short>, short> pairs;

  std::optional<Buffer> previous;
  bool alternate_screen = false;
  std::optional<SignalRestore> signal_restore;

  // What undoes the screen's state when a signal ends the process: attributes and keypad mode as
  // the terminal description has them, then the main screen and the cursor.
  std::string reset_bytes() const {
    std::string bytes;
    if (screen != nullptr) {
      for (const char* capability : {"sgr0", "rmkx"}) {
        const char* sequence = tigetstr(capability);
        if (sequence != nullptr && sequence != reinterpret_cast<char*>(-1)) bytes += sequence;
      }
    }
    if (alternate_screen) bytes += LEAVE_ALTERNATE_SCREEN;
    bytes += SHOW_CURSOR;
    return bytes;
  }

  short pair_for(const CursesLook& look) {
    if (!look.fg && !look.bg) return 0;
    const short fg = look.fg.value_or(default_colors ? -1 : COLOR_WHITE);
    const short bg = look.bg.value_or(default_colors ? -1 : COLOR_BLACK);
    const auto found = pairs.find({fg, bg});
    if (found != pairs.end()) return found->second;
    const auto next = static_cast<int>(pairs.size()) + 1;
    if (next >= COLOR_PAIRS || next > std::numeric_limits<short>::max()) return 0;
    if (init_pair(static_cast<short>(next), fg, bg) == ERR) return 0;
    pairs.emplace(std::pair{fg, bg}, static_cast<short>(next));
    return static_cast<short>(next);
  }

  void paint(std::uint16_t x, std::uint16_t y, const Cell& cell) {
    attr_t attributes = A_NORMAL;
    if (cell.style.bold) attributes |= A_BOLD;
    if (cell.style.italic) attributes |= A_ITALIC;
    if (cell.style.reverse) attributes |= A_REVERSE;
    const CursesLook look = curses_look(cell.style, palette);
    attributes |= look.attributes;
    const short pair = pair_for(look);
    const std::wstring wide = wide_symbol(cell.symbol);
    cchar_t character{};
    if (setcchar(&character, wide.c_str(), attributes, pair, nullptr) == ERR) return;
    // The bottom-right cell reports an error because the cursor cannot move on; it is drawn.
    mvwadd_wch(stdscr, y, x, &character);
  }

  void use_utf8_locale() {
    if (const char* current = std::setlocale(LC_CTYPE, nullptr)) saved_locale = current;
    std::setlocale(LC_CTYPE, "");
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
  }

  void close_streams() {
    if (input != nullptr) std::fclose(input);
    if (output != nullptr) std::fclose(output);
    input = output = nullptr;
  }
};

namespace {

std::FILE* open_stream(int fd, const char* mode) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) return nullptr;
  std::FILE* stream = ::fdopen(copy, mode);
  if (stream == nullptr) {
    const int saved = errno;
    ::close(copy);
    errno = saved;
  }
  return stream;
}

}  // namespace

Terminal::Terminal(std::unique_ptr<State> state) : state_(std::move(state)) {}
Terminal::Terminal(Terminal&&) noexcept = default;
Terminal& Terminal::operator=(Terminal&& other) noexcept {
  if (this != &other) {
    restore();
    state_ = std::move(other.state_);
  }
  return *this;
}
Terminal::~Terminal() {
  restore();
}

Result<Terminal> Terminal::enable_raw_mode() {
  auto state = std::make_unique<State>();
  if (::isatty(STDIN_FILENO) == 1) {
    state->tty_fd = STDIN_FILENO;
  } else {
    state->tty_fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (state->tty_fd < 0) return std::unexpected(Error::system(errno));
    state->owns_tty_fd = true;
  }
  const auto give_up = [&](int errnum) {
    if (state->owns_tty_fd) ::close(state->tty_fd);
    return std::unexpected(Error::system(errnum));
  };
  if (::tcgetattr(state->tty_fd, &state->original) != 0) return give_up(errno);
  state->signal_restore.emplace(state->tty_fd, state->original);
  state->signal_restore->set_reset_bytes(state->reset_bytes());
  termios raw = state->original;
  ::cfmakeraw(&raw);
  if (::tcsetattr(state->tty_fd, TCSANOW, &raw) != 0) return give_up(errno);
  return Terminal(std::move(state));
}

Status Terminal::enter_alternate_screen() {
  State& s = *state_;
  s.alternate_screen = true;
  s.signal_restore->set_reset_bytes(s.reset_bytes());
  return write_all(STDOUT_FILENO, ENTER_ALTERNATE_SCREEN);
}

Status Terminal::start() {
  State& s = *state_;
  s.use_utf8_locale();
  s.input = open_stream(s.tty_fd, "r");
  if (s.input == nullptr) return std::unexpected(Error::system(errno));
  s.output = open_stream(STDOUT_FILENO, "w");
  if (s.output == nullptr) return std::unexpected(Error::system(errno));
  // curses would take LINES and COLUMNS from the environment over the terminal's own size, also
  // after a resize; the viewer always fills the terminal.
  ::unsetenv("LINES");
  ::unsetenv("COLUMNS");
  const char* type = std::getenv("TERM");
  // Without a description of its own (TERM unset, or a name this system's terminfo lacks, as
  // with many terminals over ssh), or with one that cannot address the cursor (TERM=dumb), the
  // terminal is driven as an xterm: the viewer's sequences are xterm's anyway.
  const char* name = terminfo_knows_terminal(::fileno(s.output)) ? nullptr : FALLBACK_TERMINAL;
  s.screen = newterm(name, s.output, s.input);
  if (s.screen == nullptr) {
    if (type == nullptr || *type == '\0') return fail("The terminal type is not set (TERM)");
    return fail("Unknown terminal type \"{}\"", lossy_utf8(type));
  }
  set_term(s.screen);
  raw();
  nonl();  // Enter stays 13 and Ctrl+J 10
  noecho();
  keypad(stdscr, TRUE);
  meta(stdscr, TRUE);
  leaveok(stdscr, TRUE);
  set_escdelay(25);
  curs_set(0);
  s.palette = palette_of_terminal();
  if (s.palette != Palette::Monochrome) s.default_colors = use_default_colors() != ERR;
  s.signal_restore->set_reset_bytes(s.reset_bytes());
  return {};
}

Status Terminal::draw(const std::function<void(Frame&)>& draw) {
  State& s = *state_;
  int rows = 0;
  int columns = 0;
  getmaxyx(stdscr, rows, columns);
  const Rect area{0, 0, static_cast<std::uint16_t>(std::clamp(columns, 0, 0xFFFF)),
                  static_cast<std::uint16_t>(std::clamp(rows, 0, 0xFFFF))};
  Buffer buffer(area);
  Frame frame(buffer);
  draw(frame);

  const bool repaint_all = !s.previous || s.previous->area() != buffer.area();
  if (repaint_all) werase(stdscr);
  for (std::uint16_t y = 0; y < area.height; ++y) {
    for (std::uint16_t x = 0; x < area.width; ++x) {
      const Cell& cell = buffer.cell(x, y);
      // The second column of a wide character is drawn with the first.
      if (cell.symbol.empty()) continue;
      if (repaint_all || cell != s.previous->cell(x, y)) s.paint(x, y, cell);
    }
  }
  wnoutrefresh(stdscr);
  errno = 0;
  if (doupdate() == ERR) return std::unexpected(Error::system(errno != 0 ? errno : EIO));
  s.previous = std::move(buffer);
  return {};
}

namespace {

struct RawInput {
  int kind = ERR;  // OK for a character, KEY_CODE_YES for a key code, ERR for nothing
  wint_t value = 0;
};

RawInput read_input(int timeout_ms) {
  wtimeout(stdscr, timeout_ms);
  RawInput input;
  input.kind = wget_wch(stdscr, &input.value);
  return input;
}

std::optional<Event> event_from_input(const RawInput& input) {
  if (input.kind == KEY_CODE_YES) {
    const int code = static_cast<int>(input.value);
    if (code == KEY_RESIZE) {
      return ResizeEvent{static_cast<std::uint16_t>(std::clamp(COLS, 0, 0xFFFF)),
                         static_cast<std::uint16_t>(std::clamp(LINES, 0, 0xFFFF))};
    }
    if (auto known = key_from_curses_code(code)) return *known;
    if (const char* name = keyname(code)) {
      if (auto modified = key_from_extended_name(name)) return *modified;
    }
    return std::nullopt;
  }
  if (input.kind != OK) return std::nullopt;
  const auto c = static_cast<char32_t>(input.value);
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
  return key_from_character(c);
}

// Reads the rest of an escape sequence the terminal description does not know, so that its
// bytes do not arrive as keys ("[" alone would change the warp); returns it from its introducer
// on.
std::u32string read_escape_sequence(wint_t introducer) {
  std::u32string sequence(1, static_cast<char32_t>(introducer));
  const auto next = [&] {
    const RawInput input = read_input(0);
    if (input.kind == OK) sequence.push_back(static_cast<char32_t>(input.value));
    return input;
  };
  if (introducer == U'O') {
    next();
    return sequence;
  }
  constexpr int MAX_SEQUENCE_LENGTH = 32;
  for (int i = 0; i < MAX_SEQUENCE_LENGTH; ++i) {
    const RawInput input = next();
    if (input.kind != OK || (input.value >= 0x40 && input.value <= 0x7e)) break;
  }
  return sequence;
}

// What follows an Esc at once belongs to it: a sequence the terminal description does not know
// (Home or End as another terminal sends them, else dropped) or a key pressed with Alt. An Esc on
// its own is the Esc key.
std::optional<Event> after_escape() {
  const RawInput next = read_input(0);
  if (next.kind == ERR) return KeyEvent{.code = KeyCode::Esc};
  if (next.kind == OK && (next.value == U'[' || next.value == U'O')) {
    if (auto home_or_end = key_from_escape_sequence(read_escape_sequence(next.value))) {
      return *home_or_end;
    }
    return std::nullopt;
  }
  std::optional<Event> event = event_from_input(next);
  if (event) {
    if (auto* key = std::get_if<KeyEvent>(&*event)) key->modifiers |= ALT;
  }
  return event;
}

}  // namespace

Result<std::optional<Event>> Terminal::poll_event(std::chrono::milliseconds timeout) {
  const RawInput input = read_input(static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
      timeout.count(), 0, std::numeric_limits<int>::max())));
  if (input.kind == ERR) {
    // Nothing arrived in time, or the terminal is gone: a hung-up terminal answers at once.
    pollfd check{.fd = state_->tty_fd, .events = POLLIN, .revents = 0};
    if (::poll(&check, 1, 0) > 0 && (check.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      return std::unexpected(Error::system(EIO));
    }
    return std::optional<Event>{};
  }
  if (input.kind == OK && input.value == 27) return after_escape();
  return event_from_input(input);
}

void Terminal::restore() {
  if (!state_ || state_->restored) return;
  State& s = *state_;
  s.restored = true;
  if (s.screen != nullptr) endwin();
  // Each step is tried whatever the others did.
  (void)::tcsetattr(s.tty_fd, TCSANOW, &s.original);
  (void)write_all(STDOUT_FILENO, LEAVE_ALTERNATE_SCREEN);
  (void)write_all(STDOUT_FILENO, SHOW_CURSOR);
  if (s.screen != nullptr) {
    delscreen(s.screen);
    s.screen = nullptr;
  }
  s.close_streams();
  // The handlers write to the terminal, so they go before its descriptor does.
  s.signal_restore.reset();
  if (s.owns_tty_fd) ::close(s.tty_fd);
  if (s.saved_locale) std::setlocale(LC_CTYPE, s.saved_locale->c_str());
}

}  // namespace vemo::tui

// Last in the file: <term.h> defines a macro for every capability name (columns, lines, ...).
#include <term.h>

namespace vemo::tui {
namespace {

// Whether the terminfo database describes TERM as a terminal the viewer can draw on: one that can
// move the cursor (TERM=dumb cannot, and the frames would run down the screen line after line).
// Probed with setupterm because a failing newterm keeps memory it allocated.
bool terminfo_knows_terminal(int fd) {
  int found = 0;
  if (setupterm(nullptr, fd, &found) != OK) return false;
  char* const move_cursor = tigetstr("cup");
  const bool addressable = move_cursor != nullptr && move_cursor != reinterpret_cast<char*>(-1);
  del_curterm(cur_term);
  return addressable;
}

}  // namespace
}  // namespace vemo::tui
