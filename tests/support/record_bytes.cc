#include "support/record_bytes.h"

#include <algorithm>
#include <stdexcept>

namespace quillstone_dat::testing {

std::array<std::uint8_t, kHeaderBytes> header_bytes(const DatHeader& header) {
  std::array<std::uint8_t, kHeaderBytes> out{};
  // Offsets within the header; add 320 for the file offset.
  put_le32(out, 0, header.magic);
  put_le32(out, 4, header.block_size);
  put_le32(out, 8, header.file_size);
  put_le32(out, 12, header.dataset);
  put_le32(out, 16, header.subset);
  put_le32(out, 20, header.free_head);
  put_le32(out, 24, header.free_tail);
  put_le32(out, 28, header.free_count);
  put_le32(out, 32, header.root_offset);
  put_le32(out, 36, header.new_lru);
  put_le32(out, 40, header.old_lru);
  put_le32(out, 44, header.use_lru);
  put_le32(out, 48, header.master_map_id);
  put_le32(out, 52, header.engine_version);
  put_le32(out, 56, header.game_version);
  std::ranges::copy(header.version_string, out.data() + 60);
  put_le32(out, 76, header.version_minor);
  return out;
}

std::array<std::uint8_t, kEntryBytes> entry_bytes(const DatFileEntry& entry) {
  std::array<std::uint8_t, kEntryBytes> out{};
  put_le32(out, 0, entry.bit_flags);
  put_le32(out, 4, entry.id);
  put_le32(out, 8, entry.offset);
  put_le32(out, 12, entry.size);
  put_le32(out, 16, entry.timestamp);
  put_le32(out, 20, entry.version);
  return out;
}

DatFileEntry entry_from_bytes(std::span<const std::uint8_t> bytes) {
  return DatFileEntry{.bit_flags = get_le32(bytes, 0),
                      .id = get_le32(bytes, 4),
                      .offset = get_le32(bytes, 8),
                      .size = get_le32(bytes, 12),
                      .timestamp = get_le32(bytes, 16),
                      .version = get_le32(bytes, 20)};
}

Bytes encode_node(const Node& node) {
  if (node.entries.size() > kEntriesPerNode) {
    throw std::invalid_argument("node overfull");
  }
  Bytes out(kNodeBytes);
  for (std::size_t i = 0; i < kBranchesPerNode; ++i) {
    put_le32(out, 4 * i, node.branches[i]);
  }
  put_le32(out, kEntryCountAt,
           node.entry_count.value_or(
               static_cast<std::uint32_t>(node.entries.size())));
  for (std::size_t i = 0; i < node.entries.size(); ++i) {
    std::ranges::copy(entry_bytes(node.entries[i]),
                      out.data() + kFirstEntryAt + i * kEntryBytes);
  }
  return out;
}

Node node_from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kNodeBytes) throw std::invalid_argument("short node");
  Node node;
  for (std::size_t i = 0; i < kBranchesPerNode; ++i) {
    node.branches[i] = get_le32(bytes, 4 * i);
  }
  node.entry_count = get_le32(bytes, kEntryCountAt);
  const std::size_t used =
      std::min<std::size_t>(*node.entry_count, kEntriesPerNode);
  for (std::size_t i = 0; i < used; ++i) {
    node.entries.push_back(
        entry_from_bytes(bytes.subspan(kFirstEntryAt + i * kEntryBytes)));
  }
  return node;
}

Bytes lrs_payload(std::uint32_t declared,
                  std::span<const std::uint8_t> stream) {
  Bytes out(kSizePrefixBytes + stream.size());
  put_le32(out, 0, declared);
  std::ranges::copy(stream, out.data() + kSizePrefixBytes);
  return out;
}

Bytes lrs_literals(std::span<const std::uint8_t> data) {
  Bytes stream;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i % 8 == 0) stream.push_back(0);  // a flag byte: eight literals
    stream.push_back(data[i]);
  }
  return lrs_payload(static_cast<std::uint32_t>(data.size()), stream);
}

}  // namespace quillstone_dat::testing
