#include "cli/export_targets.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "core/file_io.hpp"
#include "core/text.hpp"

namespace vemo {

namespace {

struct FileId {
  dev_t device;
  ino_t inode;
  bool operator==(const FileId&) const = default;
};

// The file a path names, following symbolic links; none when it cannot be looked up.
std::optional<FileId> file_id(const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::nullopt;
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return FileId{status.st_dev, status.st_ino};
}

struct Input {
  std::string_view role;  // as in the loaders' context messages
  const std::string* path;
};

std::vector<Input> inputs_of(const Args& args) {
  std::vector<Input> inputs{{"trace A", &args.trace_a}, {"trace B", &args.trace_b}};
  const std::pair<std::string_view, const std::optional<std::string>*> optional_inputs[] = {
      {"site map", &args.site_map}, {"remap-a", &args.remap_a}, {"remap-b", &args.remap_b}};
  for (const auto& [role, path] : optional_inputs) {
    if (*path) inputs.push_back({role, &**path});
  }
  return inputs;
}

Status refuse_export_over_inputs(std::string_view option, const std::string& export_path,
                                 const std::vector<Input>& inputs) {
  const std::optional<FileId> target = file_id(export_path);
  if (!target) return {};
  for (const Input& input : inputs) {
    if (file_id(*input.path) == target) {
      return fail("Refusing to overwrite {}: {} {} is the same file as {}", input.role, option,
                  lossy_utf8(export_path), lossy_utf8(*input.path));
    }
  }
  return {};
}

}  // namespace

Status refuse_exports_over_inputs(const Args& args) {
  const std::vector<Input> inputs = inputs_of(args);
  if (args.csv) {
    if (auto checked = refuse_export_over_inputs("--csv", *args.csv, inputs); !checked) {
      return checked;
    }
  }
  if (args.export_flamegraph) {
    return refuse_export_over_inputs("--export-flamegraph", *args.export_flamegraph, inputs);
  }
  return {};
}

Status write_export_file(const std::string& path, const std::function<void(OutputSink&)>& write) {
  auto file = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!file) return fail(std::move(file.error()));
  OutputSink sink(file->get());
  write(sink);
  return sink.flush();
}

}  // namespace vemo
