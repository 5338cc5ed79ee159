// The archive's on-disk records, each decoded and encoded here and nowhere
// else. Every integer is unsigned 32-bit little-endian (utils/coding.h).
// Decoders that can meet too few bytes fail with a BinReadError whose frame
// names the record and the field where the bytes ran out, for instance
// "While parsing field 'root_offset' in DatHeader".

#ifndef QUILLSTONE_DAT_FORMAT_RECORDS_H_
#define QUILLSTONE_DAT_FORMAT_RECORDS_H_

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/error.h"
#include "utils/coding.h"

namespace quillstone_dat {

// ---------------------------------------------------------------------------
// Header: 80 bytes at file offsets 320 to 399. The first 320 bytes of an
// archive are never read.
//
//   320 magic          340 free_head     360 old_lru         380 version_string
//   324 block_size     344 free_tail     364 use_lru             (16 bytes)
//   328 file_size      348 free_count    368 master_map_id   396 version_minor
//   332 dataset        352 root_offset   372 engine_version
//   336 subset         356 new_lru       376 game_version
//
// No field is validated: any 80 bytes are a header.
inline constexpr std::uint64_t kHeaderOffset = 320;
inline constexpr std::size_t kHeaderSize = 80;
inline constexpr std::uint64_t kHeaderEnd = kHeaderOffset + kHeaderSize;

// The header in `bytes`, which hold what could be read of its 80 bytes. A
// short `bytes` fails at the field where they end; `error_at_end`, the error
// of the read that stopped there, is then the cause instead of end of file.
std::expected<DatHeader, BinReadError> decode_header(
    std::span<const std::uint8_t> bytes,
    std::optional<IoError> error_at_end = std::nullopt);
void encode_header(const DatHeader& header,
                   std::span<std::uint8_t, kHeaderSize> out);

// ---------------------------------------------------------------------------
// Directory entry: 24 bytes.
//
//   0 bit_flags   bit 0 set: the stored bytes are LRS-compressed
//   4 id          the file id, the entry's key
//   8 offset      file offset of the first block of the file's chain
//  12 size        stored bytes in the chain (compressed: the LRS payload,
//                 its 4-byte size prefix included)
//  16 timestamp   not interpreted
//  20 version     not interpreted
inline constexpr std::size_t kEntrySize = 24;

// The entry at the front of `bytes`; fails at the field where they end.
std::expected<DatFileEntry, BinReadError> decode_entry(
    std::span<const std::uint8_t> bytes);
void encode_entry(const DatFileEntry& entry,
                  std::span<std::uint8_t, kEntrySize> out);

// ---------------------------------------------------------------------------
// Directory node: the first 1716 bytes that the block chain at the node's
// offset yields.
//
//   0     branches     62 x u32 file offsets of child nodes (0: none)
//   248   entry_count  u32
//   252   entries      61 x 24-byte entries; the first entry_count are used
//
// A node whose first branch is 0 is a leaf, whatever its other branches
// hold; otherwise its first entry_count + 1 branches lead to its children.
inline constexpr std::size_t kNodeBranches = 62;
inline constexpr std::size_t kNodeMaxEntries = 61;
inline constexpr std::uint32_t kNodeSize =
    kNodeBranches * 4 + 4 + kNodeMaxEntries * kEntrySize;
static_assert(kNodeSize == 1716);

struct DirectoryNode {
  std::array<std::uint32_t, kNodeBranches> branches{};
  std::uint32_t entry_count = 0;  // at most kNodeMaxEntries once decoded
  // Slots past entry_count are encoded as they stand (zero by default).
  std::array<DatFileEntry, kNodeMaxEntries> entries{};

  bool is_leaf() const { return branches[0] == 0; }
  std::span<const DatFileEntry> used_entries() const {
    return std::span(entries).first(
        std::min<std::size_t>(entry_count, kNodeMaxEntries));
  }
  // The branches a walk follows (zeros among them lead nowhere); none for a
  // leaf.
  std::span<const std::uint32_t> child_branches() const {
    return is_leaf() ? std::span<const std::uint32_t>()
                     : std::span(branches).first(entry_count + 1);
  }
};

// An entry_count above 61 puts its 62nd entry at the end of the node's
// bytes, so it fails as that entry's first field does.
std::expected<DirectoryNode, BinReadError> decode_directory_node(
    std::span<const std::uint8_t, kNodeSize> bytes);
// Writes entry_count as it stands, so that tests can lay out a node whose
// count lies.
void encode_directory_node(const DirectoryNode& node,
                           std::span<std::uint8_t, kNodeSize> out);

// ---------------------------------------------------------------------------
// Block: block_size bytes at any offset.
//
//   0  next     absolute offset of the next block of the chain; 0: no block
//               follows, and every byte still missing follows this field
//               contiguously, past the block's end if need be
//   4  payload  block_size - 4 bytes of the stored data
inline constexpr std::uint32_t kNextFieldSize = 4;

// Precondition: `block` points at kNextFieldSize readable bytes.
inline std::uint32_t decode_next_field(const std::uint8_t* block) {
  return decode_fixed32(block);
}
// Precondition: `block` points at kNextFieldSize writable bytes.
inline void encode_next_field(std::uint8_t* block, std::uint32_t next) {
  encode_fixed32(block, next);
}

// ---------------------------------------------------------------------------
// LRS stream: a compressed entry's stored bytes.
//
//   0  size    the decoded length
//   4  groups  the compressed stream
inline constexpr std::size_t kSizePrefixSize = 4;

// Precondition: `stream` holds at least kSizePrefixSize bytes.
inline std::uint32_t decode_size_prefix(std::span<const std::uint8_t> stream) {
  return decode_fixed32(stream.data());
}
// Precondition: `stream` holds at least kSizePrefixSize bytes.
inline void encode_size_prefix(std::span<std::uint8_t> stream,
                               std::uint32_t size) {
  encode_fixed32(stream.data(), size);
}

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_FORMAT_RECORDS_H_
