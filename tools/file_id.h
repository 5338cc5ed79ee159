// File id arguments: an unsigned 32-bit number written in decimal, or in
// hexadecimal after a "0x" or "0X" prefix. Nothing else is accepted: no
// sign, no spaces, no octal, nothing past 32 bits.

#ifndef QUILLSTONE_DAT_TOOLS_FILE_ID_H_
#define QUILLSTONE_DAT_TOOLS_FILE_ID_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace CLI {
class Validator;
}  // namespace CLI

namespace quillstone_dat::tool {

std::optional<std::uint32_t> parse_file_id(std::string_view text);

// Rejects at parse time what parse_file_id rejects, so that a bad id is a
// usage error like any other.
CLI::Validator file_id_validator();

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_FILE_ID_H_
