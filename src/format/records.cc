#include "format/records.h"

#include <algorithm>
#include <type_traits>

namespace quillstone_dat {

namespace {

// The entry's fields in on-disk order, for its decoder and its encoder.
template <typename Entry, typename Visitor>
void for_each_entry_field(Entry& entry, Visitor&& visit) {
  visit("bit_flags", entry.bit_flags);
  visit("id", entry.id);
  visit("offset", entry.offset);
  visit("size", entry.size);
  visit("timestamp", entry.timestamp);
  visit("version", entry.version);
}

// Reads fields front to back from `bytes`. The first field that runs past
// the end records the error, in a frame naming the field, and every later
// field is skipped.
class FieldDecoder {
 public:
  FieldDecoder(std::span<const std::uint8_t> bytes, const char* record,
               std::optional<IoError> error_at_end = std::nullopt)
      : bytes_(bytes),
        record_(record),
        error_at_end_(std::move(error_at_end)) {}

  void operator()(const char* field, std::uint32_t& out) {
    if (const std::uint8_t* p = take(field, 4, IoError::fill_whole_buffer)) {
      out = decode_fixed32(p);
    }
  }

  template <std::size_t N>
  void operator()(const char* field, std::array<std::uint8_t, N>& out) {
    if (const std::uint8_t* p = take(field, N, IoError::not_enough_bytes)) {
      std::copy_n(p, N, out.begin());
    }
  }

  std::optional<BinReadError>& error() { return error_; }

 private:
  // The cause is made only when the bytes run out: a directory of a
  // million entries decodes six million fields that never fail.
  const std::uint8_t* take(const char* field, std::size_t count,
                           IoError (*eof_cause)()) {
    if (error_) return nullptr;
    if (bytes_.size() - position_ < count) {
      error_.emplace(error_at_end_ ? *error_at_end_ : eof_cause());
      error_->in_field(record_, field);
      return nullptr;
    }
    const std::uint8_t* const p = bytes_.data() + position_;
    position_ += count;
    return p;
  }

  std::span<const std::uint8_t> bytes_;
  const char* record_;
  std::optional<IoError> error_at_end_;
  std::size_t position_ = 0;
  std::optional<BinReadError> error_;
};

// Writes fields front to back into a buffer known to hold them all.
class FieldEncoder {
 public:
  explicit FieldEncoder(std::uint8_t* out) : out_(out) {}

  void operator()(const char*, std::uint32_t value) {
    encode_fixed32(out_, value);
    out_ += 4;
  }

  template <std::size_t N>
  void operator()(const char*, const std::array<std::uint8_t, N>& value) {
    out_ = std::copy(value.begin(), value.end(), out_);
  }

 private:
  std::uint8_t* out_;
};

}  // namespace

std::expected<DatHeader, BinReadError> decode_header(
    std::span<const std::uint8_t> bytes, std::optional<IoError> error_at_end) {
  DatHeader header;
  FieldDecoder decode(bytes, "DatHeader", std::move(error_at_end));
  for_each_header_field(header, decode);
  if (decode.error()) return std::unexpected(std::move(*decode.error()));
  return header;
}

void encode_header(const DatHeader& header,
                   std::span<std::uint8_t, kHeaderSize> out) {
  for_each_header_field(header, FieldEncoder(out.data()));
}

std::expected<DatFileEntry, BinReadError> decode_entry(
    std::span<const std::uint8_t> bytes) {
  DatFileEntry entry;
  FieldDecoder decode(bytes, "DatFileEntry");
  for_each_entry_field(entry, decode);
  if (decode.error()) return std::unexpected(std::move(*decode.error()));
  return entry;
}

void encode_entry(const DatFileEntry& entry,
                  std::span<std::uint8_t, kEntrySize> out) {
  for_each_entry_field(entry, FieldEncoder(out.data()));
}

std::expected<DirectoryNode, BinReadError> decode_directory_node(
    std::span<const std::uint8_t, kNodeSize> bytes) {
  DirectoryNode node;
  const std::uint8_t* p = bytes.data();
  for (std::uint32_t& branch : node.branches) {
    branch = decode_fixed32(p);
    p += 4;
  }
  node.entry_count = decode_fixed32(p);
  p += 4;
  const std::span<const std::uint8_t> entry_bytes =
      bytes.subspan(kNodeBranches * 4 + 4);
  if (node.entry_count > kNodeMaxEntries) {
    auto past_end = decode_entry(entry_bytes.subspan(entry_bytes.size()));
    past_end.error().counting_entries(node.entry_count);
    return std::unexpected(std::move(past_end.error()));
  }
  for (std::uint32_t i = 0; i < node.entry_count; ++i) {
    // Every used entry lies within the node's bytes.
    node.entries[i] = *decode_entry(entry_bytes.subspan(i * kEntrySize));
  }
  return node;
}

void encode_directory_node(const DirectoryNode& node,
                           std::span<std::uint8_t, kNodeSize> out) {
  std::uint8_t* p = out.data();
  for (const std::uint32_t branch : node.branches) {
    encode_fixed32(p, branch);
    p += 4;
  }
  encode_fixed32(p, node.entry_count);
  p += 4;
  for (const DatFileEntry& entry : node.entries) {
    encode_entry(entry, std::span<std::uint8_t, kEntrySize>(p, kEntrySize));
    p += kEntrySize;
  }
}

}  // namespace quillstone_dat
