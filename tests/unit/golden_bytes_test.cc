// Golden bytes: small archives written out byte for byte below, from the
// format's description (docs/format.md), each read by the library and
// compared field by field with values that are written out too. No encoder
// made these bytes, neither the library's nor the tests' own, so a field
// the reader takes from the wrong place fails here even where the writer
// puts it in the same wrong place. The library's record encoders and the
// tests' own layout (support/record_bytes.h) are held to the same bytes.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "format/free_list.h"
#include "format/records.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/dat_header.h"
#include "support/archive_builder.h"
#include "support/hex_image.h"
#include "support/record_bytes.h"

namespace quillstone_dat::testing {
namespace {

// Every entry field, so that a failure names the one that is off.
void expect_entry_fields(const DatFileEntry* actual,
                         const DatFileEntry& expected) {
  ASSERT_NE(actual, nullptr) << "no entry for id " << expected.id;
  EXPECT_EQ(actual->bit_flags, expected.bit_flags) << "id " << expected.id;
  EXPECT_EQ(actual->id, expected.id);
  EXPECT_EQ(actual->offset, expected.offset) << "id " << expected.id;
  EXPECT_EQ(actual->size, expected.size) << "id " << expected.id;
  EXPECT_EQ(actual->timestamp, expected.timestamp) << "id " << expected.id;
  EXPECT_EQ(actual->version, expected.version) << "id " << expected.id;
}

std::span<const std::uint8_t> bytes_at(const Bytes& image, std::size_t at,
                                       std::size_t count) {
  return std::span(image).subspan(at, count);
}

// ---------------------------------------------------------------------------
// The header: a different value in every field, each byte order visible.

constexpr std::string_view kHeaderRows = R"(
  # magic        block_size   file_size    dataset
  140: 44 33 22 11  00 04 00 00  90 01 00 00  01 00 00 00
  # subset       free_head    free_tail    free_count
  150: 02 00 00 00  00 08 00 00  00 0C 00 00  03 00 00 00
  # root_offset  new_lru      old_lru      use_lru
  160: 00 00 00 00  0A 00 00 00  B0 00 00 00  00 0C 00 00
  # master_map   engine       game         version_string
  170: EF BE AD DE  07 00 00 00  00 00 01 00  76 31 2E 30
  #    version_string, continued                version_minor
  180: 00 FF 00 00  00 00 00 00  00 00 00 43  78 56 34 12
)";

void expect_golden_header(const DatHeader& header) {
  EXPECT_EQ(header.magic, 0x11223344u);
  EXPECT_EQ(header.block_size, 1024u);
  EXPECT_EQ(header.file_size, 400u);
  EXPECT_EQ(header.dataset, 1u);
  EXPECT_EQ(header.subset, 2u);
  EXPECT_EQ(header.free_head, 0x800u);
  EXPECT_EQ(header.free_tail, 0xC00u);
  EXPECT_EQ(header.free_count, 3u);
  EXPECT_EQ(header.root_offset, 0u);
  EXPECT_EQ(header.new_lru, 0x0Au);
  EXPECT_EQ(header.old_lru, 0xB0u);
  EXPECT_EQ(header.use_lru, 0xC00u);
  EXPECT_EQ(header.master_map_id, 0xDEADBEEFu);
  EXPECT_EQ(header.engine_version, 7u);
  EXPECT_EQ(header.game_version, 0x10000u);
  EXPECT_EQ(header.version_string,
            (std::array<std::uint8_t, 16>{0x76, 0x31, 0x2E, 0x30, 0x00, 0xFF,
                                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                          0x00, 0x00, 0x00, 0x43}));
  EXPECT_EQ(header.version_minor, 0x12345678u);
}

TEST(GoldenBytes, HeaderFieldsSitAtTheirOffsets) {
  const Bytes image = hex_image(400, kHeaderRows);

  const auto db = open_in_memory(image);
  ASSERT_TRUE(db) << db.error();
  expect_golden_header(db->header());
  EXPECT_TRUE(db->files().empty());

  const TempDir dir;
  const auto from_disk = read_dat_header(write_bytes(dir / "h.dat", image));
  ASSERT_TRUE(from_disk) << from_disk.error();
  expect_golden_header(*from_disk);

  const auto decoded = decode_header(bytes_at(image, 320, 80));
  ASSERT_TRUE(decoded) << decoded.error();
  expect_golden_header(*decoded);

  std::array<std::uint8_t, kHeaderSize> encoded{};
  encode_header(*decoded, encoded);
  EXPECT_EQ(byte_differences(encoded, bytes_at(image, 320, 80)), "");
  EXPECT_EQ(byte_differences(header_bytes(*decoded), bytes_at(image, 320, 80)),
            "");
}

// ---------------------------------------------------------------------------
// A directory of two levels, block size 0x100: a branch root at 0x200 over
// leaves at 0x900, 0x1000 and 0x1700. Each node is one block whose next
// field is 0, so its 1716 bytes follow that field contiguously: branches
// at +4, entry_count at +0xFC, the entries from +0x100.

constexpr std::string_view kDirectoryRows = R"(
  140: 00 00 00 00  00 01 00 00  B8 1D 00 00   # block_size, file_size
  160: 00 02 00 00                             # root_offset

  # The root: three branches, two entries.
  204: 00 09 00 00  00 10 00 00  00 17 00 00
  2FC: 02 00 00 00
  300: 00 00 00 00  10 00 00 0A  00 40 00 00  00 01 00 00
  310: 00 10 5E 5F  01 00 00 00
  318: 02 00 00 00  20 00 00 0A  00 44 00 00  10 00 00 00
  328: 01 10 5E 5F  02 00 00 00

  # Leaf 0x900: the ids below 0A000010.
  9FC: 02 00 00 00
  A00: 01 00 00 00  01 00 00 0A  00 30 00 00  2A 00 00 00
  A10: 80 99 CF 61  02 00 00 00
  A18: 00 00 00 00  02 00 00 0A  00 31 00 00  05 00 00 00
  A28: 00 00 00 00  00 00 00 00

  # Leaf 0x1000: between 0A000010 and 0A000020.
  10FC: 01 00 00 00
  1100: 03 00 00 00  11 00 00 0A  00 42 00 00  11 00 00 00
  1110: 78 56 34 12  FF FF 00 00

  # Leaf 0x1700: above 0A000020.
  17FC: 02 00 00 00
  1800: 00 00 00 00  21 00 00 0A  00 48 00 00  00 00 00 00
  1810: 00 00 00 00  07 00 00 00
  1818: 01 00 00 00  FF FF 00 0A  00 49 00 00  40 00 00 00
  1828: FF FF FF FF  01 00 00 00
)";

// The seven entries above, field by field: bit_flags, id, offset, size,
// timestamp, version.
constexpr DatFileEntry kRootEntries[] = {
    {0, 0x0A000010, 0x4000, 0x100, 0x5F5E1000, 1},
    {2, 0x0A000020, 0x4400, 0x10, 0x5F5E1001, 2},
};
constexpr DatFileEntry kLeafEntries[] = {
    {1, 0x0A000001, 0x3000, 0x2A, 0x61CF9980, 2},
    {0, 0x0A000002, 0x3100, 5, 0, 0},
    {3, 0x0A000011, 0x4200, 0x11, 0x12345678, 0xFFFF},
    {0, 0x0A000021, 0x4800, 0, 0, 7},
    {1, 0x0A00FFFF, 0x4900, 0x40, 0xFFFFFFFF, 1},
};

TEST(GoldenBytes, BranchAndLeafNodesHoldTheirEntries) {
  const Bytes image = hex_image(0x1DB8, kDirectoryRows);

  const auto db = open_in_memory(image);
  ASSERT_TRUE(db) << db.error();
  EXPECT_EQ(db->header().block_size, 0x100u);
  EXPECT_EQ(db->header().root_offset, 0x200u);
  EXPECT_EQ(db->files().size(), 7u);
  for (const DatFileEntry& expected : kRootEntries) {
    expect_entry_fields(db->files().find(expected.id), expected);
  }
  for (const DatFileEntry& expected : kLeafEntries) {
    expect_entry_fields(db->files().find(expected.id), expected);
  }

  // The root alone, through the node decoder.
  const auto root_bytes = bytes_at(image, 0x204, kNodeSize);
  const auto root = decode_directory_node(
      std::span<const std::uint8_t, kNodeSize>(root_bytes));
  ASSERT_TRUE(root) << root.error();
  EXPECT_FALSE(root->is_leaf());
  EXPECT_EQ(root->branches[0], 0x900u);
  EXPECT_EQ(root->branches[1], 0x1000u);
  EXPECT_EQ(root->branches[2], 0x1700u);
  for (std::size_t i = 3; i < root->branches.size(); ++i) {
    EXPECT_EQ(root->branches[i], 0u) << "branch " << i;
  }
  EXPECT_EQ(root->entry_count, 2u);
  expect_entry_fields(&root->entries[0], kRootEntries[0]);
  expect_entry_fields(&root->entries[1], kRootEntries[1]);

  const auto leaf_bytes = bytes_at(image, 0x1704, kNodeSize);
  const auto leaf = decode_directory_node(
      std::span<const std::uint8_t, kNodeSize>(leaf_bytes));
  ASSERT_TRUE(leaf) << leaf.error();
  EXPECT_TRUE(leaf->is_leaf());
  EXPECT_EQ(leaf->entry_count, 2u);
  expect_entry_fields(&leaf->entries[0], kLeafEntries[3]);
  expect_entry_fields(&leaf->entries[1], kLeafEntries[4]);

  // One entry through the entry decoder.
  const auto entry = decode_entry(bytes_at(image, 0xA00, kEntrySize));
  ASSERT_TRUE(entry) << entry.error();
  expect_entry_fields(&*entry, kLeafEntries[0]);

  // Encoded again, by the library and by the tests' own layout, the nodes
  // are the same bytes.
  std::array<std::uint8_t, kNodeSize> encoded{};
  encode_directory_node(*root, encoded);
  EXPECT_EQ(byte_differences(encoded, root_bytes), "");
  encode_directory_node(*leaf, encoded);
  EXPECT_EQ(byte_differences(encoded, leaf_bytes), "");
  EXPECT_EQ(
      byte_differences(encode_node(Node{{0x900, 0x1000, 0x1700},
                                        {kRootEntries[0], kRootEntries[1]},
                                        std::nullopt}),
                       root_bytes),
      "");
}

// ---------------------------------------------------------------------------
// Block size 0x20, 28 payload bytes a block. File 0B000001 is a chain of
// two blocks laid out high then low: 28 bytes at 0x304, then the last 12
// at 0x204, whose block's next field holds junk that is not followed. File
// 0B000002's one block has next field 0, so its 40 bytes run on past the
// block's end. The root leaf lies at 0x800.

constexpr std::string_view kChainRows = R"(
  140: 00 00 00 00  20 00 00 00  B8 0E 00 00   # block_size, file_size
  160: 00 08 00 00                             # root_offset

  # The chain's second block: junk next field, bytes 28 to 39.
  200: EF BE AD DE  32 33 34 35  36 37 38 39  61 62 63 64
  # The chain's first block: next field 0x200, bytes 0 to 27.
  300: 00 02 00 00  41 42 43 44  45 46 47 48  49 4A 4B 4C
  310: 4D 4E 4F 50  51 52 53 54  55 56 57 58  59 5A 30 31

  # One block, next field 0, 40 bytes.
  600: 00 00 00 00  6E 65 78 74  20 66 69 65  6C 64 20 30
  610: 3A 20 74 68  65 20 72 65  73 74 20 66  6F 6C 6C 6F
  620: 77 73 20 61  74 20 6F 6E  63 65 2E 2E

  8FC: 02 00 00 00
  900: 00 00 00 00  01 00 00 0B  00 03 00 00  28 00 00 00
  918: 00 00 00 00  02 00 00 0B  00 06 00 00  28 00 00 00
)";

TEST(GoldenBytes, ChainsFollowNextFieldsOrRunOnContiguously) {
  const Bytes image = hex_image(0xEB8, kChainRows);
  const auto db = open_in_memory(image);
  ASSERT_TRUE(db) << db.error();
  expect_entry_fields(db->files().find(0x0B000001),
                      {0, 0x0B000001, 0x300, 40, 0, 0});
  expect_entry_fields(db->files().find(0x0B000002),
                      {0, 0x0B000002, 0x600, 40, 0, 0});

  EXPECT_EQ(db->get_file(0x0B000001),
            bytes_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd"));
  EXPECT_EQ(db->read_file_data(0x300, 30),
            bytes_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ01"
                     "23"));
  // Fewer bytes than a payload: the junk next field is read past, never
  // followed.
  EXPECT_EQ(db->read_file_data(0x200, 12), bytes_of("23456789abcd"));
  EXPECT_EQ(db->get_file(0x0B000002),
            bytes_of("next field 0: the rest follows at once.."));
}

// ---------------------------------------------------------------------------
// LRS payloads, block size 0x40: the format's two worked examples, stored
// compressed (bit 0 of bit_flags), and the first again under bit_flags 2,
// which is not compressed and comes back as stored.

constexpr std::string_view kLrsRows = R"(
  140: 00 00 00 00  40 00 00 00  38 09 00 00   # block_size, file_size
  160: 80 02 00 00                             # root_offset

  # Size 10; flags 0x40: a literal 'a', then distance 1, length 9.
  200: 00 00 00 00  0A 00 00 00  40 61 01 07
  # Size 8; flags 0x08: 'a' 'b' 'c' 'd', then distance 4, length 4.
  240: 00 00 00 00  08 00 00 00  08 61 62 63  64 04 02

  37C: 03 00 00 00
  380: 01 00 00 00  01 00 00 0C  00 02 00 00  08 00 00 00
  398: 01 00 00 00  02 00 00 0C  40 02 00 00  0B 00 00 00
  3B0: 02 00 00 00  03 00 00 0C  00 02 00 00  08 00 00 00
)";

TEST(GoldenBytes, CompressedFilesDecodeAndOthersComeBackAsStored) {
  const Bytes image = hex_image(0x938, kLrsRows);
  const auto db = open_in_memory(image);
  ASSERT_TRUE(db) << db.error();
  expect_entry_fields(db->files().find(0x0C000001),
                      {1, 0x0C000001, 0x200, 8, 0, 0});
  expect_entry_fields(db->files().find(0x0C000002),
                      {1, 0x0C000002, 0x240, 11, 0, 0});
  expect_entry_fields(db->files().find(0x0C000003),
                      {2, 0x0C000003, 0x200, 8, 0, 0});

  EXPECT_EQ(db->get_file(0x0C000001), bytes_of("aaaaaaaaaa"));
  EXPECT_EQ(db->get_file(0x0C000002), bytes_of("abcdabcd"));
  const Bytes stored = hex_bytes("0A 00 00 00  40 61 01 07");
  EXPECT_EQ(db->get_file(0x0C000003), stored);
  EXPECT_EQ(db->read_file_data(0x200, 8), stored);
}

// ---------------------------------------------------------------------------
// A free list of two blocks, block size 0x40 and no directory: free_head
// 0x1C0, free_tail 0x200, free_count 2. The first block's next field
// leads to the second; the second's holds junk, which the count keeps
// anyone from following. Every block after the header is on the list.

constexpr std::string_view kFreeListRows = R"(
  140: 00 00 00 00  40 00 00 00  40 02 00 00   # block_size, file_size
  154: C0 01 00 00  00 02 00 00  02 00 00 00   # free_head, _tail, _count
  1C0: 00 02 00 00
  200: EF BE AD DE
)";

TEST(GoldenBytes, FreeListEndsAfterItsCount) {
  Bytes image = hex_image(0x240, kFreeListRows);
  const auto db = open_in_memory(image);
  ASSERT_TRUE(db) << db.error();
  EXPECT_EQ(db->header().free_head, 0x1C0u);
  EXPECT_EQ(db->header().free_tail, 0x200u);
  EXPECT_EQ(db->header().free_count, 2u);

  const MemoryFile file(image);
  const auto list = walk_free_list(file, image.size(), db->header());
  ASSERT_TRUE(list) << list.error();
  EXPECT_EQ(list->blocks, (std::vector<std::uint32_t>{0x1C0, 0x200}));
  EXPECT_EQ(list->links, (std::vector<std::uint32_t>{0x200, 0xDEADBEEF}));

  const auto report = db->check({.check_free_space = true});
  ASSERT_TRUE(report) << report.error();
  EXPECT_TRUE(report->problems.empty()) << report->problems.front().detail;

  // Counting three blocks, in a file with room for a third, the list
  // follows the junk.
  image[0x15C] = 3;
  image.resize(0x280);
  const auto longer = open_in_memory(image);
  ASSERT_TRUE(longer) << longer.error();
  const std::string outside =
      "free block 3735928559 lies outside the file's blocks (640 bytes)";
  const auto walked =
      walk_free_list(MemoryFile(image), image.size(), longer->header());
  ASSERT_FALSE(walked);
  EXPECT_EQ(walked.error(), outside);
  const auto damaged = longer->check({.check_free_space = true});
  ASSERT_TRUE(damaged) << damaged.error();
  std::vector<std::string> list_problems;
  for (const CheckProblem& problem : damaged->problems) {
    if (problem.kind == CheckProblem::Kind::kFreeList) {
      list_problems.push_back(problem.detail);
    }
  }
  EXPECT_EQ(list_problems, std::vector<std::string>{outside});
}

}  // namespace
}  // namespace quillstone_dat::testing
