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
// The decoder stops once the output reaches the declared size, so a stream
// needs no end mark.

#ifndef QUILLSTONE_DAT_LRS_H_
#define QUILLSTONE_DAT_LRS_H_

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillstone_dat {

// Decodes a stored payload. Never fails: an input under 4 bytes comes back
// unchanged; a stream that ends early, meets distance 0 or a back-reference
// while the output is still empty yields what was decoded until then. A
// reference reaching back past the start of a non-empty output reads from
// its first byte until the output outgrows the distance. The output never
// exceeds the declared size.
std::vector<std::uint8_t> decompress_lrs(std::span<const std::uint8_t> input);

// The output size a stored payload declares in its first 4 bytes; none
// when it is shorter than that. decompress_lrs yields fewer bytes than
// declared exactly when the stream ends early.
std::optional<std::uint32_t> lrs_declared_size(
    std::span<const std::uint8_t> input);

// How many bytes decompress_lrs(input) yields, found by walking the token
// stream without writing any output: the declared size, or less for a
// stream that ends early; the input's own length when it is under 4 bytes.
std::uint32_t lrs_decoded_size(std::span<const std::uint8_t> input);

// How hard compress_lrs looks for matches.
enum class LrsLevel : std::uint8_t {
  kFast,     // one probe a position, fewer over data that does not compress
  kDefault,  // a few steps of hash chains, one step of lazy matching
  kBest,     // an optimal parse over the matches deep chains find; slow
};

// Encodes `input` as a payload that decompress_lrs turns back into exactly
// `input`: literals and back-references found over a 4095-byte window,
// never an end mark. At worst the payload is the input plus 4 bytes and
// one flag byte per eight input bytes, rounded up. Every level's output is
// a valid stream; only its size and the time taken differ.
//
// The declared size is 32 bits, so the input must hold at most UINT32_MAX
// bytes; a longer input throws std::length_error, as a vector asked to grow
// past its maximum does.
std::vector<std::uint8_t> compress_lrs(std::span<const std::uint8_t> input,
                                       LrsLevel level = LrsLevel::kDefault);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_LRS_H_
