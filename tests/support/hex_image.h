// Archive images written out as hex in a test's source, the way a person
// reads them in a hex dump, and compared with what the code under test
// wrote. Golden-byte tests use them: their bytes come from the format's
// description, not from any encoder.

#ifndef QUILLSTONE_DAT_TESTS_SUPPORT_HEX_IMAGE_H_
#define QUILLSTONE_DAT_TESTS_SUPPORT_HEX_IMAGE_H_

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "support/little_endian.h"

namespace quillstone_dat::testing {

// The bytes of `hex`: pairs of hex digits, spaces between them optional.
// Throws std::invalid_argument on anything else.
Bytes hex_bytes(std::string_view hex);

// An image of `size` bytes, zero but where `rows` place bytes. Each line of
// `rows` is "OFFSET: BYTES", the offset in hex and the bytes as for
// hex_bytes, stored from OFFSET on; "#" starts a comment, and blank lines
// are skipped. Throws std::invalid_argument on a malformed line or bytes
// past `size`.
Bytes hex_image(std::size_t size, std::string_view rows);

// Empty when the two are the same bytes; otherwise their lengths and the
// first few 16-byte rows where they differ, one under the other in hex.
// For EXPECT_EQ(byte_differences(actual, expected), "").
std::string byte_differences(std::span<const std::uint8_t> actual,
                             std::span<const std::uint8_t> expected);

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_SUPPORT_HEX_IMAGE_H_
