#pragma once
// Drawing one viewer frame: the two event panels, the detail panel and the bottom line.

#include "tui/app.hpp"
#include "tui/widgets.hpp"

namespace vemo::tui {

// Draws the whole frame and records the terminal height in `app.viewport_height`.
void render_frame(Frame& frame, App& app);

}  // namespace vemo::tui
