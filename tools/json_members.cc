#include "json_members.h"

#include <fmt/format.h>

namespace quillstone_dat::tool {

std::expected<std::uint32_t, std::string> u32_member(
    const nlohmann::ordered_json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end())
    return std::unexpected(fmt::format("no '{}'", name));
  if (!found->is_number_unsigned() ||
      found->get<std::uint64_t>() > UINT32_MAX) {
    return std::unexpected(
        fmt::format("'{}' is not a number from 0 to 4294967295", name));
  }
  return found->get<std::uint32_t>();
}

std::expected<std::string, std::string> string_member(
    const nlohmann::ordered_json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end() || !found->is_string()) {
    return std::unexpected(fmt::format("no text '{}'", name));
  }
  return found->get<std::string>();
}

bool plain_file_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace quillstone_dat::tool
