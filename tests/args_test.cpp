#include "cli/args.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vemo::testing {
namespace {

std::vector<std::string> command(std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/vemo-diff");
  return args;
}

Args parsed(std::vector<std::string> args) {
  auto result = parse_command_line(command(std::move(args)));
  if (!result) ADD_FAILURE() << "refused: " << result.error().err;
  return result.value_or(Args{});
}

// The message of a usage error, checked to have the whole usage-error form around it.
std::string usage_message(std::vector<std::string> args) {
  auto result = parse_command_line(command(std::move(args)));
  if (result) {
    ADD_FAILURE() << "accepted";
    return {};
  }
  const CliExit& exit = result.error();
  EXPECT_EQ(exit.status, 2);
  EXPECT_EQ(exit.out, "");
  const std::string head = "error: ";
  const std::string tail =
      "\n\nUsage: vemo-diff [OPTIONS] <TRACE_A> <TRACE_B>\n\nFor more information, try '--help'.\n";
  EXPECT_TRUE(exit.err.starts_with(head)) << exit.err;
  EXPECT_TRUE(exit.err.ends_with(tail)) << exit.err;
  if (exit.err.size() < head.size() + tail.size()) return exit.err;
  return exit.err.substr(head.size(), exit.err.size() - head.size() - tail.size());
}

TEST(ParseCount, FollowsTheCountRule) {
  struct Case {
    std::string text;
    std::optional<std::uint64_t> value;
    std::string error;
  };
  const Case cases[] = {
      {"0", 0, ""},
      {"+7", 7, ""},
      {"007", 7, ""},
      {"18446744073709551615", 18446744073709551615ULL, ""},
      {"", std::nullopt, "cannot parse integer from empty string"},
      {"+", std::nullopt, "invalid digit found in string"},
      {"-", std::nullopt, "invalid digit found in string"},
      {"-1", std::nullopt, "invalid digit found in string"},
      {"++1", std::nullopt, "invalid digit found in string"},
      {" 1", std::nullopt, "invalid digit found in string"},
      {"1a", std::nullopt, "invalid digit found in string"},
      {"0x10", std::nullopt, "invalid digit found in string"},
      {"18446744073709551616", std::nullopt, "number too large to fit in target type"},
      {"99999999999999999999", std::nullopt, "number too large to fit in target type"},
  };
  for (const Case& c : cases) {
    const auto result = parse_count(c.text);
    if (c.value) {
      ASSERT_TRUE(result.has_value()) << c.text;
      EXPECT_EQ(*result, *c.value) << c.text;
    } else {
      ASSERT_FALSE(result.has_value()) << c.text;
      EXPECT_EQ(result.error(), c.error) << c.text;
    }
  }
}

TEST(ParseCommandLine, DefaultsWhenOnlyThePositionalsAreGiven) {
  const Args args = parsed({"a.trace", "b.trace"});
  EXPECT_EQ(args.trace_a, "a.trace");
  EXPECT_EQ(args.trace_b, "b.trace");
  EXPECT_EQ(args.max_shown, 10u);
  EXPECT_EQ(args.max_divergences, 0u);
  EXPECT_EQ(args.lookahead, 32u);
  EXPECT_FALSE(args.verbose || args.values || args.force || args.tui || args.history ||
               args.float_ || args.session || args.continue_after_path || args.cross_gpu ||
               args.json || args.ignore_active_mask || args.classify);
  EXPECT_FALSE(args.site_map || args.remap_a || args.remap_b || args.export_flamegraph ||
               args.warps || args.filter_kind || args.filter_sites || args.csv);
  EXPECT_FALSE(args.dump_a || args.dump_b || args.max_allowed_divergences);
}

TEST(ParseCommandLine, TakesEveryArgumentIntoItsField) {
  const Args args = parsed({"-n",
                            "3",
                            "-v",
                            "--values",
                            "-l",
                            "4",
                            "--lookahead",
                            "5",
                            "--force",
                            "--map",
                            "m.json",
                            "--dump-a",
                            "6",
                            "--dump-b",
                            "7",
                            "--tui",
                            "--history",
                            "--float",
                            "--remap-a",
                            "ra.json",
                            "--remap-b",
                            "rb.json",
                            "--session",
                            "--continue-after-path",
                            "--cross-gpu",
                            "--json",
                            "--max-allowed-divergences",
                            "8",
                            "--ignore-active-mask",
                            "--classify",
                            "--export-flamegraph",
                            "f.json",
                            "--warps",
                            "0-3",
                            "--filter-kind",
                            "Branch",
                            "--filter-sites",
                            "0x1",
                            "--csv",
                            "out.csv",
                            "A",
                            "B"});
  EXPECT_EQ(args.trace_a, "A");
  EXPECT_EQ(args.trace_b, "B");
  EXPECT_EQ(args.max_shown, 3u);
  EXPECT_EQ(args.max_divergences, 4u);
  EXPECT_EQ(args.lookahead, 5u);
  EXPECT_EQ(args.dump_a, 6u);
  EXPECT_EQ(args.dump_b, 7u);
  EXPECT_EQ(args.max_allowed_divergences, 8u);
  EXPECT_TRUE(args.verbose && args.values && args.force && args.tui && args.history &&
              args.float_ && args.session && args.continue_after_path && args.cross_gpu &&
              args.json && args.ignore_active_mask && args.classify);
  EXPECT_EQ(args.site_map, "m.json");
  EXPECT_EQ(args.remap_a, "ra.json");
  EXPECT_EQ(args.remap_b, "rb.json");
  EXPECT_EQ(args.export_flamegraph, "f.json");
  EXPECT_EQ(args.warps, "0-3");
  EXPECT_EQ(args.filter_kind, "Branch");
  EXPECT_EQ(args.filter_sites, "0x1");
  EXPECT_EQ(args.csv, "out.csv");
}

TEST(ParseCommandLine, ValueFormsOfTheTokenizer) {
  struct Case {
    std::vector<std::string> args;
    std::uint64_t max_shown;
    bool verbose;
  };
  const Case cases[] = {
      {{"--max-shown=5", "a", "b"}, 5, false}, {{"--max-shown", "5", "a", "b"}, 5, false},
      {{"-n", "5", "a", "b"}, 5, false},       {{"-n5", "a", "b"}, 5, false},
      {{"-n=5", "a", "b"}, 5, false},          {{"-vn5", "a", "b"}, 5, true},
      {{"-vn", "5", "a", "b"}, 5, true},       {{"a", "--verbose", "b", "-n", "+5"}, 5, true},
  };
  for (const Case& c : cases) {
    const Args args = parsed(c.args);
    EXPECT_EQ(args.max_shown, c.max_shown) << c.args.front();
    EXPECT_EQ(args.verbose, c.verbose) << c.args.front();
    EXPECT_EQ(args.trace_a, "a");
    EXPECT_EQ(args.trace_b, "b");
  }
}

TEST(ParseCommandLine, AttachedValuesMayLookLikeOptions) {
  const Args args = parsed({"--warps=--json", "--csv=-x", "--filter-kind=-v", "--map=--",
                            "--filter-sites=--bogus", "-n=+5", "a", "b"});
  EXPECT_EQ(args.warps, "--json");
  EXPECT_EQ(args.csv, "-x");
  EXPECT_EQ(args.filter_kind, "-v");
  EXPECT_EQ(args.site_map, "--");
  EXPECT_EQ(args.filter_sites, "--bogus");
  EXPECT_EQ(args.max_shown, 5u);
  EXPECT_FALSE(args.json || args.verbose);
  EXPECT_EQ(args.trace_a, "a");
  EXPECT_EQ(args.trace_b, "b");
}

TEST(ParseCommandLine, EmptyTextIsPresentAndPathsKeepTheirBytes) {
  EXPECT_EQ(parsed({"--warps=", "a", "b"}).warps, "");
  EXPECT_EQ(parsed({"--filter-kind", "", "a", "b"}).filter_kind, "");
  const Args raw = parsed({"--csv", "out\xff.csv", "a\xfe", "b"});
  EXPECT_EQ(raw.csv, "out\xff.csv");
  EXPECT_EQ(raw.trace_a, "a\xfe");
  // After "--" everything is positional, also what looks like an option.
  const Args dashed = parsed({"--", "-a", "--b"});
  EXPECT_EQ(dashed.trace_a, "-a");
  EXPECT_EQ(dashed.trace_b, "--b");
  const Args numbers = parsed({"-n", "1", "--", "-1", "-2"});
  EXPECT_EQ(numbers.trace_a, "-1");
  EXPECT_EQ(numbers.trace_b, "-2");
}

TEST(ParseCommandLine, UsageErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{}, "the following required arguments were not provided:\n  <TRACE_A>\n  <TRACE_B>"},
      {{"a"}, "the following required arguments were not provided:\n  <TRACE_B>"},
      {{"a", "b", "c"}, "unexpected argument 'c' found"},
      {{"a", "b", "--bogus"}, "unexpected argument '--bogus' found"},
      {{"a", "-1"}, "unexpected argument '-1' found"},  // no negative number either
      {{"-7x", "a", "b"}, "unexpected argument '-7x' found"},
      {{"-v1", "a", "b"}, "unexpected argument '-1' found"},
      // Neither an option nor the end of the options hides inside a cluster.
      {{"-v-csv", "out.csv", "a", "b"}, "unexpected argument '--csv' found"},
      {{"-v-", "a", "b"}, "unexpected argument '--' found"},
      {{"a", "b", "-vx"}, "unexpected argument '-x' found"},
      // An option-like argument after an option that needs a value is that missing value.
      {{"a", "b", "--csv", "-h"}, "a value is required for '--csv <PATH>' but none was supplied"},
      {{"a", "b", "--max-shown"},
       "a value is required for '--max-shown <MAX_SHOWN>' but none was supplied"},
      {{"a", "b", "-vn"},
       "a value is required for '--max-shown <MAX_SHOWN>' but none was supplied"},
      {{"-v", "-v", "a", "b"}, "the argument '--verbose' cannot be used multiple times"},
      {{"-vv", "a", "b"}, "the argument '--verbose' cannot be used multiple times"},
      {{"--csv", "x", "a", "b", "--csv=y"},
       "the argument '--csv <PATH>' cannot be used multiple times"},
      {{"-n", "1", "--max-shown", "1", "a", "b"},
       "the argument '--max-shown <MAX_SHOWN>' cannot be used multiple times"},
      {{"--verbose=yes", "a", "b"}, "the flag '--verbose' takes no value, but 'yes' was given"},
      {{"--json=true", "a", "b"}, "the flag '--json' takes no value, but 'true' was given"},
      {{"-v=1", "a", "b"}, "the flag '--verbose' takes no value, but '1' was given"},
      {{"--help=no"}, "the flag '--help' takes no value, but 'no' was given"},
      {{"-h=no"}, "the flag '--help' takes no value, but 'no' was given"},
      {{"-vV=1", "a", "b"}, "the flag '--version' takes no value, but '1' was given"},
      {{"--max-shown=-1", "a", "b"},
       "invalid value '-1' for '--max-shown <MAX_SHOWN>': invalid digit found in string"},
      {{"--max-shown=", "a", "b"},
       "invalid value '' for '--max-shown <MAX_SHOWN>': cannot parse integer from empty string"},
      {{"-l", " 1", "a", "b"},
       "invalid value ' 1' for '--limit <MAX_DIVERGENCES>': invalid digit found in string"},
      {{"--dump-a", "18446744073709551616", "a", "b"},
       "invalid value '18446744073709551616' for '--dump-a <DUMP_A>': number too large to fit in "
       "target type"},
      {{"--lookahead", "\xff", "a", "b"},
       "invalid value '\xEF\xBF\xBD' for '--lookahead <LOOKAHEAD>': invalid UTF-8"},
      {{"--warps", "1\xc3", "a", "b"},
       "invalid value '1\xEF\xBF\xBD' for '--warps <WARPS>': invalid UTF-8"},
      {{"--map", "", "a", "b"}, "a value is required for '--map <SITE_MAP>' but none was supplied"},
      {{"--csv=", "a", "b"}, "a value is required for '--csv <PATH>' but none was supplied"},
      {{"", "b"}, "a value is required for '<TRACE_A>' but none was supplied"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(usage_message(c.args), c.message) << ::testing::PrintToString(c.args);
  }
}

TEST(ParseCommandLine, HelpAndVersionWinWithoutPositionals) {
  for (const std::string flag : {"-h", "--help"}) {
    const auto result = parse_command_line(command({flag}));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().status, 0);
    EXPECT_EQ(result.error().err, "");
    EXPECT_TRUE(result.error().out.starts_with(
        "GPU Differential Debugger - Compare CUDA execution traces\n\n"
        "Usage: vemo-diff [OPTIONS] <TRACE_A> <TRACE_B>\n"));
  }
  for (const std::string flag : {"-V", "--version"}) {
    const auto result = parse_command_line({"/tmp/renamed-tool", flag, "--max-shown=x"});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().status, 0);
    EXPECT_EQ(result.error().out, "vemo-diff 0.1.0\n");
  }
}

TEST(ParseCommandLine, UsageLineNamesTheInvocation) {
  const auto renamed = parse_command_line({"./bin/vd", "a"});
  ASSERT_FALSE(renamed.has_value());
  EXPECT_NE(renamed.error().err.find("\nUsage: vd [OPTIONS] <TRACE_A> <TRACE_B>\n"),
            std::string::npos);
  const auto not_utf8 = parse_command_line({"./vd\xff", "a"});
  ASSERT_FALSE(not_utf8.has_value());
  EXPECT_NE(not_utf8.error().err.find("\nUsage: vemo-diff [OPTIONS]"), std::string::npos);
}

TEST(ParseCommandLine, HelpIsExact) {
  const auto result = parse_command_line({"./tools/vd", "--help"});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().out,
            "GPU Differential Debugger - Compare CUDA execution traces\n"
            "\n"
            "Usage: vd [OPTIONS] <TRACE_A> <TRACE_B>\n"
            "\n"
            "Arguments:\n"
            "  <TRACE_A>  First trace file (baseline)\n"
            "  <TRACE_B>  Second trace file (compare against baseline)\n"
            "\n"
            "Options:\n"
            "  -n, --max-shown <MAX_SHOWN>\n"
            "          Maximum number of divergences to display [default: 10]\n"
            "  -v, --verbose\n"
            "          Show detailed trace information\n"
            "      --values\n"
            "          Compare operand values (can be noisy)\n"
            "  -l, --limit <MAX_DIVERGENCES>\n"
            "          Maximum number of divergences to collect (0 = unlimited) [default: 0]\n"
            "      --lookahead <LOOKAHEAD>\n"
            "          Lookahead window size for drift detection [default: 32]\n"
            "      --force\n"
            "          Skip kernel name check (for comparing different kernel variants)\n"
            "      --map <SITE_MAP>\n"
            "          Site mapping file (vemo-sites.json) for source location information\n"
            "      --dump-a <DUMP_A>\n"
            "          Dump first N events from trace A (debugging)\n"
            "      --dump-b <DUMP_B>\n"
            "          Dump first N events from trace B (debugging)\n"
            "      --tui\n"
            "          Launch interactive TUI viewer\n"
            "      --history\n"
            "          Show value history context around divergences (time-travel)\n"
            "      --float\n"
            "          Display snapshot operands as IEEE 754 floats instead of integers\n"
            "      --remap-a <REMAP_A>\n"
            "          Site map for trace A (for cross-compilation remapping)\n"
            "      --remap-b <REMAP_B>\n"
            "          Site map for trace B (for cross-compilation remapping)\n"
            "      --session\n"
            "          Treat TRACE_A and TRACE_B as session directories (multi-kernel pipeline "
            "diff)\n"
            "      --continue-after-path\n"
            "          Continue comparing after path divergence (default: stop at first per "
            "warp)\n"
            "      --cross-gpu\n"
            "          Cross-GPU mode: compare traces from different GPU architectures (NVIDIA vs "
            "AMD). Relaxes grid/block validation and uses popcount-based active mask "
            "comparison\n"
            "      --json\n"
            "          Output results as machine-readable JSON (for CI integration)\n"
            "      --max-allowed-divergences <MAX_ALLOWED_DIVERGENCES>\n"
            "          Maximum allowed divergences before failing (CI assert mode). Exit 0 if "
            "divergences <= threshold, exit 1 otherwise\n"
            "      --ignore-active-mask\n"
            "          Only count branch/path/value divergences, ignore active mask differences "
            "(CI assert mode)\n"
            "      --classify\n"
            "          Run automated root-cause classification on divergences\n"
            "      --export-flamegraph <PATH>\n"
            "          Export divergences to Chrome Trace Format for flamegraph visualization\n"
            "      --warps <WARPS>\n"
            "          Filter by warp indices (e.g., \"0-10,15,20-25\")\n"
            "      --filter-kind <FILTER_KIND>\n"
            "          Filter by divergence kind (e.g., \"Branch,Value\") \u2014 case-insensitive\n"
            "      --filter-sites <FILTER_SITES>\n"
            "          Filter by site IDs (e.g., \"0x12345678,0xABCDEF01\")\n"
            "      --csv <PATH>\n"
            "          Export divergences to CSV file\n"
            "  -h, --help\n"
            "          Print help\n"
            "  -V, --version\n"
            "          Print version\n");
}

TEST(ParseCommandLine, HelpListsEveryArgumentInDeclarationOrder) {
  const std::string help = parse_command_line(command({"--help"})).error().out;
  const std::vector<std::string> in_order = {
      "Arguments:\n",
      "  <TRACE_A>  First trace file (baseline)\n",
      "  <TRACE_B>  Second trace file (compare against baseline)\n",
      "Options:\n",
      "  -n, --max-shown <MAX_SHOWN>\n",
      "Maximum number of divergences to display [default: 10]\n",
      "  -v, --verbose\n",
      "      --values\n",
      "  -l, --limit <MAX_DIVERGENCES>\n",
      "Maximum number of divergences to collect (0 = unlimited) [default: 0]\n",
      "      --lookahead <LOOKAHEAD>\n",
      "Lookahead window size for drift detection [default: 32]\n",
      "      --force\n",
      "      --map <SITE_MAP>\n",
      "      --dump-a <DUMP_A>\n",
      "      --dump-b <DUMP_B>\n",
      "      --tui\n",
      "      --history\n",
      "      --float\n",
      "      --remap-a <REMAP_A>\n",
      "      --remap-b <REMAP_B>\n",
      "      --session\n",
      "      --continue-after-path\n",
      "      --cross-gpu\n",
      "      --json\n",
      "      --max-allowed-divergences <MAX_ALLOWED_DIVERGENCES>\n",
      "      --ignore-active-mask\n",
      "      --classify\n",
      "      --export-flamegraph <PATH>\n",
      "      --warps <WARPS>\n",
      "Filter by warp indices (e.g., \"0-10,15,20-25\")\n",
      "      --filter-kind <FILTER_KIND>\n",
      "Filter by divergence kind (e.g., \"Branch,Value\") \u2014 case-insensitive\n",
      "      --filter-sites <FILTER_SITES>\n",
      "      --csv <PATH>\n",
      "  -h, --help\n",
      "  -V, --version\n",
  };
  std::size_t at = 0;
  for (const std::string& piece : in_order) {
    const std::size_t found = help.find(piece, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << piece << "\n" << help;
    at = found + piece.size();
  }
  // Each option's text stands on the line below it.
  EXPECT_NE(help.find("  -v, --verbose\n          Show detailed trace information\n"),
            std::string::npos);
  EXPECT_TRUE(help.ends_with("  -V, --version\n          Print version\n"));
}

}  // namespace
}  // namespace vemo::testing
