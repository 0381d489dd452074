#pragma once
// The viewer's entry point and its key map.

#include <optional>

#include "compare/records.hpp"
#include "core/error.hpp"
#include "trace/site_map.hpp"
#include "trace/trace_file.hpp"
#include "tui/app.hpp"
#include "tui/terminal.hpp"

namespace vemo::tui {

// The action of one key stroke in `mode`. Only the key code, the character and, in Normal mode,
// the CONTROL modifier count.
Action keymap(const KeyEvent& key, InputMode mode);

// One terminal event for the viewer: a key is mapped in the current input mode and applied; a
// resize records the new number of rows at once, before the next frame.
void handle_event(App& app, const Event& event);

// Takes over the terminal and runs the viewer until the user quits. Fails with "Failed to enable
// raw mode. Is this a TTY?" when there is no terminal, or with the terminal's error later; the
// terminal is given back on every way out once raw mode is on.
Status run_tui(Trace a, Trace b, DiffResult result, std::optional<SiteMap> site_map,
               bool float_operands);

}  // namespace vemo::tui
