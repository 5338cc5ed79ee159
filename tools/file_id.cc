#include "file_id.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <charconv>
#include <system_error>

namespace quillstone_dat::tool {

std::optional<std::uint32_t> parse_file_id(std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  // from_chars takes no sign for unsigned types, but it accepts a partial
  // match; demand every character.
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, 16);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

std::optional<IdRange> parse_id_range(std::string_view text) {
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) {
    const std::optional<std::uint32_t> id = parse_file_id(text);
    if (!id) return std::nullopt;
    return IdRange{*id, *id};
  }
  const std::optional<std::uint32_t> first =
      parse_file_id(text.substr(0, dash));
  const std::optional<std::uint32_t> last =
      parse_file_id(text.substr(dash + 1));
  if (!first || !last || *first > *last) return std::nullopt;
  return IdRange{*first, *last};
}

std::string shown_range(const IdRange& range) {
  if (range.single()) return shown_id(range.first);
  return shown_id(range.first) + "-" + shown_id(range.last);
}

CLI::Validator file_id_validator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (parse_file_id(text)) return {};
        return "'" + text + "' is not a file id (hexadecimal, 0 to FFFFFFFF)";
      },
      "");
}

CLI::Validator id_range_validator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (parse_id_range(text)) return {};
        return "'" + text +
               "' is not a file id or range (hexadecimal: 06000001, or "
               "06000000-06FFFFFF)";
      },
      "");
}

}  // namespace quillstone_dat::tool
