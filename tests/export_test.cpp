#include "output/export.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "output_fixtures.hpp"

namespace vemo {
namespace {

using testing::divergence;
using testing::location;
using testing::map_with;
using testing::TraceBuilder;

DiffResult result_with(std::vector<Divergence> divergences) {
  DiffResult result;
  result.divergences = std::move(divergences);
  return result;
}

std::string csv_of(const DiffResult& result, const SiteMap* map) {
  std::string text;
  OutputSink out(text);
  write_csv(out, result, map);
  return text;
}

constexpr std::string_view CSV_HEADER = "warp_idx,event_idx,site_id,kind,details,source_location\n";

// A strict RFC 4180 reader: records end with LF or CRLF; a quote may appear only around a
// field, doubled inside it. Nothing when the text breaks a rule.
std::optional<std::vector<std::vector<std::string>>> read_csv(std::string_view text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string field;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '"') {
      for (++i;; ++i) {
        if (i == text.size()) return std::nullopt;  // the quote is never closed
        if (text[i] != '"') {
          field += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '"') {
          field += text[++i];
        } else {
          ++i;
          break;
        }
      }
    } else {
      for (; i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r'; ++i) {
        if (text[i] == '"') return std::nullopt;  // a quote inside an unquoted field
        field += text[i];
      }
    }
    record.push_back(std::exchange(field, {}));
    if (i == text.size()) return std::nullopt;  // the last record lacks its line break
    if (text[i] == ',') {
      ++i;
      continue;
    }
    if (text.substr(i, 2) == "\r\n") ++i;
    if (text[i] != '\n') return std::nullopt;  // a bare CR, or text after a closing quote
    ++i;
    records.push_back(std::exchange(record, {}));
  }
  if (!record.empty()) return std::nullopt;
  return records;
}

TEST(CsvField, QuotesFieldsWithASeparatorAQuoteOrALineBreak) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"dir_a=1 dir_b=0", "dir_a=1 dir_b=0"},
      {"a.cu:f(int, int):3:1", "\"a.cu:f(int, int):3:1\""},
      {",", "\",\""},
      {"q\"uote", "\"q\"\"uote\""},
      {"\"", "\"\"\"\""},
      {"q\"uote,d\"\"", "\"q\"\"uote,d\"\"\"\"\""},
      {"line\nbreak", "\"line\nbreak\""},
      {"cr\rlf\r\n", "\"cr\rlf\r\n\""},
      // A data file keeps every other byte: tabs, controls, non-ASCII and invalid UTF-8.
      {"t\tab \x1b[2J \xC2\x9b \xC3\xA9 \xFF", "t\tab \x1b[2J \xC2\x9b \xC3\xA9 \xFF"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(csv_field(text), expected) << text;
    EXPECT_EQ(read_csv(csv_field(text) + "\n"), (std::vector<std::vector<std::string>>{{text}}))
        << text;
  }
}

TEST(CsvExport, ARfc4180ReaderReadsHostileNamesBackUnchanged) {
  const std::vector<std::pair<std::string, std::string>> names = {
      {"k.cu", "f(int, int)"},  {"q\"uote.cu", "\"g\""}, {"lf\n.cu", "h\n"},
      {"cr\r.cu", "crlf\r\n"},  {"all,\"\r\n.cu", ","},  {"plain.cu", "plain"},
      {"\",\".cu", "\"\"\"\""},
  };
  std::vector<Divergence> divergences;
  std::vector<SourceLocation> locations;
  for (std::uint32_t site = 0; site < names.size(); ++site) {
    locations.push_back(location(site, names[site].first, names[site].second, site + 1, 2));
    divergences.push_back(divergence(site, 9, site, DivergenceKind{BranchKind{1, 0}}));
  }
  const SiteMap map = map_with(locations);
  const std::string csv = csv_of(result_with(divergences), &map);

  const auto records = read_csv(csv);
  ASSERT_TRUE(records) << csv;
  ASSERT_EQ(records->size(), names.size() + 1);
  EXPECT_EQ(records->front(), (std::vector<std::string>{"warp_idx", "event_idx", "site_id", "kind",
                                                        "details", "source_location"}));
  for (std::uint32_t site = 0; site < names.size(); ++site) {
    const std::string location_text =
        fmt::format("{}:{}:{}:2", names[site].first, names[site].second, site + 1);
    EXPECT_EQ((*records)[site + 1],
              (std::vector<std::string>{std::to_string(site), "9", fmt::format("0x{:08x}", site),
                                        "Branch", "dir_a=1 dir_b=0", location_text}))
        << location_text;
  }
}

TEST(CsvExport, EveryKindWithSiteMap) {
  const DiffResult result = result_with({
      divergence(0, 4, 26, DivergenceKind{BranchKind{1, 0}}),
      divergence(1, 5, 0x20, DivergenceKind{ActiveMaskKind{0xffffffff, 0x0000ffff}}),
      divergence(2, 6, 0x30, DivergenceKind{ValueKind{4294967295u, 7}}),
      divergence(3, 7, 26, DivergenceKind{PathKind{26, 0xabcdef01}}),
      divergence(4, 8, 0x99, DivergenceKind{ExtraEventsKind{3, TraceSide::B}}),
      divergence(5, 9, 0x30, DivergenceKind{ExtraEventsKind{1, TraceSide::A}}),
      divergence(6, 1, 26, DivergenceKind{BranchKind{0, 255}}),
  });
  const SiteMap map = map_with({
      location(26, "k.cu", "f(int, int)", 3, 9),
      location(0x20, "q\"uote.cu", "g", 40, 2),
      location(0x30, "lf\n.cu", "h", 0, 0),
  });
  EXPECT_EQ(csv_of(result, &map),
            std::string(CSV_HEADER) +
                "0,4,0x0000001a,Branch,dir_a=1 dir_b=0,\"k.cu:f(int, int):3:9\"\n"
                "1,5,0x00000020,ActiveMask,mask_a=0xffffffff mask_b=0x0000ffff,"
                "\"q\"\"uote.cu:g:40:2\"\n"
                "2,6,0x00000030,Value,val_a=4294967295 val_b=7,\"lf\n.cu:h:0:0\"\n"
                "3,7,0x0000001a,Path,site_a=0x0000001a site_b=0xabcdef01,"
                "\"k.cu:f(int, int):3:9\"\n"
                "4,8,0x00000099,ExtraEvents,count=3 in_trace=B,\n"
                "5,9,0x00000030,ExtraEvents,count=1 in_trace=A,\"lf\n.cu:h:0:0\"\n"
                "6,1,0x0000001a,Branch,dir_a=0 dir_b=255,\"k.cu:f(int, int):3:9\"\n");
}

TEST(CsvExport, WithoutMapRowsEndWithEmptyLocation) {
  const DiffResult result = result_with({
      divergence(7, 18446744073709551615u, 0xffffffff, DivergenceKind{BranchKind{2, 0}}),
  });
  const SiteMap empty;
  for (const SiteMap* map : {static_cast<const SiteMap*>(nullptr), &empty}) {
    EXPECT_EQ(
        csv_of(result, map),
        std::string(CSV_HEADER) + "7,18446744073709551615,0xffffffff,Branch,dir_a=2 dir_b=0,\n");
  }
}

TEST(CsvExport, NoDivergenceGivesTheHeaderAlone) {
  EXPECT_EQ(csv_of(result_with({}), nullptr), CSV_HEADER);
}

Trace trace_with(std::uint32_t warps_per_block) {
  TraceBuilder builder;
  builder.header.warps_per_block = warps_per_block;
  return builder.build();
}

std::string export_chrome(const Trace& a, const DiffResult& result, const SiteMap* map) {
  const Trace b = trace_with(1);
  std::string text;
  OutputSink out(text);
  write_chrome_trace(out, a, b, result, map);
  return text;
}

constexpr std::string_view METADATA_EVENT = R"json({
  "traceEvents": [
    {
      "name": "process_name",
      "cat": "__metadata",
      "ph": "M",
      "ts": 0.0,
      "pid": 0,
      "tid": 0,
      "args": {
        "name": "test_kernel"
      }
    })json";

TEST(ChromeTraceExport, NoDivergenceGivesMetadataAlone) {
  EXPECT_EQ(export_chrome(trace_with(1), result_with({}), nullptr),
            std::string(METADATA_EVENT) + "\n  ]\n}");
}

TEST(ChromeTraceExport, OneDivergenceAtUnmappedSite) {
  const SiteMap map = map_with({location(1, "other.cu", "", 1, 0)});
  const DiffResult result = result_with({divergence(0, 7, 26, DivergenceKind{BranchKind{1, 0}})});
  EXPECT_EQ(export_chrome(trace_with(1), result, &map), std::string(METADATA_EVENT) + R"json(,
    {
      "name": "0x0000001a [Branch]",
      "cat": "Branch",
      "ph": "X",
      "ts": 0.0,
      "dur": 10.0,
      "pid": 0,
      "tid": 0,
      "args": {
        "event_idx": 7,
        "kind": "Branch",
        "site_id": "0x0000001a",
        "warp_idx": 0
      }
    },
    {
      "name": "divergence_count",
      "cat": "heatmap",
      "ph": "C",
      "ts": 110.0,
      "pid": 0,
      "tid": 0,
      "args": {
        "0x0000001a": 1
      }
    }
  ]
})json");
}

// Groups come in ascending site order, each group's slices in list order; two sites sharing
// file and line share a label but keep their own counters.
TEST(ChromeTraceExport, GroupsBlocksAndLabels) {
  const SiteMap map = map_with({
      location(0x40, "k.cu", "f", 8, 0),
      location(0x50, "k.cu", "g", 8, 0),
  });
  const DiffResult result = result_with({
      divergence(9, 1, 0x50, DivergenceKind{ValueKind{1, 2}}),
      divergence(3, 2, 0x40, DivergenceKind{PathKind{0x40, 0x41}}),
      divergence(4, 3, 0x50, DivergenceKind{ExtraEventsKind{2, TraceSide::A}}),
  });
  EXPECT_EQ(export_chrome(trace_with(4), result, &map), std::string(METADATA_EVENT) + R"json(,
    {
      "name": "k.cu:8 [Path]",
      "cat": "Path",
      "ph": "X",
      "ts": 0.0,
      "dur": 10.0,
      "pid": 0,
      "tid": 3,
      "args": {
        "event_idx": 2,
        "kind": "Path",
        "site_id": "0x00000040",
        "warp_idx": 3
      }
    },
    {
      "name": "k.cu:8 [Value]",
      "cat": "Value",
      "ph": "X",
      "ts": 10.0,
      "dur": 10.0,
      "pid": 2,
      "tid": 1,
      "args": {
        "event_idx": 1,
        "kind": "Value",
        "site_id": "0x00000050",
        "warp_idx": 9
      }
    },
    {
      "name": "k.cu:8 [ExtraEvents]",
      "cat": "ExtraEvents",
      "ph": "X",
      "ts": 20.0,
      "dur": 10.0,
      "pid": 1,
      "tid": 0,
      "args": {
        "event_idx": 3,
        "kind": "ExtraEvents",
        "site_id": "0x00000050",
        "warp_idx": 4
      }
    },
    {
      "name": "divergence_count",
      "cat": "heatmap",
      "ph": "C",
      "ts": 130.0,
      "pid": 0,
      "tid": 0,
      "args": {
        "k.cu:8": 1
      }
    },
    {
      "name": "divergence_count",
      "cat": "heatmap",
      "ph": "C",
      "ts": 131.0,
      "pid": 0,
      "tid": 0,
      "args": {
        "k.cu:8": 2
      }
    }
  ]
})json");
}

TEST(ChromeTraceExport, ZeroWarpsPerBlockPutsEachWarpInItsOwnProcess) {
  const DiffResult result = result_with({divergence(9, 0, 1, DivergenceKind{BranchKind{1, 0}})});
  const std::string text = export_chrome(trace_with(0), result, nullptr);
  EXPECT_NE(text.find("\"pid\": 9,\n      \"tid\": 0,"), std::string::npos) << text;
}

TEST(ChromeTraceExport, KernelNameBytes) {
  struct Case {
    const char* name;
    std::string bytes;  // at most 64
    std::string expected;
  };
  const std::string full(64, 'k');
  const std::vector<Case> cases = {
      {"64 bytes without NUL", full, full},
      {"stops at NUL", std::string("ab\0cd", 5), "ab"},
      {"invalid UTF-8", "k\xff\xc3(\xe2\x9c\x93", "k\xef\xbf\xbd\xef\xbf\xbd(\xe2\x9c\x93"},
      {"quote escaped", "a\"b", "a\\\"b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TraceBuilder builder;
    builder.header.kernel_name.fill(0);
    std::copy(c.bytes.begin(), c.bytes.end(), builder.header.kernel_name.begin());
    const std::string text = export_chrome(builder.build(), result_with({}), nullptr);
    EXPECT_NE(text.find("\"args\": {\n        \"name\": \"" + c.expected + "\"\n"),
              std::string::npos)
        << text;
  }
}

}  // namespace
}  // namespace vemo
