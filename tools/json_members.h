// Reading the members of the JSON files the tool writes and reads back
// (the extract manifest, patch.json): each reader says what is wrong in
// words fit for a message.

#ifndef QUILLSTONE_DAT_TOOLS_JSON_MEMBERS_H_
#define QUILLSTONE_DAT_TOOLS_JSON_MEMBERS_H_

#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace quillstone_dat::tool {

// The 32-bit number `object[name]`, or why there is none.
std::expected<std::uint32_t, std::string> u32_member(
    const nlohmann::ordered_json& object, const char* name);

// The text `object[name]`, or why there is none.
std::expected<std::string, std::string> string_member(
    const nlohmann::ordered_json& object, const char* name);

// A name in the folder itself: no folder part, nothing hidden behind "..".
bool plain_file_name(std::string_view name);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_JSON_MEMBERS_H_
