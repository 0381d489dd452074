#include "output/json_write.hpp"

#include <array>
#include <cstddef>

namespace vemo::json {

namespace {

// The escape letter of each byte that needs one: 'u' for \u00XX, 0 for none.
constexpr std::array<char, 256> escape_table() {
  std::array<char, 256> table{};
  for (std::size_t c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}

constexpr std::array<char, 256> ESCAPE = escape_table();
constexpr std::string_view HEX_DIGITS = "0123456789abcdef";

void write_escape(OutputSink& sink, unsigned char c) {
  const char letter = ESCAPE[c];
  sink.put('\\');
  sink.put(letter);
  if (letter != 'u') return;
  sink.write("00");
  sink.put(HEX_DIGITS[c >> 4]);
  sink.put(HEX_DIGITS[c & 0xF]);
}

}  // namespace

void write_string(OutputSink& sink, std::string_view text) {
  sink.put('"');
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (ESCAPE[c] == 0) continue;
    sink.write(text.substr(run_start, i - run_start));
    write_escape(sink, c);
    run_start = i + 1;
  }
  sink.write(text.substr(run_start));
  sink.put('"');
}

}  // namespace vemo::json
