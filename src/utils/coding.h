// Fixed-width little-endian encoding and decoding. Every integer of an
// archive is an unsigned 32-bit little-endian value.

#ifndef QUILLSTONE_DAT_UTILS_CODING_H_
#define QUILLSTONE_DAT_UTILS_CODING_H_

#include <cstdint>
#include <cstring>

namespace quillstone_dat {

// Precondition: `src` points at 4 readable bytes.
inline std::uint32_t decode_fixed32(const std::uint8_t* src) {
  return static_cast<std::uint32_t>(src[0]) |
         static_cast<std::uint32_t>(src[1]) << 8 |
         static_cast<std::uint32_t>(src[2]) << 16 |
         static_cast<std::uint32_t>(src[3]) << 24;
}

// Precondition: `dst` points at 4 writable bytes.
inline void encode_fixed32(std::uint8_t* dst, std::uint32_t value) {
  dst[0] = static_cast<std::uint8_t>(value);
  dst[1] = static_cast<std::uint8_t>(value >> 8);
  dst[2] = static_cast<std::uint8_t>(value >> 16);
  dst[3] = static_cast<std::uint8_t>(value >> 24);
}

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_UTILS_CODING_H_
