#include "trace/json_read.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/file_io.hpp"
#include "json_probe.hpp"
#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

Result<std::vector<Probe>> read(std::string_view text) {
  return json::read_records(text, PROBE);
}

std::string error_of(std::string_view text) {
  const auto result = read(text);
  if (result) return "<no error>";
  return result.error().message();
}

TEST(JsonRead, ReadsBothRecordForms) {
  const auto records = read(R"([
    {"rank": 7, "dims": [1, 2, 3], "kind": 255, "name": "a\"b\u00e9", "id": 4294967295},
    {"id": 0, "name": "", "kind": 0, "dims": [0, 0, 0], "rank": null},
    {"n\u0061me": "escaped key", "id": 1, "kind": 1, "dims": [4, 5, 6]},
    [2, "array", 3, [7, 8, 9]],
    [3, "array", 4, [1, 1, 1], null],
    [4, "array", 5, [2, 2, 2], 12]
  ])");
  ASSERT_TRUE(records) << records.error().message();
  ASSERT_EQ(records->size(), 6u);
  const Probe& first = (*records)[0];
  EXPECT_EQ(first.id, 4294967295u);
  EXPECT_EQ(first.name, "a\"b\xc3\xa9");
  EXPECT_EQ(first.kind, 255);
  EXPECT_EQ(first.dims, (std::array<std::uint32_t, 3>{1, 2, 3}));
  EXPECT_EQ(first.rank, 7u);
  EXPECT_EQ((*records)[1].rank, std::nullopt);
  EXPECT_EQ((*records)[2].name, "escaped key");
  EXPECT_EQ((*records)[2].rank, std::nullopt);
  EXPECT_EQ((*records)[3].dims, (std::array<std::uint32_t, 3>{7, 8, 9}));
  EXPECT_EQ((*records)[3].rank, std::nullopt);
  EXPECT_EQ((*records)[4].rank, std::nullopt);
  EXPECT_EQ((*records)[5].rank, 12u);
  EXPECT_EQ((*records)[5].kind, 5);
}

// Well-formed numbers beyond the range of a double.
const std::string kHugeInteger(400, '7');
constexpr std::string_view HUGE_NUMBERS = R"([1e400, -1E+999, 2.5e0309, "1e999\"", 1e-999])";

TEST(JsonRead, SkipsUnknownKeysWhateverTheirValue) {
  const std::string text = R"([{"extra": {"deep": [1, {"x": null}, "s", true]}, "id": 1,
    "name": "n", "more": [[]], "kind": 2, "Id": "other case", "dims": [1, 2, 3],
    "last": -1.5e3, "huge": )" +
                           std::string(HUGE_NUMBERS) + R"(, "long": )" + kHugeInteger + "}]";
  const auto records = read(text);
  ASSERT_TRUE(records) << records.error().message();
  ASSERT_EQ(records->size(), 1u);
  EXPECT_EQ((*records)[0].id, 1u);
  EXPECT_EQ((*records)[0].kind, 2);
}

TEST(JsonRead, EmptyArrayHasNoRecords) {
  for (const std::string_view text : {"[]", " \t\r\n[ ]\n"}) {
    const auto records = read(text);
    ASSERT_TRUE(records) << text;
    EXPECT_TRUE(records->empty());
  }
}

struct ErrorCase {
  std::string_view text;
  std::string_view message;
};

TEST(JsonRead, SyntaxErrorsNameTheirPosition) {
  const ErrorCase cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  ", "EOF while parsing a value at line 1 column 2"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[[1", "EOF while parsing a list at line 1 column 3"},
      {"[[1,", "EOF while parsing a value at line 1 column 4"},
      {"[[1 2]]", "expected `,` or `]` at line 1 column 5"},
      {"[[1,]]", "expected value at line 1 column 5"},
      {"[[tru]]", "expected value at line 1 column 6"},
      {"[[-]]", "expected value at line 1 column 4"},
      {"[[1.]]", "invalid number at line 1 column 5"},
      {"[[1e]]", "invalid number at line 1 column 5"},
      {R"([{"id" 1}])", "expected `:` at line 1 column 8"},
      {R"([{"id":1 "name"}])", "expected `,` or `}` at line 1 column 10"},
      {R"([{1:2}])", "key must be a string at line 1 column 3"},
      {R"([{"id":1,)", "EOF while parsing an object at line 1 column 9"},
      {R"([[1,"ab)", "EOF while parsing a string at line 1 column 7"},
      {R"([[1,"a\qb"]])", "invalid escape at line 1 column 7"},
      {"[[1,\"a\tb\"]]",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 7"},
      {R"([[1,"\ud800"]])", "lone surrogate in hex escape at line 1 column 6"},
      {R"([[1,"\udc00"]])", "lone surrogate in hex escape at line 1 column 12"},
      {"[[1,\"\xff\"]]", "invalid unicode code point at line 1 column 6"},
      {"[] x", "trailing characters at line 1 column 4"},
      {"[]\n[]", "trailing characters at line 2 column 1"},
      {std::string_view("[]\0", 3), "trailing characters at line 1 column 3"},
      {std::string_view("[\0]", 3), "expected value at line 1 column 2"},
      {"[\n  [1,\n   \"n\" 3]]", "expected `,` or `]` at line 3 column 8"},
      {R"([{"x": 1e400 1}])", "expected `,` or `}` at line 1 column 14"},
      {R"([{"x": 1e400)", "EOF while parsing an object at line 1 column 12"},
      {R"([{1e400: 1}])", "key must be a string at line 1 column 3"},
      {R"([{"x": 1e400.5}])", "number out of range at line 1 column 8"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(c.text), c.message) << c.text;
}

TEST(JsonRead, RecordErrorsNameWhatWasExpected) {
  const std::string huge_integer_in_field = "[[" + kHugeInteger + "]]";
  const std::string huge_integer_message =
      "invalid value: integer `" + kHugeInteger + "`, expected u32 at line 1 column 402";
  const ErrorCase cases[] = {
      // top level and elements of the wrong kind
      {"{}", "invalid type: map, expected a sequence at line 1 column 1"},
      {R"("x")", "invalid type: string \"x\", expected a sequence at line 1 column 3"},
      {"null", "invalid type: null, expected a sequence at line 1 column 4"},
      {"[5]", "invalid type: integer `5`, expected struct Probe at line 1 column 2"},
      {"[true]", "invalid type: boolean `true`, expected struct Probe at line 1 column 5"},
      // object form
      {R"([{"name":"n"}])", "missing field `id` at line 1 column 13"},
      {R"([{"id":1,"name":"n","kind":2}])", "missing field `dims` at line 1 column 29"},
      {R"([{"id":1,"id":2}])", "duplicate field `id` at line 1 column 13"},
      {R"([{"rank":null,"rank":null}])", "duplicate field `rank` at line 1 column 20"},
      {"[{\"id\": 1,\n  \"id\": 2}]", "duplicate field `id` at line 2 column 6"},
      // array form
      {"[[]]", "invalid length 0, expected struct Probe with 5 elements at line 1 column 3"},
      {R"([[1,"n",2]])",
       "invalid length 3, expected struct Probe with 5 elements at line 1 column 10"},
      {R"([[1,"n",2,[1,2,3],5,6]])", "trailing characters at line 1 column 21"},
      {R"([[1,"n",2,[1,2,3],5,[]]])", "trailing characters at line 1 column 21"},
      // integers only from their exact text, within range
      {"[[-1]]", "invalid value: integer `-1`, expected u32 at line 1 column 4"},
      {"[[-0]]", "invalid value: integer `-0`, expected u32 at line 1 column 4"},
      {"[[4294967296]]", "invalid value: integer `4294967296`, expected u32 at line 1 column 12"},
      {"[[99999999999999999999999]]",
       "invalid value: integer `99999999999999999999999`, expected u32 at line 1 column 25"},
      {"[[1.0]]", "invalid type: floating point `1.0`, expected u32 at line 1 column 5"},
      {"[[1e3]]", "invalid type: floating point `1e3`, expected u32 at line 1 column 5"},
      {R"([["1"]])", "invalid type: string \"1\", expected u32 at line 1 column 5"},
      {R"([[null]])", "invalid type: null, expected u32 at line 1 column 6"},
      {R"([[1,"n",256]])", "invalid value: integer `256`, expected u8 at line 1 column 11"},
      {R"([{"id":1,"kind":-2}])", "invalid value: integer `-2`, expected u8 at line 1 column 18"},
      {R"([[1,"n",2,[1,2,3],"x"]])",
       "invalid type: string \"x\", expected u32 at line 1 column 21"},
      {R"([[1,"n",2,[1,2,3],1.5]])",
       "invalid type: floating point `1.5`, expected u32 at line 1 column 21"},
      // strings
      {"[[1,2]]", "invalid type: integer `2`, expected a string at line 1 column 5"},
      {R"([[1,["a"]]])", "invalid type: sequence, expected a string at line 1 column 5"},
      // fixed-length integer arrays
      {R"([[1,"n",2,[1,2]]])",
       "invalid length 2, expected an array of length 3 at line 1 column 15"},
      {R"([[1,"n",2,[1,2,3,4]]])", "trailing characters at line 1 column 18"},
      {R"([[1,"n",2,{}]])", "invalid type: map, expected an array of length 3 at line 1 column 11"},
      {R"([[1,"n",2,[1,2,"3"]]])", "invalid type: string \"3\", expected u32 at line 1 column 18"},
      {R"([[1,"n",2,[1,2,4294967296]]])",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 25"},
      // numbers beyond the range of a double are still numbers
      {"1e400", "invalid type: floating point `1e400`, expected a sequence at line 1 column 5"},
      {"[-1E+999]",
       "invalid type: floating point `-1E+999`, expected struct Probe at line 1 column 8"},
      {"[[1e400]]", "invalid type: floating point `1e400`, expected u32 at line 1 column 7"},
      {huge_integer_in_field, huge_integer_message},
      {R"([[1,"n",2,[1,2,3],5,1e999]])", "trailing characters at line 1 column 25"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(c.text), c.message) << c.text;
}

TEST(JsonRead, RefusesNestingTooDeepForTheStack) {
  // The 127th bracket inside the unknown key's value is nesting level 129.
  const std::string text = R"([{"x":)" + std::string(100000, '[');
  EXPECT_EQ(error_of(text), "recursion limit exceeded at line 1 column 133");
}

TEST(JsonRead, ReadsWholeFilesAsText) {
  const auto dir = scratch_dir();
  write_file(dir / "good.json", std::string_view("[1, \"\xc3\xa9\"]\n"));
  write_file(dir / "latin1.json", std::string_view("[\"\xe9\"]"));

  const auto good = read_text_file(dir / "good.json");
  ASSERT_TRUE(good) << good.error().message();
  EXPECT_EQ(*good, "[1, \"\xc3\xa9\"]\n");

  const struct {
    std::filesystem::path path;
    std::string_view message;
  } failures[] = {
      {dir / "missing.json", "No such file or directory (os error 2)"},
      {dir, "Is a directory (os error 21)"},
      {dir / "latin1.json", "stream did not contain valid UTF-8"},
  };
  for (const auto& f : failures) {
    const auto text = read_text_file(f.path);
    ASSERT_FALSE(text) << f.path;
    EXPECT_EQ(text.error().message(), f.message);
    EXPECT_TRUE(text.error().causes().empty());
  }
}

}  // namespace
}  // namespace vemo::testing
