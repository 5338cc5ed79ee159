// DatHeader is the archive's header record: 80 bytes at file offsets 320 to
// 399, every integer unsigned 32-bit little-endian, in this order:
//
//   320 magic           336 subset          352 root_offset    368 master_map_id
//   324 block_size      340 free_head       356 new_lru        372 engine_version
//   328 file_size       344 free_tail       360 old_lru        376 game_version
//   332 dataset         348 free_count      364 use_lru        380 version_string (16 bytes)
//                                                              396 version_minor
//
// No field is validated: any 80 bytes are a header. block_size sizes the
// blocks of every chain; root_offset names the directory's root node (0: the
// directory is empty). The first 320 bytes of an archive are never read.

#ifndef QUILLSTONE_DAT_DAT_HEADER_H_
#define QUILLSTONE_DAT_DAT_HEADER_H_

#include <array>
#include <cstdint>

namespace quillstone_dat {

struct DatHeader {
  static constexpr std::uint64_t kFileOffset = 320;
  static constexpr std::size_t kEncodedSize = 80;

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

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_DAT_HEADER_H_
