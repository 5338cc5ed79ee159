// The checksum's forms, for the test that holds them equal: the portable
// one, which any processor runs, and those with vector instructions that
// this processor has, of which checksum_of() takes the fastest.

#ifndef QUILLSTONE_DAT_UTILS_CHECKSUM_H_
#define QUILLSTONE_DAT_UTILS_CHECKSUM_H_

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "quillstone_dat/checksum.h"

namespace quillstone_dat {

Checksum portable_checksum_of(std::span<const std::uint8_t> bytes);

struct ChecksumForm {
  std::string_view name;  // "portable", "sse2", "avx2", "avx512f"
  Checksum (*checksum)(std::span<const std::uint8_t>);
};

std::vector<ChecksumForm> checksum_forms();

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_UTILS_CHECKSUM_H_
