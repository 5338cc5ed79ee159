#include "existing_files.h"

#include <fmt/format.h>

#include <system_error>

#include "error_text.h"

namespace quillstone_dat::tool {

bool name_taken(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

std::optional<std::filesystem::path> first_taken(
    std::span<const std::filesystem::path> targets) {
  for (const std::filesystem::path& target : targets) {
    if (name_taken(target)) return target;
  }
  return std::nullopt;
}

ExitStatus report_taken(const std::filesystem::path& path,
                        std::string_view hint) {
  return report_failure(path.string(), fmt::format("exists; {}", hint));
}

}  // namespace quillstone_dat::tool
