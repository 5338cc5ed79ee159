// File ids as the tool reads and shows them. An id is hexadecimal, as `ls`
// prints it: hex digits, with or without a "0x" prefix ("06000001",
// "0x06000001", "6000001"), up to 32 bits. Nothing else is accepted: no
// sign, no spaces, no decimal. A range is two ids joined by '-', both ends
// included ("06000000-06FFFFFF").

#ifndef QUILLSTONE_DAT_TOOLS_FILE_ID_H_
#define QUILLSTONE_DAT_TOOLS_FILE_ID_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "utils/shown_numbers.h"

namespace CLI {
class Validator;
}  // namespace CLI

namespace quillstone_dat::tool {

struct IdRange {
  std::uint32_t first = 0;
  std::uint32_t last = 0;  // included; first <= last

  bool single() const { return first == last; }
};

std::optional<std::uint32_t> parse_file_id(std::string_view text);

// One id, or a range whose first id is not above its last.
std::optional<IdRange> parse_id_range(std::string_view text);

// "0x06000001" or "0x06000000-0x06FFFFFF". Single ids are shown by
// hex_id() ("06000001": ls, extracted file names, JSON's id_hex) and
// shown_id() ("0x06000001": messages), from utils/shown_numbers.h.
std::string shown_range(const IdRange& range);

// Reject at parse time what the parsers above reject, so that a bad id is
// a usage error like any other.
CLI::Validator file_id_validator();
CLI::Validator id_range_validator();

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_FILE_ID_H_
