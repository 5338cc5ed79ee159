// Fuzz target: arbitrary bytes through compress_lrs at every level and
// back. Each payload must decode to exactly the input, with the library's
// decoder and with the plain one of the tests (so an encoder and decoder
// that err alike do not pass), and stay within the encoder's stated worst
// case.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "format/records.h"
#include "fuzz_check.h"
#include "quillstone_dat/lrs.h"
#include "support/lrs_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using quillstone_dat::fuzz::check;
  const std::span<const std::uint8_t> input(data, size);
  for (const quillstone_dat::LrsLevel level :
       {quillstone_dat::LrsLevel::kFast, quillstone_dat::LrsLevel::kDefault,
        quillstone_dat::LrsLevel::kBest}) {
    const std::vector<std::uint8_t> payload =
        quillstone_dat::compress_lrs(input, level);
    check(payload.size() >= quillstone_dat::kSizePrefixSize &&
              quillstone_dat::decode_size_prefix(payload) == size,
          "the payload declares the input's size");
    check(payload.size() <= size + 4 + (size + 7) / 8,
          "the payload is within the worst case");
    const std::vector<std::uint8_t> decoded =
        quillstone_dat::decompress_lrs(payload);
    check(std::ranges::equal(decoded, input),
          "decompress_lrs restores the input");
    check(quillstone_dat::testing::reference_decompress_lrs(payload) == decoded,
          "the plain decoder restores the input");
  }
  return 0;
}
