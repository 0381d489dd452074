#include "tui/app.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>

#include <fmt/format.h>

#include "core/overloaded.hpp"
#include "core/text.hpp"
#include "trace/site_text.hpp"

namespace vemo::tui {

namespace {

// Rows of the screen taken by everything but the event rows, as the moves assume it.
constexpr std::uint16_t VIEWPORT_RESERVED_ROWS = 15;

std::size_t saturating_add(std::size_t a, std::size_t b) {
  return b > std::numeric_limits<std::size_t>::max() - a ? std::numeric_limits<std::size_t>::max()
                                                         : a + b;
}
std::size_t saturating_sub(std::size_t a, std::size_t b) {
  return a > b ? a - b : 0;
}

// Removes the last character (not just its last byte) of UTF-8 `text`.
void pop_utf8(std::string& text) {
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text.back());
    text.pop_back();
    if ((byte & 0xC0) != 0x80) return;
  }
}

// A decimal number of ASCII digits (leading zeros allowed) within u32, or none: from_chars
// takes no sign for an unsigned type and fails on an empty text.
std::optional<std::uint32_t> parse_warp_number(std::string_view text) {
  std::uint32_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return number;
}

std::string_view event_word(std::uint8_t event_type) {
  switch (event_type) {
    case 0:
      return "branch";
    case 1:
      return "shmem";
    case 2:
      return "atomic";
    case 3:
      return "funcentry";
    case 4:
      return "funcexit";
    case 5:
      return "switch";
    case 6:
      return "globalstore";
    default:
      return "unknown";
  }
}

std::string_view marker_word(const RowMarker& m) {
  return std::visit(Overloaded{
                        [](const marker::Branch&) { return std::string_view("branch"); },
                        [](const marker::ActiveMask&) { return std::string_view("activemask"); },
                        [](const marker::Value&) { return std::string_view("value"); },
                        [](const marker::Path&) { return std::string_view("path"); },
                        [](const marker::ExtraA&) { return std::string_view("extra"); },
                        [](const marker::ExtraB&) { return std::string_view("extra"); },
                    },
                    m);
}

// What a query is matched against: side A's site and event word, side B's site, the markers'
// words. All of it is lower-case already.
std::string search_text(const AlignedRow& row) {
  std::string text;
  if (row.a) {
    text += fmt::format("{} {} ", site_id_text(row.a->site_id), event_word(row.a->event_type));
  }
  if (row.b) text += fmt::format("{} ", site_id_text(row.b->site_id));
  for (const RowMarker& m : row.markers) {
    text += marker_word(m);
    text += ' ';
  }
  return text;
}

Focus next_focus(Focus focus) {
  switch (focus) {
    case Focus::TraceA:
      return Focus::TraceB;
    case Focus::TraceB:
      return Focus::Detail;
    case Focus::Detail:
      return Focus::TraceA;
  }
  return Focus::TraceA;
}

}  // namespace

WarpList::WarpList(std::uint64_t total_warps, DivergencesByWarp divergences)
    // Warp ids are u32; a larger warp total cannot come from a real trace.
    : size_(static_cast<std::size_t>(
          std::min<std::uint64_t>(total_warps, std::numeric_limits<std::uint32_t>::max()))),
      divergences_(divergences) {}

WarpEntry WarpList::operator[](std::size_t position) const {
  const auto warp = static_cast<std::uint32_t>(position);
  return {divergences_.up_to(warp) - divergences_.below(warp), warp};
}

std::optional<std::uint32_t> WarpList::diverged_at(std::size_t rank) const {
  if (rank >= divergences_.size()) return std::nullopt;
  const std::uint32_t warp = divergences_[rank].warp_idx;
  // In warp order, a divergence past the list is followed only by others past it.
  if (warp >= size_) return std::nullopt;
  return warp;
}

std::optional<std::uint32_t> WarpList::next_diverged(std::uint32_t warp) const {
  return diverged_at(divergences_.up_to(warp));
}

std::optional<std::uint32_t> WarpList::prev_diverged(std::uint32_t warp) const {
  const std::size_t rank = divergences_below(warp);
  if (rank == 0) return std::nullopt;
  return divergences_[rank - 1].warp_idx;
}

std::size_t WarpList::divergences_below(std::uint32_t warp) const {
  return divergences_.below(static_cast<std::uint32_t>(std::min<std::size_t>(warp, size_)));
}

App::App(Trace a, Trace b, DiffResult result, std::optional<SiteMap> site_map,
         bool float_operands_flag)
    : model(build_tui_model(std::move(a), std::move(b), std::move(result), std::move(site_map))),
      float_operands(float_operands_flag),
      total_divergences(model.diff.divergences.size()) {
  current_warp = warp_list().first_diverged().value_or(0);
}

const AlignedView& App::aligned_view(std::uint32_t warp) {
  auto found = model.aligned_cache.find(warp);
  if (found == model.aligned_cache.end()) {
    found = model.aligned_cache.emplace(warp, build_aligned_view(model, warp)).first;
  }
  return found->second;
}

std::size_t App::visible_rows() const {
  return viewport_height > VIEWPORT_RESERVED_ROWS ? viewport_height - VIEWPORT_RESERVED_ROWS : 0;
}

std::size_t App::page_rows() const {
  return std::max<std::size_t>(visible_rows() / 2, 1);
}

std::size_t App::last_row() {
  const std::size_t rows = aligned_view(current_warp).rows.size();
  return rows == 0 ? 0 : rows - 1;
}

void App::keep_visible() {
  const std::size_t vis = visible_rows();
  if (vis == 0) return;
  if (cursor < scroll) {
    scroll = cursor;
  } else if (cursor - scroll >= vis) {
    scroll = cursor + 1 - vis;
  }
}

void App::move_cursor(std::size_t row) {
  cursor = row;
  keep_visible();
}

void App::show_warp(std::uint32_t warp) {
  current_warp = warp;
  cursor = 0;
  scroll = 0;
}

void App::step_match(bool forward) {
  const std::size_t count = search_matches.size();
  if (count == 0) return;
  if (forward) {
    match_index = (match_index + 1) % count;
  } else {
    match_index = (match_index == 0 ? count : std::min(match_index, count)) - 1;
  }
  move_cursor(search_matches[match_index]);
}

void App::next_divergence() {
  if (search_active && !search_matches.empty()) return step_match(true);
  const auto& marked = aligned_view(current_warp).marked_rows;
  if (const auto next = std::upper_bound(marked.begin(), marked.end(), cursor);
      next != marked.end()) {
    return move_cursor(*next);
  }
  // Whether or not the current warp diverged, the next diverged warp is the first above it.
  const auto target = warp_list().next_diverged(current_warp);
  if (!target) return;
  show_warp(*target);
  const auto& target_marked = aligned_view(current_warp).marked_rows;
  if (!target_marked.empty()) move_cursor(target_marked.front());
}

void App::prev_divergence() {
  if (search_active && !search_matches.empty()) return step_match(false);
  const auto& marked = aligned_view(current_warp).marked_rows;
  if (const auto next = std::lower_bound(marked.begin(), marked.end(), cursor);
      next != marked.begin()) {
    return move_cursor(*std::prev(next));
  }
  const auto target = warp_list().prev_diverged(current_warp);
  if (!target) return;
  show_warp(*target);
  const auto& target_marked = aligned_view(current_warp).marked_rows;
  if (!target_marked.empty()) move_cursor(target_marked.back());
}

void App::confirm_warp_jump() {
  const auto warp = parse_warp_number(warp_input);
  if (warp && *warp < model.trace_a.header.num_warps) show_warp(*warp);
  input_mode = InputMode::Normal;
  warp_input.clear();
}

void App::update_search() {
  search_matches.clear();
  if (search_query.empty()) return;
  const std::string query = to_lower_full(search_query);
  for (const AlignedRow& row : aligned_view(current_warp).rows) {
    if (search_text(row).find(query) != std::string::npos) search_matches.push_back(row.index);
  }
  match_index = 0;
}

std::pair<std::size_t, std::size_t> App::divergence_position() {
  const std::size_t total = total_divergences;
  const WarpList warps = warp_list();
  if (warps.size() == 0) return {0, total};
  const std::size_t sum = warps.divergences_below(current_warp);
  if (current_warp >= warps.size()) return {sum, total};
  const auto& marked = aligned_view(current_warp).marked_rows;
  const auto before = std::lower_bound(marked.begin(), marked.end(), cursor);
  const bool on_marked = before != marked.end() && *before == cursor;
  return {sum + static_cast<std::size_t>(before - marked.begin()) + (on_marked ? 1 : 0), total};
}

void App::apply(const Action& action) {
  const std::uint64_t num_warps = model.trace_a.header.num_warps;
  std::visit(Overloaded{
                 [&](const action::Quit&) { quit = true; },
                 [&](const action::Down& a) {
                   move_cursor(std::min(saturating_add(cursor, a.count), last_row()));
                 },
                 [&](const action::Up& a) { move_cursor(saturating_sub(cursor, a.count)); },
                 [&](const action::PageDown&) {
                   move_cursor(std::min(saturating_add(cursor, page_rows()), last_row()));
                 },
                 [&](const action::PageUp&) { move_cursor(saturating_sub(cursor, page_rows())); },
                 [&](const action::Top&) {
                   cursor = 0;
                   scroll = 0;
                 },
                 [&](const action::Bottom&) {
                   if (!aligned_view(current_warp).rows.empty()) move_cursor(last_row());
                 },
                 [&](const action::NextDivergence&) { next_divergence(); },
                 [&](const action::PrevDivergence&) { prev_divergence(); },
                 [&](const action::CycleFocus&) { focus = next_focus(focus); },
                 [&](const action::NextWarp&) {
                   if (std::uint64_t{current_warp} + 1 < num_warps) show_warp(current_warp + 1);
                 },
                 [&](const action::PrevWarp&) {
                   if (current_warp > 0 && current_warp - 1 < num_warps)
                     show_warp(current_warp - 1);
                 },
                 [&](const action::StartWarpJump&) {
                   input_mode = InputMode::WarpJump;
                   warp_input.clear();
                 },
                 [&](const action::WarpDigit& a) { append_utf8(warp_input, a.character); },
                 [&](const action::WarpConfirm&) { confirm_warp_jump(); },
                 [&](const action::WarpCancel&) {
                   input_mode = InputMode::Normal;
                   warp_input.clear();
                 },
                 [&](const action::ToggleSource&) { show_source = !show_source; },
                 [&](const action::StartSearch&) {
                   input_mode = InputMode::Search;
                   search_query.clear();
                   search_matches.clear();
                   match_index = 0;
                 },
                 [&](const action::SearchChar& a) {
                   append_utf8(search_query, a.character);
                   update_search();
                 },
                 [&](const action::SearchBackspace&) {
                   pop_utf8(search_query);
                   update_search();
                 },
                 [&](const action::SearchConfirm&) {
                   input_mode = InputMode::Normal;
                   search_active = !search_matches.empty();
                   if (search_active) {
                     match_index = 0;
                     move_cursor(search_matches.front());
                   }
                 },
                 [&](const action::SearchCancel&) {
                   input_mode = InputMode::Normal;
                   search_query.clear();
                   search_matches.clear();
                   search_active = false;
                 },
                 [&](const action::NextMatch&) { step_match(true); },
                 [&](const action::PrevMatch&) { step_match(false); },
                 [&](const action::None&) {},
             },
             action);
}

}  // namespace vemo::tui
