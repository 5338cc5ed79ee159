// The LRS decoder written the plain way: byte by byte, growing its output
// as it goes, with no precomputed bounds, and reading the size prefix
// itself. Tests and the fuzz targets hold the library's decoder to it.

#ifndef QUILLSTONE_DAT_TESTS_SUPPORT_LRS_REFERENCE_H_
#define QUILLSTONE_DAT_TESTS_SUPPORT_LRS_REFERENCE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "support/little_endian.h"

namespace quillstone_dat::testing {

inline std::vector<std::uint8_t> reference_decompress_lrs(
    std::span<const std::uint8_t> input) {
  // A payload too short for its 4-byte size prefix is returned as it is.
  if (input.size() < 4) return {input.begin(), input.end()};
  const std::uint64_t declared = get_le32(input, 0);
  const std::span<const std::uint8_t> stream = input.subspan(4);
  std::vector<std::uint8_t> out;
  std::size_t pos = 0;
  unsigned flags = 0;
  unsigned mask = 0;
  while (out.size() < declared && pos < stream.size()) {
    if (mask == 0) {
      flags = stream[pos++];
      mask = 0x80;
    }
    if ((flags & mask) == 0) {
      if (pos >= stream.size()) break;
      out.push_back(stream[pos++]);
    } else {
      if (stream.size() - pos < 2) break;
      const unsigned b0 = stream[pos];
      const unsigned b1 = stream[pos + 1];
      pos += 2;
      const std::size_t distance = b0 + 256 * (b1 >> 4);
      const std::size_t length = (b1 & 0x0F) + 2;
      // Distance 0 ends the stream; an empty output has nothing to copy.
      if (distance == 0 || out.empty()) break;
      for (std::size_t i = 0; i < length && out.size() < declared; ++i) {
        // Until the output outgrows the distance, copying starts at its
        // first byte.
        const std::size_t source =
            distance > out.size() ? 0 : out.size() - distance;
        const std::uint8_t byte = out[source];
        out.push_back(byte);
      }
    }
    mask >>= 1;
  }
  return out;
}

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_SUPPORT_LRS_REFERENCE_H_
