#pragma once
// The viewer's whole state and the actions that change it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "compare/records.hpp"
#include "trace/site_map.hpp"
#include "trace/trace_file.hpp"
#include "tui/aligned.hpp"
#include "tui/source_cache.hpp"

namespace vemo::tui {

// What the keyboard is typing into.
enum class InputMode : std::uint8_t { Normal = 0, WarpJump = 1, Search = 2 };

namespace action {
struct Quit {
  bool operator==(const Quit&) const = default;
};
struct Down {
  std::size_t count = 1;
  bool operator==(const Down&) const = default;
};
struct Up {
  std::size_t count = 1;
  bool operator==(const Up&) const = default;
};
struct PageDown {
  bool operator==(const PageDown&) const = default;
};
struct PageUp {
  bool operator==(const PageUp&) const = default;
};
struct Top {
  bool operator==(const Top&) const = default;
};
struct Bottom {
  bool operator==(const Bottom&) const = default;
};
struct NextDivergence {
  bool operator==(const NextDivergence&) const = default;
};
struct PrevDivergence {
  bool operator==(const PrevDivergence&) const = default;
};
struct CycleFocus {
  bool operator==(const CycleFocus&) const = default;
};
struct NextWarp {
  bool operator==(const NextWarp&) const = default;
};
struct PrevWarp {
  bool operator==(const PrevWarp&) const = default;
};
struct StartWarpJump {
  bool operator==(const StartWarpJump&) const = default;
};
struct WarpDigit {
  char32_t character = U'0';
  bool operator==(const WarpDigit&) const = default;
};
struct WarpConfirm {
  bool operator==(const WarpConfirm&) const = default;
};
struct WarpCancel {
  bool operator==(const WarpCancel&) const = default;
};
struct ToggleSource {
  bool operator==(const ToggleSource&) const = default;
};
struct StartSearch {
  bool operator==(const StartSearch&) const = default;
};
struct SearchChar {
  char32_t character = 0;
  bool operator==(const SearchChar&) const = default;
};
struct SearchBackspace {
  bool operator==(const SearchBackspace&) const = default;
};
struct SearchConfirm {
  bool operator==(const SearchConfirm&) const = default;
};
struct SearchCancel {
  bool operator==(const SearchCancel&) const = default;
};
struct NextMatch {
  bool operator==(const NextMatch&) const = default;
};
struct PrevMatch {
  bool operator==(const PrevMatch&) const = default;
};
struct None {
  bool operator==(const None&) const = default;
};
}  // namespace action

// One user request; the alternatives' indices are the action tags 0 to 24.
using Action =
    std::variant<action::Quit, action::Down, action::Up, action::PageDown, action::PageUp,
                 action::Top, action::Bottom, action::NextDivergence, action::PrevDivergence,
                 action::CycleFocus, action::NextWarp, action::PrevWarp, action::StartWarpJump,
                 action::WarpDigit, action::WarpConfirm, action::WarpCancel, action::ToggleSource,
                 action::StartSearch, action::SearchChar, action::SearchBackspace,
                 action::SearchConfirm, action::SearchCancel, action::NextMatch, action::PrevMatch,
                 action::None>;
static_assert(std::variant_size_v<Action> == 25);

// The panel with the highlighted border.
enum class Focus : std::uint8_t { TraceA = 0, TraceB = 1, Detail = 2 };

struct WarpEntry {
  std::size_t divergence_count = 0;
  std::uint32_t warp = 0;
  bool operator==(const WarpEntry&) const = default;
};

// One WarpEntry per warp id below the result's warp total, in ascending order of id (a
// position is the warp id), worked out on request from the divergences in warp order: nothing
// is stored or visited per warp, and each lookup is a binary search over the divergences.
class WarpList {
 public:
  WarpList(std::uint64_t total_warps, DivergencesByWarp divergences);

  std::size_t size() const { return size_; }
  // `position` < size().
  WarpEntry operator[](std::size_t position) const;
  // The diverged warps, those with at least one divergence: the first, the first above `warp`
  // and the last below it.
  std::optional<std::uint32_t> first_diverged() const { return diverged_at(0); }
  std::optional<std::uint32_t> next_diverged(std::uint32_t warp) const;
  std::optional<std::uint32_t> prev_diverged(std::uint32_t warp) const;
  // The sum of the divergence counts of the entries below `warp`.
  std::size_t divergences_below(std::uint32_t warp) const;

 private:
  // The warp of the divergence at `rank`, when it has an entry.
  std::optional<std::uint32_t> diverged_at(std::size_t rank) const;

  std::size_t size_;
  DivergencesByWarp divergences_;
};

// The screen height assumed until the first frame records the real one.
inline constexpr std::uint16_t INITIAL_VIEWPORT_HEIGHT = 24;

struct App {
  App(Trace a, Trace b, DiffResult result, std::optional<SiteMap> site_map, bool float_operands);

  // Changes the state for one action; an action that does not apply changes nothing.
  void apply(const Action& action);
  // The two numbers of the status line's "Div {}/{}": (ordinal, total).
  std::pair<std::size_t, std::size_t> divergence_position();
  // The warp's aligned view, built on first request and cached for the viewer's lifetime.
  const AlignedView& aligned_view(std::uint32_t warp);
  // The result's warps with their divergence counts; a view of the model, made on each call.
  WarpList warp_list() const { return {model.diff.total_warps, model.divergences_by_warp()}; }

  TuiModel model;
  std::uint32_t current_warp = 0;
  std::size_t cursor = 0;
  std::size_t scroll = 0;
  std::uint16_t viewport_height = INITIAL_VIEWPORT_HEIGHT;
  InputMode input_mode = InputMode::Normal;
  std::string warp_input;    // UTF-8
  std::string search_query;  // UTF-8
  std::vector<std::size_t> search_matches;
  std::size_t match_index = 0;
  bool search_active = false;
  bool show_source = false;
  Focus focus = Focus::TraceA;
  bool quit = false;
  bool float_operands = false;
  std::size_t total_divergences = 0;
  SourceCache source_cache;

 private:
  // Recomputes `search_matches` over the current warp's rows.
  void update_search();
  // Event rows assumed visible: viewport_height - 15, or 0.
  std::size_t visible_rows() const;
  // Rows moved by a page: half the visible rows, at least 1.
  std::size_t page_rows() const;
  std::size_t last_row();
  void move_cursor(std::size_t row);
  void keep_visible();
  void show_warp(std::uint32_t warp);
  void next_divergence();
  void prev_divergence();
  void step_match(bool forward);
  void confirm_warp_jump();
};

}  // namespace vemo::tui
