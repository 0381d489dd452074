// The command line: the input is the arguments after the program name, separated by NUL bytes.

#include <string>
#include <vector>

#include "cli/args.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> argv = {"vemo-diff"};
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t start = 0;
  while (start <= input.size()) {
    const std::size_t end = std::min(input.find('\0', start), input.size());
    argv.emplace_back(input.substr(start, end - start));
    start = end + 1;
  }
  for (const std::string& arg : argv) (void)vemo::parse_count(arg);
  const auto parsed = vemo::parse_command_line(argv);
  // Every way out of the parse that is not a run prints something and has a known status.
  if (!parsed && parsed.error().status != 0 && parsed.error().status != 2) __builtin_trap();
  if (!parsed && parsed.error().out.empty() && parsed.error().err.empty()) __builtin_trap();
  return 0;
}
