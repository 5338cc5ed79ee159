// Fuzz target: arbitrary bytes through decompress_lrs, held to the plain
// byte-by-byte decoder of the tests. The two must agree on every input,
// however it lies about its size or ends.

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_check.h"
#include "quillstone_dat/lrs.h"
#include "support/lrs_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  quillstone_dat::fuzz::check(
      quillstone_dat::decompress_lrs(input) ==
          quillstone_dat::testing::reference_decompress_lrs(input),
      "decompress_lrs agrees with the plain decoder");
  return 0;
}
