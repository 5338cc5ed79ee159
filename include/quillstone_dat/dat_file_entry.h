// DatFileEntry is one directory entry: six unsigned 32-bit fields, read
// from 24 bytes of a directory node (docs/format.md gives the layout).
// bit_flags bit 0 set means the stored bytes are LRS-compressed; size counts
// the stored bytes (for a compressed entry, the LRS payload with its 4-byte
// size prefix); timestamp and version are stored and not interpreted. A
// small value, copied freely.

#ifndef QUILLSTONE_DAT_DAT_FILE_ENTRY_H_
#define QUILLSTONE_DAT_DAT_FILE_ENTRY_H_

#include <cstddef>
#include <cstdint>

namespace quillstone_dat {

struct DatFileEntry {
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
