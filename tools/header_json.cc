#include "header_json.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <type_traits>

#include "compare/header_fields.h"

namespace quillstone_dat::tool {
namespace {

template <std::size_t N>
std::string hex_bytes(const std::array<std::uint8_t, N>& bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) text += fmt::format("{:02x}", byte);
  return text;
}

template <std::size_t N>
bool parse_hex_bytes(const std::string& text,
                     std::array<std::uint8_t, N>& out) {
  if (text.size() != 2 * N) return false;
  for (std::size_t i = 0; i < N; ++i) {
    const char* const begin = text.data() + 2 * i;
    const auto [stop, error] = std::from_chars(begin, begin + 2, out[i], 16);
    if (error != std::errc() || stop != begin + 2) return false;
  }
  return true;
}

}  // namespace

nlohmann::ordered_json header_to_json(const DatHeader& header) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for_each_header_field(
      header, [&]<typename Field>(const char* name, const Field& value) {
        if constexpr (std::is_same_v<Field, std::uint32_t>) {
          object[name] = value;
        } else {
          object[name] = hex_bytes(value);
        }
      });
  return object;
}

std::expected<DatHeader, std::string> header_from_json(
    const nlohmann::ordered_json& object) {
  if (!object.is_object()) return std::unexpected("the header is no object");
  DatHeader header;
  std::string problem;
  std::size_t fields = 0;
  for_each_header_field(header, [&]<typename Field>(const char* name,
                                                    Field& value) {
    ++fields;
    if (!problem.empty()) return;
    const auto found = object.find(name);
    if (found == object.end()) {
      problem = fmt::format("the header has no field '{}'", name);
    } else if constexpr (std::is_same_v<Field, std::uint32_t>) {
      if (!found->is_number_unsigned() ||
          found->template get<std::uint64_t>() > UINT32_MAX) {
        problem = fmt::format(
            "the header's '{}' is not a number from 0 to 4294967295", name);
      } else {
        value = found->template get<std::uint32_t>();
      }
    } else if (!found->is_string() ||
               !parse_hex_bytes(found->template get<std::string>(), value)) {
      problem = fmt::format("the header's '{}' is not {} hex digits", name,
                            2 * value.size());
    }
  });
  if (!problem.empty()) return std::unexpected(problem);
  if (object.size() != fields) {
    return std::unexpected("the header has fields that no archive has");
  }
  return header;
}

nlohmann::ordered_json header_fields_to_json(
    const DatHeader& header, std::span<const std::string> names) {
  const nlohmann::ordered_json whole = header_to_json(header);
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for (const std::string& name : names) object[name] = whole.at(name);
  return object;
}

std::expected<void, std::string> header_fields_from_json(
    const nlohmann::ordered_json& object, DatHeader& header,
    std::vector<std::string>& names) {
  if (!object.is_object()) return std::unexpected("the header is no object");
  // The named values over a header of zeros, decoded by the whole
  // header's reader, which checks each value.
  nlohmann::ordered_json whole = header_to_json(DatHeader{});
  const std::vector<std::string_view>& given = given_header_fields();
  for (const auto& [name, value] : object.items()) {
    if (std::ranges::find(given, name) == given.end()) {
      return std::unexpected(
          fmt::format("the header's '{}' is not a field a writer takes as "
                      "given",
                      name));
    }
    whole[name] = value;
  }
  auto decoded = header_from_json(whole);
  if (!decoded) return std::unexpected(decoded.error());
  names.clear();
  for (const std::string_view name : given) {
    if (object.contains(name)) {
      names.emplace_back(name);
      copy_header_field(*decoded, header, name);
    }
  }
  return {};
}

}  // namespace quillstone_dat::tool
