// File ids as the tool prints them and names extracted files: eight
// upper-case hex digits.

#ifndef QUILLSTONE_DAT_TESTS_SUPPORT_ID_TEXT_H_
#define QUILLSTONE_DAT_TESTS_SUPPORT_ID_TEXT_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace quillstone_dat::testing {

// "0000002A" for 42.
inline std::string hex8(std::uint32_t id) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", id);
  return text;
}

// The name extract gives the file of `id`: "0000002A.bin".
inline std::string bin_name(std::uint32_t id) { return hex8(id) + ".bin"; }

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_SUPPORT_ID_TEXT_H_
