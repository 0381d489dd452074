#include "trace/site_map.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/trace_builder.hpp"

namespace vemo::testing {
namespace {

Result<SiteMap> load_text(std::string_view text) {
  const auto path = scratch_dir() / "sites.json";
  write_file(path, text);
  return load_site_map(path);
}

SiteMap load_ok(std::string_view text) {
  auto map = load_text(text);
  EXPECT_TRUE(map) << map.error().message();
  return map ? std::move(*map) : SiteMap{};
}

constexpr std::string_view KERNEL_LOCATION =
    R"({"site_id": 7, "filename": "k.cu", "function": "kern", "line": 12, "column": 5,
        "event_type": 0, "ordinal": 3})";

TEST(SiteMap, LoadsObjectRecords) {
  const SiteMap map = load_ok(std::string("[") + std::string(KERNEL_LOCATION) + "]");
  ASSERT_EQ(map.size(), 1u);
  const SourceLocation* location = map.find(7);
  ASSERT_NE(location, nullptr);
  EXPECT_EQ(location->filename, "k.cu");
  EXPECT_EQ(location->function, "kern");
  EXPECT_EQ(location->line, 12u);
  EXPECT_EQ(location->column, 5u);
  EXPECT_EQ(location->event_type, 0);
  EXPECT_EQ(location->ordinal, 3u);
  EXPECT_EQ(map.find(8), nullptr);
  EXPECT_EQ(find_location(&map, 7), location);
  EXPECT_EQ(find_location(nullptr, 7), nullptr);
}

TEST(SiteMap, EmptyArrayIsAnEmptyMap) {
  EXPECT_EQ(load_ok("[]").size(), 0u);
}

TEST(SiteMap, LastRecordOfASiteWins) {
  const SiteMap map = load_ok(R"([
    [7, "first.cu", "f", 1, 1, 0, 0],
    [8, "other.cu", "g", 2, 2, 1],
    [7, "second.cu", "f", 3, 3, 0]
  ])");
  EXPECT_EQ(map.size(), 2u);
  ASSERT_NE(map.find(7), nullptr);
  EXPECT_EQ(map.find(7)->filename, "second.cu");
  EXPECT_EQ(map.find(7)->ordinal, std::nullopt);
}

TEST(SiteMap, OrdinalMayBeNullOrLeftOut) {
  const SiteMap map = load_ok(R"([
    {"site_id": 1, "filename": "a", "function": "f", "line": 1, "column": 1, "event_type": 0,
     "ordinal": null},
    {"site_id": 2, "filename": "a", "function": "f", "line": 1, "column": 1, "event_type": 0},
    [5, "a.cu", "f", 10, 3, 0],
    [6, "a.cu", "f", 10, 3, 0, null],
    [9, "a.cu", "f", 10, 3, 0, 2]
  ])");
  ASSERT_EQ(map.size(), 5u);
  for (const std::uint32_t id : {1u, 2u, 5u, 6u}) {
    ASSERT_NE(map.find(id), nullptr) << id;
    EXPECT_EQ(map.find(id)->ordinal, std::nullopt) << id;
  }
  EXPECT_EQ(map.find(5)->line, 10u);
  EXPECT_EQ(map.find(9)->ordinal, 2u);
}

TEST(SiteMap, IgnoresUnknownKeys) {
  const SiteMap map = load_ok(R"([{"site_id": 4, "notes": {"tags": [1, "x", {"y": null}]},
    "filename": "a.cu", "function": "f", "line": 1, "column": 2, "event_type": 6}])");
  ASSERT_NE(map.find(4), nullptr);
  EXPECT_EQ(map.find(4)->event_type, 6);
}

TEST(SiteMap, ParseErrorsNameThePosition) {
  const struct {
    std::string_view text;
    std::string_view message;
  } cases[] = {
      {R"([{"site_id": 1, "filename": "a", "column": 1, "event_type": 0}])",
       "missing field `function` at line 1 column 62"},
      {R"([{"site_id": 1, "site_id": 2}])", "duplicate field `site_id` at line 1 column 25"},
      {R"([{"ordinal": null, "ordinal": null}])", "duplicate field `ordinal` at line 1 column 28"},
      {R"([[1, "a", "f", -1, 1, 0]])",
       "invalid value: integer `-1`, expected u32 at line 1 column 17"},
      {R"([[1, "a", "f", 4294967296, 1, 0]])",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 25"},
      {R"([[1, "a", "f", 1, 1, 256]])",
       "invalid value: integer `256`, expected u8 at line 1 column 24"},
      {R"([[1, "a", "f", 1, 1.0, 0]])",
       "invalid type: floating point `1.0`, expected u32 at line 1 column 21"},
      {R"([[1, "a", "f", 1, 1, 0, 1e2]])",
       "invalid type: floating point `1e2`, expected u32 at line 1 column 27"},
      {R"([{"site_id": "1"}])", "invalid type: string \"1\", expected u32 at line 1 column 16"},
      {R"([[5, "a.cu", "f", 10, 3]])",
       "invalid length 5, expected struct SourceLocation with 7 elements at line 1 column 24"},
      {R"([[5, "a.cu", "f", 10, 3, 0, 2, 9]])", "trailing characters at line 1 column 32"},
      {R"(["a.cu"])",
       "invalid type: string \"a.cu\", expected struct SourceLocation at line 1 column 7"},
      {R"({"site_id": 1})", "invalid type: map, expected a sequence at line 1 column 1"},
      {"[]\n]", "trailing characters at line 2 column 1"},
      {"[\n  [1, \"a\" \"f\"]\n]", "expected `,` or `]` at line 2 column 11"},
  };
  for (const auto& c : cases) {
    const auto map = load_text(c.text);
    ASSERT_FALSE(map) << c.text;
    EXPECT_EQ(map.error().message(), c.message) << c.text;
    EXPECT_TRUE(map.error().causes().empty());
  }
}

// Records on lines of their own, enough to span several chunks of the reader.
std::string many_records(std::size_t count) {
  std::string text = "[\n";
  for (std::size_t i = 0; i < count; ++i) {
    text += R"({"site_id": )" + std::to_string(i % (count - 1)) +
            R"(, "filename": "src/kernels/attention.cu", "function": "kern", "line": )" +
            std::to_string(i) + R"(, "column": 1, "event_type": 0},)" + "\n";
  }
  return text;
}

// Beyond the first chunks, a map the quick reading declines is read again from the start: the
// records already seen are not counted twice, and errors name their line and column.
TEST(SiteMap, LargeMapsReadAlikeWhateverTheirShape) {
  constexpr std::size_t COUNT = 12000;  // about 1.3 MB
  const std::string records = many_records(COUNT);
  const std::string escaped = R"({"site_id": 900000, "filename": "caf\u00e9.cu", "function": "f",)"
                              R"( "line": 3, "column": 4, "event_type": 0})";
  const struct {
    std::string text;
    std::size_t size;
  } cases[] = {
      {records.substr(0, records.size() - 2) + "]", COUNT - 1},
      {records + escaped + "]", COUNT},
  };
  for (const auto& c : cases) {
    const SiteMap map = load_ok(c.text);
    EXPECT_EQ(map.size(), c.size);
    ASSERT_NE(map.find(0), nullptr);
    EXPECT_EQ(map.find(0)->line, COUNT - 1);  // the last record of site 0 wins
    EXPECT_EQ(map.find(7)->filename, "src/kernels/attention.cu");
  }
  EXPECT_EQ(load_ok(cases[1].text).find(900000)->filename, "caf\xc3\xa9.cu");
  const std::string cut = records.substr(0, records.size() - 10);
  const auto broken = load_text(cut);
  ASSERT_FALSE(broken);
  const std::size_t last_line_start = cut.rfind('\n') + 1;
  EXPECT_EQ(broken.error().message(), "EOF while parsing a string at line " +
                                          std::to_string(COUNT + 1) + " column " +
                                          std::to_string(cut.size() - last_line_start));
}

// Pipes are read whole, then the same way.
TEST(SiteMap, LoadsFromAPipe) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const std::string text = "[" + std::string(KERNEL_LOCATION) + "]";
  ASSERT_EQ(::write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(ends[1]);
  const auto map = load_site_map("/dev/fd/" + std::to_string(ends[0]));
  ::close(ends[0]);
  ASSERT_TRUE(map) << map.error().message();
  ASSERT_NE(map->find(7), nullptr);
  EXPECT_EQ(map->find(7)->function, "kern");
}

TEST(SiteMap, CopiesKeepTextsOfTheirOwn) {
  std::optional<SiteMap> original = load_ok("[" + std::string(KERNEL_LOCATION) + "]");
  const SiteMap copy = *original;
  original.reset();
  ASSERT_NE(copy.find(7), nullptr);
  EXPECT_EQ(copy.find(7)->filename, "k.cu");
}

TEST(SiteMap, ReadErrorsCarryNoContext) {
  const auto missing = load_site_map(scratch_dir() / "absent.json");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");
  EXPECT_TRUE(missing.error().causes().empty());

  const auto latin1 = load_text("[[1, \"caf\xe9\", \"f\", 1, 1, 0]]");
  ASSERT_FALSE(latin1);
  EXPECT_EQ(latin1.error().message(), "stream did not contain valid UTF-8");
}

SourceLocation site(std::uint32_t site_id, std::string_view function, std::uint8_t event_type,
                    std::optional<std::uint32_t> ordinal) {
  return {.site_id = site_id,
          .filename = "k.cu",
          .function = function,
          .event_type = event_type,
          .ordinal = ordinal};
}

SiteMap map_of(std::initializer_list<SourceLocation> locations) {
  SiteMap map;
  for (const auto& location : locations) map.insert(location);
  return map;
}

TEST(SiteRemapper, MapsTraceBSitesOntoMatchingTraceASites) {
  const SiteRemapper remapper =
      build_site_remapper(map_of({site(10, "f", 0, 0)}), map_of({site(20, "f", 0, 0)}));
  EXPECT_EQ(remapper, (SiteRemapper{{20, 10}}));
  EXPECT_EQ(remap_site(remapper, 20), 10u);
  EXPECT_EQ(remap_site(remapper, 33), 33u);
  EXPECT_EQ(remap_site(remapper, 10), 10u);
}

TEST(SiteRemapper, HoldsOnlyIdsThatChange) {
  const SiteRemapper remapper =
      build_site_remapper(map_of({site(10, "f", 0, 0)}), map_of({site(10, "f", 0, 0)}));
  EXPECT_TRUE(remapper.empty());
  EXPECT_EQ(remap_site(remapper, 10), 10u);
  EXPECT_EQ(remap_site(remapper, 20), 20u);
}

TEST(SiteRemapper, ManySitesAndTheExtremeIds) {
  SiteMap map_a;
  SiteMap map_b;
  constexpr std::uint32_t COUNT = 5000;
  for (std::uint32_t i = 0; i < COUNT; ++i) {
    map_a.insert(site(i, i % 2 == 0 ? "even" : "odd", 1, i));
    map_b.insert(site(i + 7, i % 2 == 0 ? "even" : "odd", 1, i));
  }
  map_a.insert(site(0xffffffff, "top", 0, 0));
  map_b.insert(site(0, "top", 0, 0));
  map_a.insert(site(1u << 31, "same", 0, 0));
  map_b.insert(site(1u << 31, "same", 0, 0));
  const SiteRemapper remapper = build_site_remapper(map_a, map_b);
  EXPECT_EQ(remapper.size(), COUNT + 1);
  for (std::uint32_t i = 0; i < COUNT; ++i) ASSERT_EQ(remap_site(remapper, i + 7), i) << i;
  EXPECT_EQ(remap_site(remapper, 0), 0xffffffffu);
  EXPECT_EQ(remap_site(remapper, 1u << 31), 1u << 31);
  EXPECT_EQ(remap_site(remapper, 0xffffffff), 0xffffffffu);
}

TEST(SiteRemapper, MatchesOnlyEqualKeys) {
  const SiteMap map_a = map_of({
      site(1, "kern", 0, 0),
      site(2, "kern", 1, 0),
      site(3, "kern", 0, 1),
      site(4, "other", 0, std::nullopt),
  });
  const SiteMap map_b = map_of({
      site(11, "Kern", 0, 0),             // letter case differs
      site(12, "kern", 2, 0),             // event type differs
      site(13, "kern", 1, 1),             // ordinal differs
      site(14, "other", 0, 0),            // A's site has no ordinal
      site(15, "kern", 0, std::nullopt),  // no ordinal
      site(16, "kern", 1, 0),             // matches 2
      site(17, "kern", 1, 0),             // also matches 2
  });
  EXPECT_EQ(build_site_remapper(map_a, map_b), (SiteRemapper{{16, 2}, {17, 2}}));
}

TEST(SiteRemapper, SharedKeyInTraceATakesOneOfItsSites) {
  const SiteRemapper remapper = build_site_remapper(
      map_of({site(1, "f", 0, 0), site(2, "f", 0, 0)}), map_of({site(30, "f", 0, 0)}));
  ASSERT_EQ(remapper.size(), 1u);
  EXPECT_TRUE(remap_site(remapper, 30) == 1 || remap_site(remapper, 30) == 2);
}

TEST(SiteRemapper, EmptyMapsGiveAnEmptyRemapper) {
  EXPECT_TRUE(build_site_remapper(SiteMap{}, map_of({site(1, "f", 0, 0)})).empty());
  EXPECT_TRUE(build_site_remapper(map_of({site(1, "f", 0, 0)}), SiteMap{}).empty());
}

}  // namespace
}  // namespace vemo::testing
