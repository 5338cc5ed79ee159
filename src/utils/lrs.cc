#include "quillstone_dat/lrs.h"

#include <algorithm>
#include <cstring>

#include "utils/coding.h"

namespace quillstone_dat {

namespace {

// Each token costs at least one stream byte and yields at most 17 output
// bytes per two stream bytes, so no stream of n bytes yields more than this.
std::size_t max_output_of_stream(std::size_t stream_size) {
  return stream_size / 2 * 17 + 17;
}

}  // namespace

std::vector<std::uint8_t> decompress_lrs(std::span<const std::uint8_t> input) {
  if (input.size() < 4) return {input.begin(), input.end()};
  const std::uint32_t declared = decode_fixed32(input.data());
  const std::uint8_t* stream = input.data() + 4;
  const std::size_t stream_size = input.size() - 4;

  // The output is sized once to what it can reach; a declared size beyond
  // what the stream can yield reserves nothing extra.
  const std::size_t limit = std::min<std::size_t>(
      declared, max_output_of_stream(stream_size));
  std::vector<std::uint8_t> out(limit);
  std::uint8_t* const base = out.data();
  std::size_t size = 0;
  std::size_t pos = 0;
  unsigned flags = 0;
  unsigned mask = 0;

  while (size < limit && pos < stream_size) {
    if (mask == 0) {
      flags = stream[pos++];
      mask = 0x80;
    }
    if ((flags & mask) == 0) {
      if (pos >= stream_size) break;
      base[size++] = stream[pos++];
    } else {
      if (stream_size - pos < 2) break;
      const unsigned b0 = stream[pos];
      const unsigned b1 = stream[pos + 1];
      pos += 2;
      const std::size_t distance = b0 | (b1 >> 4) << 8;
      const std::size_t length = (b1 & 0x0Fu) + 2;
      // Distance 0 ends the stream; with nothing decoded yet there is no
      // byte to refer back to.
      if (distance == 0 || size == 0) break;
      const std::size_t count = std::min(length, limit - size);
      std::uint8_t* dst = base + size;
      if (distance > size) {
        // The source index is held at 0 until the output outgrows the
        // distance.
        for (std::size_t i = 0; i < count; ++i) {
          const std::size_t at = size + i;
          dst[i] = base[at >= distance ? at - distance : 0];
        }
      } else if (distance >= count) {
        std::memcpy(dst, dst - distance, count);
      } else {
        // Overlapping: each byte repeats the one `distance` back.
        const std::uint8_t* src = dst - distance;
        for (std::size_t i = 0; i < count; ++i) dst[i] = src[i];
      }
      size += count;
    }
    mask >>= 1;
  }
  out.resize(size);
  return out;
}

}  // namespace quillstone_dat
