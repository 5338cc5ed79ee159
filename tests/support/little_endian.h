// Unsigned 32-bit little-endian integers written and read a byte at a
// time. The tests' own: archives they lay out and records they read back
// do not pass through the library's encoders and decoders, so a field the
// library puts in the wrong place cannot hide behind the same mistake.

#ifndef QUILLSTONE_DAT_TESTS_SUPPORT_LITTLE_ENDIAN_H_
#define QUILLSTONE_DAT_TESTS_SUPPORT_LITTLE_ENDIAN_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace quillstone_dat::testing {

using Bytes = std::vector<std::uint8_t>;

// Writes `value` into the four bytes of `out` at `at`.
inline void put_le32(std::span<std::uint8_t> out, std::size_t at,
                     std::uint32_t value) {
  if (out.size() < at + 4) throw std::out_of_range("put_le32 past the end");
  out[at] = static_cast<std::uint8_t>(value);
  out[at + 1] = static_cast<std::uint8_t>(value >> 8);
  out[at + 2] = static_cast<std::uint8_t>(value >> 16);
  out[at + 3] = static_cast<std::uint8_t>(value >> 24);
}

// The value in the four bytes of `in` at `at`.
inline std::uint32_t get_le32(std::span<const std::uint8_t> in,
                              std::size_t at) {
  if (in.size() < at + 4) throw std::out_of_range("get_le32 past the end");
  return std::uint32_t{in[at]} | std::uint32_t{in[at + 1]} << 8 |
         std::uint32_t{in[at + 2]} << 16 | std::uint32_t{in[at + 3]} << 24;
}

inline void append_le32(Bytes& out, std::uint32_t value) {
  out.resize(out.size() + 4);
  put_le32(out, out.size() - 4, value);
}

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_SUPPORT_LITTLE_ENDIAN_H_
