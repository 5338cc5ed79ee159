// LRS is the compression of stored files. A payload is a 4-byte
// little-endian declared output size, then a token stream: each flag byte
// leads up to eight tokens, its bits read from 0x80 down. A clear bit is a
// literal byte; a set bit is a back-reference of two bytes b0 b1:
//
//   distance = b0 | (b1 >> 4) << 8    1..4095; 0 marks the end of the stream
//   length   = (b1 & 0x0F) + 2        2..17
//
// copying `length` bytes that start `distance` bytes back in the output
// (a length above the distance repeats the last `distance` bytes).

#ifndef QUILLSTONE_DAT_LRS_H_
#define QUILLSTONE_DAT_LRS_H_

#include <cstdint>
#include <span>
#include <vector>

namespace quillstone_dat {

// Decodes a stored payload. Never fails: an input under 4 bytes comes back
// unchanged; a stream that ends early, meets distance 0 or refers back
// before the start of the output yields what was decoded until then. The
// output never exceeds the declared size.
std::vector<std::uint8_t> decompress_lrs(std::span<const std::uint8_t> input);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_LRS_H_
