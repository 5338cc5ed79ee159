// DatFileEntry is one directory entry: 24 bytes on disk, six unsigned 32-bit
// little-endian fields in this order:
//
//   0 bit_flags   bit 0 set: the stored bytes are LRS-compressed
//   4 id          the file id, the entry's key
//   8 offset      file offset of the first block of the file's chain
//  12 size        stored bytes in the chain (compressed: the LRS payload,
//                 its 4-byte size prefix included)
//  16 timestamp   not interpreted
//  20 version     not interpreted

#ifndef QUILLSTONE_DAT_DAT_FILE_ENTRY_H_
#define QUILLSTONE_DAT_DAT_FILE_ENTRY_H_

#include <cstddef>
#include <cstdint>

namespace quillstone_dat {

struct DatFileEntry {
  static constexpr std::size_t kEncodedSize = 24;

  std::uint32_t bit_flags = 0;
  std::uint32_t id = 0;
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t version = 0;

  bool is_compressed() const { return (bit_flags & 1u) != 0; }

  friend bool operator==(const DatFileEntry&, const DatFileEntry&) = default;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_DAT_FILE_ENTRY_H_
