#include "cli/args.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "core/overloaded.hpp"
#include "core/text.hpp"

namespace vemo {

namespace {

constexpr std::string_view COMMAND_NAME = "vemo-diff";
constexpr std::string_view VERSION = "0.1.0";
constexpr std::string_view ABOUT = "GPU Differential Debugger - Compare CUDA execution traces";

enum class Kind { Path, Count, Text, Flag };

using Field =
    std::variant<std::string Args::*, std::optional<std::string> Args::*, std::uint64_t Args::*,
                 std::optional<std::uint64_t> Args::*, bool Args::*>;

struct ArgDef {
  Field field;
  Kind kind;
  std::string_view long_name;   // without "--"; empty for the positionals
  char short_name;              // '\0' when there is none
  std::string_view value_name;  // empty for flags
  std::string_view help;

  bool is_positional() const { return long_name.empty(); }
  bool takes_value() const { return kind != Kind::Flag; }
};

// Declaration order: the order of the help and of taking values into `Args`.
const std::array<ArgDef, 28> ARGS = {{
    {&Args::trace_a, Kind::Path, "", '\0', "TRACE_A", "First trace file (baseline)"},
    {&Args::trace_b, Kind::Path, "", '\0', "TRACE_B",
     "Second trace file (compare against baseline)"},
    {&Args::max_shown, Kind::Count, "max-shown", 'n', "MAX_SHOWN",
     "Maximum number of divergences to display"},
    {&Args::verbose, Kind::Flag, "verbose", 'v', "", "Show detailed trace information"},
    {&Args::values, Kind::Flag, "values", '\0', "", "Compare operand values (can be noisy)"},
    {&Args::max_divergences, Kind::Count, "limit", 'l', "MAX_DIVERGENCES",
     "Maximum number of divergences to collect (0 = unlimited)"},
    {&Args::lookahead, Kind::Count, "lookahead", '\0', "LOOKAHEAD",
     "Lookahead window size for drift detection"},
    {&Args::force, Kind::Flag, "force", '\0', "",
     "Skip kernel name check (for comparing different kernel variants)"},
    {&Args::site_map, Kind::Path, "map", '\0', "SITE_MAP",
     "Site mapping file (vemo-sites.json) for source location information"},
    {&Args::dump_a, Kind::Count, "dump-a", '\0', "DUMP_A",
     "Dump first N events from trace A (debugging)"},
    {&Args::dump_b, Kind::Count, "dump-b", '\0', "DUMP_B",
     "Dump first N events from trace B (debugging)"},
    {&Args::tui, Kind::Flag, "tui", '\0', "", "Launch interactive TUI viewer"},
    {&Args::history, Kind::Flag, "history", '\0', "",
     "Show value history context around divergences (time-travel)"},
    {&Args::float_, Kind::Flag, "float", '\0', "",
     "Display snapshot operands as IEEE 754 floats instead of integers"},
    {&Args::remap_a, Kind::Path, "remap-a", '\0', "REMAP_A",
     "Site map for trace A (for cross-compilation remapping)"},
    {&Args::remap_b, Kind::Path, "remap-b", '\0', "REMAP_B",
     "Site map for trace B (for cross-compilation remapping)"},
    {&Args::session, Kind::Flag, "session", '\0', "",
     "Treat TRACE_A and TRACE_B as session directories (multi-kernel pipeline diff)"},
    {&Args::continue_after_path, Kind::Flag, "continue-after-path", '\0', "",
     "Continue comparing after path divergence (default: stop at first per warp)"},
    {&Args::cross_gpu, Kind::Flag, "cross-gpu", '\0', "",
     "Cross-GPU mode: compare traces from different GPU architectures (NVIDIA vs AMD). Relaxes "
     "grid/block validation and uses popcount-based active mask comparison"},
    {&Args::json, Kind::Flag, "json", '\0', "",
     "Output results as machine-readable JSON (for CI integration)"},
    {&Args::max_allowed_divergences, Kind::Count, "max-allowed-divergences", '\0',
     "MAX_ALLOWED_DIVERGENCES",
     "Maximum allowed divergences before failing (CI assert mode). Exit 0 if divergences <= "
     "threshold, exit 1 otherwise"},
    {&Args::ignore_active_mask, Kind::Flag, "ignore-active-mask", '\0', "",
     "Only count branch/path/value divergences, ignore active mask differences (CI assert mode)"},
    {&Args::classify, Kind::Flag, "classify", '\0', "",
     "Run automated root-cause classification on divergences"},
    {&Args::export_flamegraph, Kind::Path, "export-flamegraph", '\0', "PATH",
     "Export divergences to Chrome Trace Format for flamegraph visualization"},
    {&Args::warps, Kind::Text, "warps", '\0', "WARPS",
     "Filter by warp indices (e.g., \"0-10,15,20-25\")"},
    {&Args::filter_kind, Kind::Text, "filter-kind", '\0', "FILTER_KIND",
     "Filter by divergence kind (e.g., \"Branch,Value\") \u2014 case-insensitive"},
    {&Args::filter_sites, Kind::Text, "filter-sites", '\0', "FILTER_SITES",
     "Filter by site IDs (e.g., \"0x12345678,0xABCDEF01\")"},
    {&Args::csv, Kind::Path, "csv", '\0', "PATH", "Export divergences to CSV file"},
}};

// The argument as the help shows it.
std::string display_name(const ArgDef& def) {
  if (def.is_positional()) return fmt::format("<{}>", def.value_name);
  if (def.takes_value()) return fmt::format("--{} <{}>", def.long_name, def.value_name);
  return fmt::format("--{}", def.long_name);
}

const ArgDef* find_long(std::string_view name) {
  const auto it = std::ranges::find_if(
      ARGS, [name](const ArgDef& def) { return !def.is_positional() && def.long_name == name; });
  return it == ARGS.end() ? nullptr : &*it;
}

const ArgDef* find_short(char c) {
  const auto it =
      std::ranges::find_if(ARGS, [c](const ArgDef& def) { return def.short_name == c; });
  return it == ARGS.end() ? nullptr : &*it;
}

// ---- help and usage ----

// The last component of argument 0 when it is UTF-8 (its controls escaped), else the command
// name.
std::string program_name(const std::vector<std::string>& argv) {
  if (argv.empty()) return std::string(COMMAND_NAME);
  const std::string_view path = argv.front();
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.empty() || !is_valid_utf8(name)) return std::string(COMMAND_NAME);
  return escape_controls(std::string(name));
}

std::string usage_line(std::string_view program) {
  return fmt::format("Usage: {} [OPTIONS] <TRACE_A> <TRACE_B>\n", program);
}

struct HelpRow {
  std::string label;
  std::string text;
};

constexpr std::size_t HELP_WIDTH = 100;

// Label and text side by side when every row fits in the help width, else each text on its
// own line below its label.
std::string help_rows(const std::vector<HelpRow>& rows) {
  std::size_t label_width = 0;
  std::size_t text_width = 0;
  for (const auto& row : rows) label_width = std::max(label_width, row.label.size());
  for (const auto& row : rows) text_width = std::max(text_width, row.text.size());
  const bool side_by_side = 2 + label_width + 2 + text_width <= HELP_WIDTH;
  std::string out;
  for (const auto& row : rows) {
    if (side_by_side) {
      out += fmt::format("  {:<{}}  {}\n", row.label, label_width, row.text);
    } else {
      out += fmt::format("  {}\n          {}\n", row.label, row.text);
    }
  }
  return out;
}

std::string option_label(const ArgDef& def) {
  const std::string short_part =
      def.short_name != '\0' ? fmt::format("-{}, ", def.short_name) : "    ";
  return short_part + display_name(def);
}

std::string option_help(const ArgDef& def) {
  const auto* count = std::get_if<std::uint64_t Args::*>(&def.field);
  if (count == nullptr) return std::string(def.help);
  return fmt::format("{} [default: {}]", def.help, Args{}.**count);
}

std::string help_text(std::string_view program) {
  std::vector<HelpRow> positionals;
  std::vector<HelpRow> options;
  for (const ArgDef& def : ARGS) {
    if (def.is_positional()) {
      positionals.push_back({display_name(def), std::string(def.help)});
    } else {
      options.push_back({option_label(def), option_help(def)});
    }
  }
  options.push_back({"-h, --help", "Print help"});
  options.push_back({"-V, --version", "Print version"});
  return fmt::format("{}\n\n{}\nArguments:\n{}\nOptions:\n{}", ABOUT, usage_line(program),
                     help_rows(positionals), help_rows(options));
}

CliExit usage_error(std::string_view message, std::string_view program) {
  return CliExit{
      .status = 2,
      .out = {},
      .err = fmt::format("error: {}\n\n{}\nFor more information, try '--help'.\n",
                         controls_escaped(message), usage_line(program)),
  };
}

// ---- scanning ----

std::string flag_value_error(std::string_view flag, std::string_view value) {
  return fmt::format("the flag '{}' takes no value, but '{}' was given", flag, lossy_utf8(value));
}

std::string unexpected_error(std::string_view token) {
  return fmt::format("unexpected argument '{}' found", lossy_utf8(token));
}

std::string missing_value_error(const ArgDef& def) {
  return fmt::format("a value is required for '{}' but none was supplied", display_name(def));
}

// A character that cannot start an option name: a token that puts one after its dashes is a
// positional value.
bool is_name_start(char c) {
  return c != '-' && c != '!' && c != ' ' && c != '\n';
}

// The long form of the help or version flag with this short form; empty for others.
std::string_view automatic_flag(char c) {
  if (c == 'h') return "--help";
  if (c == 'V') return "--version";
  return {};
}

// One pass over the arguments: what each definition was given, help and version requests, the
// first problem of the token rules and the arguments that fit no definition, in command-line
// order.
class Scan {
 public:
  explicit Scan(const std::vector<std::string>& argv) {
    for (std::size_t i = 1; i < argv.size(); ++i) take(argv[i]);
    if (awaiting_ != nullptr) fail(missing_value_error(*awaiting_));
    // A command line that ends waiting for a value asks for nothing else.
    if (awaiting_ != nullptr || swallow_) help = version = false;
  }

  bool help = false;
  bool version = false;
  std::optional<std::string> problem;
  std::vector<std::string> unexpected;
  std::array<std::size_t, ARGS.size()> counts{};
  std::array<std::string, ARGS.size()> values;  // the first value of each

 private:
  void fail(std::string message) {
    if (!problem) problem = std::move(message);
  }

  void give(const ArgDef& def, std::string_view value) {
    const auto index = static_cast<std::size_t>(&def - ARGS.data());
    if (counts[index]++ == 0) values[index] = std::string(value);
  }

  void positional(const std::string& token) {
    if (positionals_ < 2) {
      give(ARGS[positionals_++], token);
    } else {
      unexpected.push_back(token);
    }
  }

  void take(const std::string& token) {
    const bool looks_like_option = token.size() >= 2 && token[0] == '-' && !only_positionals_;
    if (awaiting_ != nullptr && looks_like_option) {
      // "--csv --json": the option lacks its value. The option-like argument is still taken as
      // that value, so "--csv -h" asks for no help.
      fail(missing_value_error(*awaiting_));
      awaiting_ = nullptr;
      swallow_ = true;
    }
    if (swallow_ && !takes_nothing(token)) {
      // Only the option of "--csv=-h" is taken as the value; what was attached stands alone.
      swallow_ = false;
      if (const auto attached = attached_value(token)) take(std::string(*attached));
    } else if (awaiting_ != nullptr) {
      give(*std::exchange(awaiting_, nullptr), token);
    } else if (!looks_like_option) {
      positional(token);
    } else if (token == "--") {
      only_positionals_ = true;
    } else if (token.starts_with("--")) {
      take_long(token);
    } else {
      take_short(token);
    }
  }

  // An option-like argument that only fails: a help or version flag with a value, or a cluster
  // that reaches one or a digit before anything it takes.
  static bool takes_nothing(const std::string& token) {
    if (token.starts_with("--")) {
      const std::string_view name = std::string_view(token).substr(0, token.find('='));
      return name.size() < token.size() && (name == "--help" || name == "--version");
    }
    for (std::size_t i = 1; i < token.size(); ++i) {
      const ArgDef* def = find_short(token[i]);
      if (def != nullptr && !def->takes_value()) continue;
      if (def != nullptr) return false;
      const bool digit = token[i] >= '0' && token[i] <= '9';
      return digit || (!automatic_flag(token[i]).empty() && token[i + 1] == '=');
    }
    return false;
  }

  // The "value" of "--name=value" or "-vn=value" when the option takes one.
  static std::optional<std::string_view> attached_value(const std::string& token) {
    const std::size_t eq = token.find('=');
    if (eq == std::string::npos) return std::nullopt;
    const std::string_view value = std::string_view(token).substr(eq + 1);
    if (token.starts_with("--")) {
      const ArgDef* def = find_long(std::string_view(token).substr(2, eq - 2));
      if (def != nullptr && def->takes_value()) return value;
      return std::nullopt;
    }
    for (std::size_t i = 1; i < token.size(); ++i) {
      const ArgDef* def = find_short(token[i]);
      if (def == nullptr) return std::nullopt;
      if (def->takes_value()) return i + 1 == eq ? std::optional(value) : std::nullopt;
    }
    return std::nullopt;
  }

  // "--name" or "--name=value".
  void take_long(const std::string& token) {
    const std::size_t eq = token.find('=');
    const std::string_view name = std::string_view(token).substr(0, eq);
    const std::string_view value =
        eq == std::string::npos ? std::string_view{} : std::string_view(token).substr(eq + 1);
    if (name == "--help" || name == "--version") {
      if (eq != std::string::npos) return fail(flag_value_error(name, value));
      (name == "--help" ? help : version) = true;
      return;
    }
    const ArgDef* def = find_long(name.substr(2));
    if (def == nullptr) {
      if (is_name_start(token[2])) {
        unexpected.push_back(token);
      } else {
        positional(token);
      }
      return;
    }
    if (!def->takes_value()) {
      if (eq != std::string::npos) fail(flag_value_error(display_name(*def), value));
      give(*def, {});
    } else if (eq == std::string::npos) {
      awaiting_ = def;
    } else {
      give(*def, value);
    }
  }

  // A cluster of short forms such as "-vn5", "-vn 5" or "-n=5".
  void take_short(const std::string& token) {
    if (!is_name_start(token[1])) return positional(token);
    for (std::size_t i = 1; i < token.size(); ++i) {
      const std::string_view rest = std::string_view(token).substr(i + 1);
      const ArgDef* def = find_short(token[i]);
      if (def == nullptr) {
        if (!take_unknown_short(token, i)) return;
        continue;
      }
      if (!def->takes_value()) {
        if (rest.starts_with('='))
          return fail(flag_value_error(display_name(*def), rest.substr(1)));
        give(*def, {});
        continue;
      }
      if (rest.empty()) {
        awaiting_ = def;
      } else {
        give(*def, rest.starts_with('=') ? rest.substr(1) : rest);
      }
      return;
    }
  }

  // The character at `i` of a cluster names no definition: a help or version request, or the
  // end of the cluster. Whether the cluster goes on.
  bool take_unknown_short(const std::string& token, std::size_t i) {
    const std::string_view rest = std::string_view(token).substr(i + 1);
    const std::string_view automatic = automatic_flag(token[i]);
    if (!automatic.empty()) {
      // "-h=no" is no request for help, as "--help=no" is not.
      if (rest.starts_with('=')) {
        fail(flag_value_error(automatic, rest.substr(1)));
        return false;
      }
      (token[i] == 'h' ? help : version) = true;
      return true;
    }
    std::string remainder = "-";
    remainder.append(token, i);
    if (token[i] >= '0' && token[i] <= '9') {
      fail(unexpected_error(remainder));
    } else if (i == 1) {
      unexpected.push_back(token);
    } else if (is_name_start(token[i]) || token[i] == '-') {
      // "-vx", and "-v-csv" or "-v-": neither an option nor the end of the options hides
      // inside a cluster.
      unexpected.push_back(remainder);
    } else {
      positional(remainder);
    }
    return false;
  }

  const ArgDef* awaiting_ = nullptr;
  bool swallow_ = false;  // the next argument that takes anything is a missing value
  bool only_positionals_ = false;
  std::size_t positionals_ = 0;
};

// ---- values ----

std::expected<void, std::string> take_value(Args& args, const ArgDef& def, const std::string& raw) {
  if (def.kind == Kind::Path && raw.empty()) return std::unexpected(missing_value_error(def));
  if ((def.kind == Kind::Count || def.kind == Kind::Text) && !is_valid_utf8(raw)) {
    return std::unexpected(fmt::format("invalid value '{}' for '{}': invalid UTF-8",
                                       lossy_utf8(raw), display_name(def)));
  }
  std::uint64_t number = 0;
  if (def.kind == Kind::Count) {
    const auto parsed = parse_count(raw);
    if (!parsed) {
      return std::unexpected(
          fmt::format("invalid value '{}' for '{}': {}", raw, display_name(def), parsed.error()));
    }
    number = *parsed;
  }
  std::visit(Overloaded{
                 [&](std::string Args::*m) { args.*m = raw; },
                 [&](std::optional<std::string> Args::*m) { args.*m = raw; },
                 [&](std::uint64_t Args::*m) { args.*m = number; },
                 [&](std::optional<std::uint64_t> Args::*m) { args.*m = number; },
                 [&](bool Args::*m) { args.*m = true; },
             },
             def.field);
  return {};
}

// The scanned arguments checked and taken into `Args`; the message of the first problem
// otherwise: arguments that fit no definition, then repeated ones, then values in declaration
// order, then missing positionals.
std::expected<Args, std::string> take_args(const Scan& scan) {
  if (scan.problem) return std::unexpected(*scan.problem);
  if (!scan.unexpected.empty()) return std::unexpected(unexpected_error(scan.unexpected.front()));
  for (std::size_t i = 0; i < ARGS.size(); ++i) {
    if (scan.counts[i] > 1) {
      return std::unexpected(
          fmt::format("the argument '{}' cannot be used multiple times", display_name(ARGS[i])));
    }
  }
  Args args;
  std::string missing;
  for (std::size_t i = 0; i < ARGS.size(); ++i) {
    if (scan.counts[i] == 0) {
      if (ARGS[i].is_positional()) missing += "\n  " + display_name(ARGS[i]);
      continue;
    }
    if (auto taken = take_value(args, ARGS[i], scan.values[i]); !taken) {
      return std::unexpected(taken.error());
    }
  }
  if (!missing.empty()) {
    return std::unexpected("the following required arguments were not provided:" + missing);
  }
  return args;
}

}  // namespace

std::expected<std::uint64_t, std::string_view> parse_count(std::string_view text) {
  if (text.empty()) return std::unexpected("cannot parse integer from empty string");
  if (text == "+" || text == "-") return std::unexpected("invalid digit found in string");
  if (text.front() == '+') text.remove_prefix(1);
  constexpr std::uint64_t MAX_VALUE = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::unexpected("invalid digit found in string");
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (MAX_VALUE - digit) / 10)
      return std::unexpected("number too large to fit in target type");
    value = value * 10 + digit;
  }
  return value;
}

std::expected<Args, CliExit> parse_command_line(const std::vector<std::string>& argv) {
  const std::string program = program_name(argv);
  const Scan scan(argv);
  // Version and help requests win over every problem of the command line.
  if (scan.version) {
    return std::unexpected(
        CliExit{.status = 0, .out = fmt::format("{} {}\n", COMMAND_NAME, VERSION), .err = {}});
  }
  if (scan.help) return std::unexpected(CliExit{.status = 0, .out = help_text(program), .err = {}});
  auto args = take_args(scan);
  if (!args) return std::unexpected(usage_error(args.error(), program));
  return std::move(*args);
}

}  // namespace vemo
