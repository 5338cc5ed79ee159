// DatHeader is the archive's header record: seventeen fields, sixteen
// unsigned 32-bit numbers and the 16 raw bytes of version_string, read from
// the 80 bytes at file offsets 320 to 399 (docs/format.md gives the layout).
// No field is validated: any 80 bytes are a header. block_size sizes the
// blocks of every chain; root_offset names the directory's root node (0: the
// directory is empty); the others are stored and not interpreted.

#ifndef QUILLSTONE_DAT_DAT_HEADER_H_
#define QUILLSTONE_DAT_DAT_HEADER_H_

#include <array>
#include <cstdint>
#include <filesystem>
#include <type_traits>

#include "quillstone_dat/error.h"

namespace quillstone_dat {

struct DatHeader {
  std::uint32_t magic = 0;
  std::uint32_t block_size = 0;
  std::uint32_t file_size = 0;
  std::uint32_t dataset = 0;
  std::uint32_t subset = 0;
  std::uint32_t free_head = 0;
  std::uint32_t free_tail = 0;
  std::uint32_t free_count = 0;
  std::uint32_t root_offset = 0;
  std::uint32_t new_lru = 0;
  std::uint32_t old_lru = 0;
  std::uint32_t use_lru = 0;
  std::uint32_t master_map_id = 0;
  std::uint32_t engine_version = 0;
  std::uint32_t game_version = 0;
  std::array<std::uint8_t, 16> version_string{};
  std::uint32_t version_minor = 0;

  friend bool operator==(const DatHeader&, const DatHeader&) = default;
};

// Calls visit(name, field) for each field in on-disk order, `field` being a
// reference to a std::uint32_t member or to version_string; `Header` is
// DatHeader or const DatHeader. The names are the ones errors and the tool
// show ("magic", "block_size", ...).
template <typename Header, typename Visitor>
requires std::is_same_v<std::remove_const_t<Header>, DatHeader>
void for_each_header_field(Header& header, Visitor&& visit) {
  visit("magic", header.magic);
  visit("block_size", header.block_size);
  visit("file_size", header.file_size);
  visit("dataset", header.dataset);
  visit("subset", header.subset);
  visit("free_head", header.free_head);
  visit("free_tail", header.free_tail);
  visit("free_count", header.free_count);
  visit("root_offset", header.root_offset);
  visit("new_lru", header.new_lru);
  visit("old_lru", header.old_lru);
  visit("use_lru", header.use_lru);
  visit("master_map_id", header.master_map_id);
  visit("engine_version", header.engine_version);
  visit("game_version", header.game_version);
  visit("version_string", header.version_string);
  visit("version_minor", header.version_minor);
}

// Reads only the header of the archive at `path`, without walking its
// directory: what can still be shown of an archive whose directory is
// damaged. Fails as DatDatabase::open does on the header: PathError when
// the file cannot be opened, Io when it cannot seek, BinRead when it ends
// (or a read fails) before byte 400.
DatResult<DatHeader> read_dat_header(const std::filesystem::path& path);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_DAT_HEADER_H_
