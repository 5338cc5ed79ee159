// Checksum is a 128-bit checksum of a run of bytes: what a comparison of
// two archives and a patch's record of its base compare instead of the
// bytes themselves. Equal bytes always give equal checksums; bytes that
// differ give equal ones with a chance near 2^-128, unless made to on
// purpose (the checksum is fast, not cryptographic). It is the same on
// every machine: 32 hex digits in a patch made on one are checked on
// another.

#ifndef QUILLSTONE_DAT_CHECKSUM_H_
#define QUILLSTONE_DAT_CHECKSUM_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillstone_dat {

struct Checksum {
  std::uint64_t high = 0;
  std::uint64_t low = 0;

  // 32 lower-case hex digits, high half first.
  std::string hex() const;
  // The checksum that hex() shows as `text`; nothing for anything else.
  static std::optional<Checksum> from_hex(std::string_view text);

  friend bool operator==(const Checksum&, const Checksum&) = default;
};

Checksum checksum_of(std::span<const std::uint8_t> bytes);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_CHECKSUM_H_
