// The archive's records as the tests lay them out and read them back: the
// 80-byte header at offset 320, 24-byte directory entries, 1716-byte
// directory nodes and the size prefix of an LRS payload. Every field sits
// at an offset written out here, from the format's description, and none
// of it goes through the library's encoders or decoders.

#ifndef QUILLSTONE_DAT_TESTS_SUPPORT_RECORD_BYTES_H_
#define QUILLSTONE_DAT_TESTS_SUPPORT_RECORD_BYTES_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/dat_header.h"
#include "support/little_endian.h"

namespace quillstone_dat::testing {

inline constexpr std::uint32_t kHeaderAt = 320;
inline constexpr std::uint32_t kHeaderBytes = 80;
inline constexpr std::uint32_t kHeaderEndAt = kHeaderAt + kHeaderBytes;
inline constexpr std::uint32_t kEntryBytes = 24;
inline constexpr std::uint32_t kBranchesPerNode = 62;
inline constexpr std::uint32_t kEntriesPerNode = 61;
inline constexpr std::uint32_t kEntryCountAt = 4 * kBranchesPerNode;
inline constexpr std::uint32_t kFirstEntryAt = kEntryCountAt + 4;
inline constexpr std::uint32_t kNodeBytes =
    kFirstEntryAt + kEntriesPerNode * kEntryBytes;
inline constexpr std::uint32_t kNextFieldBytes = 4;
inline constexpr std::uint32_t kSizePrefixBytes = 4;
static_assert(kNodeBytes == 1716);

// The header's fields in on-disk order, by the names errors and the tool
// show.
inline constexpr std::array<const char*, 17> kHeaderFieldNames = {
    "magic",         "block_size",     "file_size",    "dataset",
    "subset",        "free_head",      "free_tail",    "free_count",
    "root_offset",   "new_lru",        "old_lru",      "use_lru",
    "master_map_id", "engine_version", "game_version", "version_string",
    "version_minor"};

std::array<std::uint8_t, kHeaderBytes> header_bytes(const DatHeader& header);

std::array<std::uint8_t, kEntryBytes> entry_bytes(const DatFileEntry& entry);
// The entry in the first 24 bytes of `bytes`.
DatFileEntry entry_from_bytes(std::span<const std::uint8_t> bytes);

// A directory node. Built, `entry_count` defaults to the number of entries
// given; set it to lie about the count. Read back, it is the count stored
// and `entries` holds the slots it covers, 61 at the most.
struct Node {
  std::array<std::uint32_t, kBranchesPerNode> branches{};
  std::vector<DatFileEntry> entries;
  std::optional<std::uint32_t> entry_count;

  bool is_leaf() const { return branches[0] == 0; }
};

// The node's 1716 bytes as a chain yields them, for laying a node out
// through several blocks with ArchiveBuilder::put_chain.
Bytes encode_node(const Node& node);
// The node in the first 1716 bytes of `bytes`.
Node node_from_bytes(std::span<const std::uint8_t> bytes);

// A compressed file's stored bytes: the size prefix `declared`, then
// `stream`.
Bytes lrs_payload(std::uint32_t declared, std::span<const std::uint8_t> stream);

// An LRS payload that stores `data` as literals only.
Bytes lrs_literals(std::span<const std::uint8_t> data);

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_SUPPORT_RECORD_BYTES_H_
