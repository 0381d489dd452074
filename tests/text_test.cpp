#include "core/text.hpp"

#include <gtest/gtest.h>

#include <string>

#include <fmt/format.h>

namespace vemo::testing {
namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

std::string replaced(std::string_view pattern) {
  // '?' in `pattern` stands for U+FFFD.
  std::string out;
  for (char c : pattern) c == '?' ? out.append(REPLACEMENT) : out.append(1, c);
  return out;
}

TEST(Utf8, ValidityAndLossyDecoding) {
  struct Case {
    std::string bytes;
    std::string lossy;  // with '?' for U+FFFD
  };
  const Case cases[] = {
      {"", ""},
      {"plain ascii", "plain ascii"},
      {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},  // two-byte sequences
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},    // four-byte sequence
      {"a\xFF"
       "b",
       "a?b"},                       // byte never valid
      {"\xC3", "?"},                 // sequence cut at the end
      {"\xC3(", "?("},               // continuation missing
      {"\xF0\x9F\x98", "?"},         // one maximal subpart: one U+FFFD
      {"\xC0\x80", "??"},            // overlong: each byte replaced
      {"\xE0\x80\x80", "???"},       // overlong three-byte form
      {"\xED\xA0\x80", "???"},       // surrogate
      {"\xF4\x90\x80\x80", "????"},  // above U+10FFFF
      {"\x80x", "?x"},               // lone continuation byte
  };
  for (const Case& c : cases) {
    const std::string expected = replaced(c.lossy);
    EXPECT_EQ(lossy_utf8(c.bytes), expected) << ::testing::PrintToString(c.bytes);
    EXPECT_EQ(is_valid_utf8(c.bytes), expected == c.bytes) << ::testing::PrintToString(c.bytes);
  }
}

TEST(TrimWhiteSpace, RemovesUnicodeWhiteSpaceAtBothEnds) {
  struct Case {
    std::string text;
    std::string trimmed;
  };
  const Case cases[] = {
      {"", ""},
      {" \t\n\r\v\f", ""},
      {"  a b  ", "a b"},
      {"\xC2\xA0"
       "x\xE3\x80\x80",
       "x"},                               // no-break space, ideographic space
      {"\xE2\x80\xA8x\xC2\x85", "x"},      // line separator, next line
      {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},  // zero width space is no white space
      {" \xFF ", "\xFF"},                  // invalid bytes stay
  };
  for (const Case& c : cases) {
    EXPECT_EQ(trim_white_space(c.text), c.trimmed) << ::testing::PrintToString(c.text);
  }
}

TEST(ToLowerFull, UsesTheFullMapping) {
  struct Case {
    std::string text;
    std::string lower;
  };
  const Case cases[] = {
      {"", ""},
      {"ActiveMask,BRANCH", "activemask,branch"},
      {"\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9"},  // ÉTÉ
      {"\xC4\xB0", "i\xCC\x87"},                   // İ becomes two code points
      {"\xCE\x91\xCE\xA3", "\xCE\xB1\xCF\x82"},    // final sigma
      {"\xE1\xBA\x9E", "\xC3\x9F"},                // capital sharp s
  };
  for (const Case& c : cases) {
    EXPECT_EQ(to_lower_full(c.text), c.lower) << ::testing::PrintToString(c.text);
  }
}

TEST(EscapeControls, WritesEachControlVisiblyAndKeepsEveryOtherByte) {
  struct Case {
    std::string text;
    std::string escaped;
  };
  const Case cases[] = {
      {"", ""},
      {"kernel_a file.cu:12 \xC3\xA9\xE2\x86\x92", "kernel_a file.cu:12 \xC3\xA9\xE2\x86\x92"},
      {"tab\tand\nline", "tab\tand\nline"},                 // kept: layout, not control
      {"\x1b]0;X\x07", "\\x1b]0;X\\x07"},                   // window title
      {"\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H"},                 // clear screen
      {std::string("a\0b", 3), "a\\x00b"},                  // NUL
      {"\x01\x0b\x0c\r\x1f", "\\x01\\x0b\\x0c\\x0d\\x1f"},  // the rest of C0
      {"del\x7f", "del\\x7f"},                              // DEL
      {"\xC2\x80\xC2\x9B"
       "9\xC2\x9F",
       "\\u0080\\u009b9\\u009f"},                        // C1: first, CSI, last
      {"\xC2\xA0\xC2\x7F", "\xC2\xA0\xC2\\x7f"},         // no C1: NBSP; C2 before DEL
      {"\xC2", "\xC2"},                                  // a lead byte cut at the end
      {"\xFF\x1b\xE0\xC2\x9B", "\xFF\\x1b\xE0\\u009b"},  // invalid bytes stay as they are
      {"\\x1b", "\\x1b"},                                // already escaped text stays
  };
  for (const Case& c : cases) {
    const auto shown = ::testing::PrintToString(c.text);
    EXPECT_EQ(escape_controls(c.text), c.escaped) << shown;
    std::string appended = "> ";
    append_escaped_controls(appended, c.text);
    EXPECT_EQ(appended, "> " + c.escaped) << shown;
    EXPECT_EQ(fmt::format("[{}]", controls_escaped(c.text)), "[" + c.escaped + "]") << shown;
    EXPECT_EQ(find_control(c.text) == std::string_view::npos, c.text == c.escaped) << shown;
  }
}

TEST(EscapeControls, FindsTheFirstControlAtEveryPositionOfLongerTexts) {
  // Texts are searched in blocks of several bytes; this crosses every block boundary.
  for (std::size_t size = 1; size <= 40; ++size) {
    const std::string plain(size, 'a');
    EXPECT_EQ(find_control(plain), std::string_view::npos);
    std::string accented;
    while (accented.size() + 2 <= size) accented += "\xC3\xA9";
    EXPECT_EQ(find_control(accented + "\t\n"), std::string_view::npos);
    for (std::size_t at = 0; at < size; ++at) {
      for (const std::string_view control : {"\x1b", "\x7f", "\xC2\x9b"}) {
        std::string text = plain;
        text.replace(at, 1, control);
        text += "\x07";  // a later control must not hide the first
        EXPECT_EQ(find_control(text), at) << ::testing::PrintToString(text);
      }
      std::string layout = plain;
      layout[at] = at % 2 == 0 ? '\t' : '\n';
      EXPECT_EQ(find_control(layout), std::string_view::npos) << size << " " << at;
    }
  }
}

TEST(EscapeControls, FormatSpecsApplyToTheEscapedText) {
  EXPECT_EQ(fmt::format("{:>8}|{:<6}|", controls_escaped("\x1b"), controls_escaped("ok")),
            "    \\x1b|ok    |");
}

}  // namespace
}  // namespace vemo::testing
