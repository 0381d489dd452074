#include "trace/json_scan.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json_probe.hpp"
#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

using namespace std::string_literals;

// The records of the quick reading, or nothing when it declined.
std::optional<std::vector<Probe>> scan(json::TextWindow& window) {
  std::vector<Probe> records;
  if (!json::scan_records(window, PROBE, [&](const Probe& probe) { records.push_back(probe); })) {
    return std::nullopt;
  }
  return records;
}

// The quick reading of `text` from a file read `chunk_size` bytes at a time.
std::optional<std::vector<Probe>> scan_file(std::string_view text, std::size_t chunk_size) {
  const auto path = scratch_dir() / "scan.json";
  write_file(path, text);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  json::TextWindow window(fd, chunk_size);
  auto records = scan(window);
  ::close(fd);
  return records;
}

constexpr std::string_view RECORD = R"({"id": 1, "name": "a", "kind": 2, "dims": [1, 2, 3]})";

std::string with_record(std::string_view record) {
  return "[" + std::string(RECORD) + ",\n " + std::string(record) + "]";
}

// Whatever the quick reading accepts, the strict reader reads to the same records, wherever the
// chunks end; everything outside the common shape is left to the strict reader.
TEST(JsonScan, AgreesWithTheStrictReaderOrDeclines) {
  const struct {
    std::string text;
    bool accepted;
  } cases[] = {
      {"[]", true},
      {" \t\r\n[ \n ] \n", true},
      {with_record(R"({"rank": 4294967295, "dims": [0,0,0], "kind": 255, "name": "", "id": 0})"),
       true},
      {with_record(R"({"id":1,"name":"caf\u00e9","kind":0,"dims":[1,1,1],"rank":null})"), false},
      {with_record("{\"id\":1,\"name\":\"caf\xc3\xa9 \xf0\x9f\x98\x80\",\"kind\":0,"
                   "\"dims\":[1,1,1],\"rank\":null}"),
       true},
      {with_record(R"([2, "array", 3, [7, 8, 9]])"), true},
      {with_record(R"([2, "array", 3, [7, 8, 9], null])"), true},
      {with_record(R"([2, "array", 3, [7, 8, 9], 12])"), true},
      {with_record(R"([2, "array", 3])"), false},
      {with_record(R"([2, "array", 3, [7, 8, 9], 12, 13])"), false},
      {with_record(R"([])"), false},
      {with_record(R"({})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2})"), false},
      {with_record(R"({"id":1,"id":1,"name":"a","kind":2,"dims":[1,2,3]})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"rank":null,"rank":null})"),
       false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"extra":{"x":[1]}})"), true},
      {with_record(R"({"t":true,"id":1,"f":false,"name":"a","n":null,"kind":2,"e":{},"a":[],)"
                   R"("x":[-0, 0.5, -12.25e+3, 1E-2, "s", {"id": "not a field", "q": [[]]}],)"
                   R"("dims":[1,2,3],"t":1})"),
       true},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"x":1.})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"x":-})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"x":01})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"x":1e})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"x":+1})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"x":tru})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"x":[1,]})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"x":{"a" 1}})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"x":{1:2}})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"x":"
"})"),
       false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"x":1e400})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"x":)" + std::string(40, '9') +
                   "}"),
       false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"x":)" + std::string(40, '[') +
                   std::string(40, ']') + "}"),
       false},
      {with_record(R"({"id":1,"n\u0061me":"a","kind":2,"dims":[1,2,3]})"), false},
      {with_record(R"({"id":4294967296,"name":"a","kind":2,"dims":[1,2,3]})"), false},
      {with_record(R"({"id":99999999999999,"name":"a","kind":2,"dims":[1,2,3]})"), false},
      {with_record(R"({"id":1,"name":"a","kind":256,"dims":[1,2,3]})"), false},
      {with_record(R"({"id":-1,"name":"a","kind":2,"dims":[1,2,3]})"), false},
      {with_record(R"({"id":01,"name":"a","kind":2,"dims":[1,2,3]})"), false},
      {with_record(R"({"id":1.0,"name":"a","kind":2,"dims":[1,2,3]})"), false},
      {with_record(R"({"id":1e2,"name":"a","kind":2,"dims":[1,2,3]})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2]})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3,4]})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"rank":nul})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],"rank":nullx})"), false},
      {with_record(R"({"id":"1","name":"a","kind":2,"dims":[1,2,3]})"), false},
      {with_record("{\"id\":1,\"name\":\"a\tb\",\"kind\":2,\"dims\":[1,2,3]}"), false},
      {with_record("{\"id\":1,\"name\":\"a\xff\",\"kind\":2,\"dims\":[1,2,3]}"), false},
      {with_record("{\"id\":1,\"name\":\"a\xe0\x80\xaf\",\"kind\":2,\"dims\":[1,2,3]}"), false},
      {with_record(R"({"id":1 "name":"a","kind":2,"dims":[1,2,3]})"), false},
      {with_record(R"({"id":1,"name":"a","kind":2,"dims":[1,2,3],})"), false},
      {"[" + std::string(RECORD) + ",]", false},
      {"[" + std::string(RECORD) + "] x", false},
      {"[" + std::string(RECORD) + "]\0"s, false},
      {"\xef\xbb\xbf[]", false},
      {"[" + std::string(RECORD), false},
      {"[" + std::string(RECORD.substr(0, 20)), false},
      {"", false},
      {"{}", false},
      {"[1]", false},
  };
  for (const auto& c : cases) {
    const auto strict = json::read_records(c.text, PROBE);
    json::TextWindow whole(c.text);
    const auto quick = scan(whole);
    EXPECT_EQ(quick.has_value(), c.accepted) << c.text;
    if (quick) {
      ASSERT_TRUE(strict) << c.text;
      EXPECT_EQ(*quick, *strict) << c.text;
    }
    for (const std::size_t chunk : {1, 2, 3, 7, 64}) {
      EXPECT_EQ(scan_file(c.text, chunk), quick) << c.text << " in chunks of " << chunk;
    }
  }
}

TEST(JsonScan, WindowGrowsForARecordLongerThanItsChunks) {
  const std::string name(5000, 'n');
  const std::string text =
      with_record(R"({"id":9,"name":")" + name + R"(","kind":1,"dims":[1,2,3]})");
  const auto records = scan_file(text, 64);
  ASSERT_TRUE(records);
  ASSERT_EQ(records->size(), 2u);
  EXPECT_EQ((*records)[1].name, name);
}

}  // namespace
}  // namespace vemo::testing
