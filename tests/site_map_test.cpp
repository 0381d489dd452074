#include "trace/site_map.hpp"

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

TEST(SiteMap, ReadErrorsCarryNoContext) {
  const auto missing = load_site_map(scratch_dir() / "absent.json");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");
  EXPECT_TRUE(missing.error().causes().empty());

  const auto latin1 = load_text("[[1, \"caf\xe9\", \"f\", 1, 1, 0]]");
  ASSERT_FALSE(latin1);
  EXPECT_EQ(latin1.error().message(), "stream did not contain valid UTF-8");
}

SourceLocation site(std::uint32_t site_id, std::string function, std::uint8_t event_type,
                    std::optional<std::uint32_t> ordinal) {
  return {.site_id = site_id,
          .filename = "k.cu",
          .function = std::move(function),
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
