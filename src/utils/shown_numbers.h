// Numbers as messages show them to people: file ids and offsets in
// hexadecimal, counts and lengths with their digits grouped.

#ifndef QUILLSTONE_DAT_UTILS_SHOWN_NUMBERS_H_
#define QUILLSTONE_DAT_UTILS_SHOWN_NUMBERS_H_

#include <cstdint>
#include <string>

namespace quillstone_dat {

// "06000001": eight hex digits, as listings and file names show an id.
std::string hex_id(std::uint32_t id);
// "0x06000001": an id or a 32-bit offset in a message.
std::string shown_id(std::uint32_t id);
// 1234567 as "1,234,567".
std::string grouped(std::uint64_t number);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_UTILS_SHOWN_NUMBERS_H_
