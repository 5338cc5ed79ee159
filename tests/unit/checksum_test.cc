// The checksum the comparison and patches rest on: the same in every form,
// with vector instructions of any width and without, on every length around its
// stripes and blocks; changed by any one bit and by trailing zeros; and shown
// as the 32 hex digits that patch.json keeps.

#include "quillstone_dat/checksum.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "utils/checksum.h"

namespace quillstone_dat {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes random_bytes(std::mt19937& random, std::size_t size) {
  Bytes bytes(size);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

TEST(Checksum, EveryFormAgreesOnEveryLength) {
  std::mt19937 random(3);
  const std::vector<ChecksumForm> forms = checksum_forms();
  for (std::size_t size = 0; size <= 2200; ++size) {
    const Bytes bytes = random_bytes(random, size);
    const Checksum expected = portable_checksum_of(bytes);
    ASSERT_EQ(checksum_of(bytes), expected) << size << " bytes";
    for (const ChecksumForm& form : forms) {
      ASSERT_EQ(form.checksum(bytes), expected)
          << form.name << ", " << size << " bytes";
    }
  }
  // Fixed values: patches made on one machine are checked on another, and
  // keep their checksums for good.
  EXPECT_EQ(checksum_of(Bytes{}).hex(), "b48789300330a15934e8d12865bba736");
  EXPECT_EQ(checksum_of(Bytes{'a', 'b', 'c'}).hex(),
            "d2e84c28b04675e4782dd1634928a736");
}

TEST(Checksum, EveryBitAndTrailingZeroCounts) {
  std::mt19937 random(5);
  for (const std::size_t size : {1u, 63u, 64u, 65u, 1024u, 1500u}) {
    Bytes bytes = random_bytes(random, size);
    std::set<std::string> seen = {checksum_of(bytes).hex()};
    for (std::size_t bit = 0; bit<8 * size; bit += size> 64 ? 7 : 1) {
      bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      EXPECT_TRUE(seen.insert(checksum_of(bytes).hex()).second)
          << size << " bytes, bit " << bit;
      bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    // Two words swapped between stripes of one block.
    if (size >= 1024) {
      Bytes swapped = bytes;
      std::swap_ranges(swapped.begin(), swapped.begin() + 8,
                       swapped.begin() + 64);
      EXPECT_NE(checksum_of(swapped), checksum_of(bytes));
    }
  }
  Bytes zeros;
  std::set<std::string> lengths;
  for (int n = 0; n < 130; ++n, zeros.push_back(0)) {
    EXPECT_TRUE(lengths.insert(checksum_of(zeros).hex()).second) << n;
  }
}

TEST(Checksum, HexRoundTripsAndRejectsOtherText) {
  const Checksum checksum{.high = 0x0123456789ABCDEF,
                          .low = 0xFEDCBA9876543210};
  EXPECT_EQ(checksum.hex(), "0123456789abcdeffedcba9876543210");
  EXPECT_EQ(Checksum::from_hex(checksum.hex()), checksum);
  for (const char* text :
       {"", "0123456789abcdeffedcba987654321",
        "0123456789ABCDEFfedcba9876543210", "0123456789abcdeffedcba98765432100",
        "0123456789abcdeffedcba987654321g"}) {
    EXPECT_FALSE(Checksum::from_hex(text)) << text;
  }
}

}  // namespace
}  // namespace quillstone_dat
