#include "fuzz_support.hpp"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace vemo::fuzz {

namespace {

[[noreturn]] void die(std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "fuzz target fault: %.*s: %.*s\n", static_cast<int>(what.size()),
               what.data(), static_cast<int>(detail.size()), detail.data());
  std::abort();
}

void remove_scratch_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(scratch_dir(), ignored);
}

std::string make_scratch_dir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vemo-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) die("mkdtemp", pattern);
  return pattern;
}

}  // namespace

std::vector<std::string_view> split_parts(std::span<const std::uint8_t> input, std::size_t count) {
  std::string_view rest(reinterpret_cast<const char*>(input.data()), input.size());
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < count) {
    const std::size_t cut = rest.find(PART_SEPARATOR);
    if (cut == std::string_view::npos) break;
    parts.push_back(rest.substr(0, cut));
    rest.remove_prefix(cut + PART_SEPARATOR.size());
  }
  parts.push_back(rest);
  parts.resize(count);
  return parts;
}

std::uint8_t ByteReader::byte() {
  if (bytes_.empty()) return 0;
  const auto value = static_cast<std::uint8_t>(bytes_.front());
  bytes_.remove_prefix(1);
  return value;
}

const std::string& scratch_dir() {
  // Never destroyed: the exit handler that removes the directory needs its name.
  static const std::string* const dir = [] {
    const auto* made = new std::string(make_scratch_dir());
    std::atexit(remove_scratch_dir);
    return made;
  }();
  return *dir;
}

std::string write_scratch_file(std::string_view name, std::string_view bytes) {
  std::string path = scratch_dir() + "/" + std::string(name);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) die("writing", path);
  return path;
}

std::string scratch_subdir(std::string_view name) {
  std::string path = scratch_dir() + "/" + std::string(name);
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) die("creating", path);
  return path;
}

std::string read_scratch_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) die("reading", path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void require_valid_json(std::string_view text, std::string_view what) {
  rapidjson::Reader reader;
  rapidjson::BaseReaderHandler<> handler;
  rapidjson::MemoryStream memory(text.data(), text.size());
  if (!reader.Parse<rapidjson::kParseFullPrecisionFlag>(memory, handler)) {
    die(what, rapidjson::GetParseError_En(reader.GetParseErrorCode()));
  }
}

}  // namespace vemo::fuzz
