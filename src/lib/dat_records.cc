#include "lib/dat_records.h"

#include <algorithm>

#include "utils/coding.h"

namespace quillstone_dat {

namespace {

constexpr const char* kHeader = "DatHeader";
constexpr const char* kEntry = "DatFileEntry";

}  // namespace

std::expected<DatHeader, BinReadError> read_header(RecordReader& reader) {
  DatHeader header;
  struct Field {
    const char* name;
    std::uint32_t DatHeader::*member;
  };
  static constexpr Field kLeadingFields[] = {
      {"magic", &DatHeader::magic},
      {"block_size", &DatHeader::block_size},
      {"file_size", &DatHeader::file_size},
      {"dataset", &DatHeader::dataset},
      {"subset", &DatHeader::subset},
      {"free_head", &DatHeader::free_head},
      {"free_tail", &DatHeader::free_tail},
      {"free_count", &DatHeader::free_count},
      {"root_offset", &DatHeader::root_offset},
      {"new_lru", &DatHeader::new_lru},
      {"old_lru", &DatHeader::old_lru},
      {"use_lru", &DatHeader::use_lru},
      {"master_map_id", &DatHeader::master_map_id},
      {"engine_version", &DatHeader::engine_version},
      {"game_version", &DatHeader::game_version},
  };
  for (const Field& field : kLeadingFields) {
    auto value = reader.field_u32(kHeader, field.name);
    if (!value) return std::unexpected(std::move(value.error()));
    header.*field.member = *value;
  }
  if (auto done =
          reader.field_bytes(header.version_string, kHeader, "version_string");
      !done) {
    return std::unexpected(std::move(done.error()));
  }
  auto minor = reader.field_u32(kHeader, "version_minor");
  if (!minor) return std::unexpected(std::move(minor.error()));
  header.version_minor = *minor;
  return header;
}

std::expected<DatFileEntry, BinReadError> read_entry(RecordReader& reader) {
  DatFileEntry entry;
  struct Field {
    const char* name;
    std::uint32_t DatFileEntry::*member;
  };
  static constexpr Field kFields[] = {
      {"bit_flags", &DatFileEntry::bit_flags},
      {"id", &DatFileEntry::id},
      {"offset", &DatFileEntry::offset},
      {"size", &DatFileEntry::size},
      {"timestamp", &DatFileEntry::timestamp},
      {"version", &DatFileEntry::version},
  };
  for (const Field& field : kFields) {
    auto value = reader.field_u32(kEntry, field.name);
    if (!value) return std::unexpected(std::move(value.error()));
    entry.*field.member = *value;
  }
  return entry;
}

DatFileEntry decode_entry(std::span<const std::uint8_t> in) {
  const std::uint8_t* p = in.data();
  return DatFileEntry{decode_fixed32(p),      decode_fixed32(p + 4),
                      decode_fixed32(p + 8),  decode_fixed32(p + 12),
                      decode_fixed32(p + 16), decode_fixed32(p + 20)};
}

void encode_header(const DatHeader& h, std::span<std::uint8_t> out) {
  const std::uint32_t leading[] = {
      h.magic,         h.block_size,     h.file_size,   h.dataset,
      h.subset,        h.free_head,      h.free_tail,   h.free_count,
      h.root_offset,   h.new_lru,        h.old_lru,     h.use_lru,
      h.master_map_id, h.engine_version, h.game_version};
  std::uint8_t* p = out.data();
  for (const std::uint32_t value : leading) {
    encode_fixed32(p, value);
    p += 4;
  }
  p = std::copy(h.version_string.begin(), h.version_string.end(), p);
  encode_fixed32(p, h.version_minor);
}

void encode_entry(const DatFileEntry& e, std::span<std::uint8_t> out) {
  const std::uint32_t fields[] = {e.bit_flags, e.id,        e.offset,
                                  e.size,      e.timestamp, e.version};
  std::uint8_t* p = out.data();
  for (const std::uint32_t value : fields) {
    encode_fixed32(p, value);
    p += 4;
  }
}

}  // namespace quillstone_dat
