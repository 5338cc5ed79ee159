#include "file_id.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <string>
#include <system_error>

namespace quillstone_dat::tool {

std::optional<std::uint32_t> parse_file_id(std::string_view text) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    base = 16;
  }
  // from_chars takes no sign for unsigned types and no prefix, but it
  // accepts an empty tail as a partial match; demand every character.
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, base);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

CLI::Validator file_id_validator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (parse_file_id(text)) return {};
        return "'" + text +
               "' is not a file id (decimal, or hex with 0x, up to 32 bits)";
      },
      "");
}

}  // namespace quillstone_dat::tool
