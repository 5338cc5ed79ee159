// The archive's header as a JSON object, one member per field in on-disk
// order as the library lists them (for_each_header_field): numbers for
// the 32-bit fields, 32 lower-case hex digits for version_string. info
// --json shows it; the extract manifest keeps it for pack, patch.json
// the fields it sets.

#ifndef QUILLSTONE_DAT_TOOLS_HEADER_JSON_H_
#define QUILLSTONE_DAT_TOOLS_HEADER_JSON_H_

#include <expected>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "quillstone_dat/dat_header.h"

namespace quillstone_dat::tool {

nlohmann::ordered_json header_to_json(const DatHeader& header);

// The header `object` describes; every field must be there, and nothing
// else. On failure, says which field is wrong.
std::expected<DatHeader, std::string> header_from_json(
    const nlohmann::ordered_json& object);

// Some of the header's fields, by name, as header_to_json shows them.
nlohmann::ordered_json header_fields_to_json(
    const DatHeader& header, std::span<const std::string> names);

// The fields that `object` names, set in `header` from their values, and
// their names in `names`, in on-disk order. Only the fields a writer takes
// as given may be named. On failure, says which field is wrong.
std::expected<void, std::string> header_fields_from_json(
    const nlohmann::ordered_json& object, DatHeader& header,
    std::vector<std::string>& names);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_HEADER_JSON_H_
