#include "utils/shown_numbers.h"

#include <cstdio>

namespace quillstone_dat {

std::string hex_id(std::uint32_t id) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", id);
  return text;
}

std::string shown_id(std::uint32_t id) { return "0x" + hex_id(id); }

std::string grouped(std::uint64_t number) {
  std::string digits = std::to_string(number);
  for (std::size_t at = digits.size(); at > 3; at -= 3) {
    digits.insert(at - 3, 1, ',');
  }
  return digits;
}

}  // namespace quillstone_dat
