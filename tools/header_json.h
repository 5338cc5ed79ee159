// The archive's header as a JSON object, one member per field in on-disk
// order as the library lists them (for_each_header_field): numbers for
// the 32-bit fields, 32 lower-case hex digits for version_string. info
// --json shows it; the extract manifest keeps it for pack.

#ifndef QUILLSTONE_DAT_TOOLS_HEADER_JSON_H_
#define QUILLSTONE_DAT_TOOLS_HEADER_JSON_H_

#include <expected>
#include <nlohmann/json.hpp>
#include <string>

#include "quillstone_dat/dat_header.h"

namespace quillstone_dat::tool {

nlohmann::ordered_json header_to_json(const DatHeader& header);

// The header `object` describes; every field must be there, and nothing
// else. On failure, says which field is wrong.
std::expected<DatHeader, std::string> header_from_json(
    const nlohmann::ordered_json& object);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_HEADER_JSON_H_
