// DatWriter's output for one small input, byte for byte, against an image
// written out below from the layout DatWriter promises
// (quillstone_dat/dat_writer.h) and the format (docs/format.md): the
// header, every chain in consecutive blocks from the first multiple of the
// block size past the header, files in id order, then the directory's one
// node. Nothing here reads the archive back through the library.

#include <gtest/gtest.h>

#include <string_view>

#include "quillstone_dat/dat_writer.h"
#include "support/archive_builder.h"
#include "support/hex_image.h"

namespace quillstone_dat::testing {
namespace {

// Block size 0x40 (60 payload bytes). Files 0A000001 "plain" at 0x1C0,
// 0A000002 (64 bytes, two blocks) at 0x200 and 0A000003 ("aaaaaaaaaa",
// compressed to the format's worked example) at 0x280; the root leaf from
// 0x2C0, 1716 bytes in 29 blocks, ends the archive at 0xA00.
constexpr std::string_view kWrittenRows = R"(
  # magic        block_size   file_size    dataset
  140: 42 54 00 00  40 00 00 00  00 0A 00 00  01 00 00 00
  # subset       free_head    free_tail    free_count
  150: 02 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00
  # root_offset  new_lru      old_lru      use_lru
  160: C0 02 00 00  00 00 00 00  00 00 00 00  00 00 00 00
  # master_map   engine       game         version_string
  170: 03 00 00 00  04 00 00 00  05 00 00 00  76 31 00 00
  #    version_string, continued                version_minor
  180: 00 00 00 00  00 00 00 00  00 00 00 CD  06 00 00 00

  # 0A000001: one block, next field 0.
  1C0: 00 00 00 00  70 6C 61 69  6E

  # 0A000002: 60 bytes, then the last 4 in the next block.
  200: 40 02 00 00
  204: 53 69 78 74  79 2D 66 6F  75 72 20 62  79 74 65 73
  214: 20 6F 66 20  74 65 78 74  2C 20 73 74  6F 72 65 64
  224: 20 69 6E 20  61 20 63 68  61 69 6E 20  6F 66 20 74
  234: 77 6F 20 36  34 2D 62 79  74 65 20 62
  240: 00 00 00 00  6C 6F 63 6B

  # 0A000003: size 10, then a literal 'a' and distance 1, length 9.
  280: 00 00 00 00  0A 00 00 00  40 61 01 07

  # The root leaf. Each block's next field leads to the one after it; the
  # node's bytes 240 to 299 lie in block 0x3C0 (entry_count at node byte
  # 248, the first two entries from 252), 300 on in block 0x400.
  2C0: 00 03 00 00
  300: 40 03 00 00
  340: 80 03 00 00
  380: C0 03 00 00
  3C0: 00 04 00 00  00 00 00 00  00 00 00 00  03 00 00 00
  3D0: 00 00 00 00  01 00 00 0A  C0 01 00 00  05 00 00 00
  3E0: 01 00 00 60  01 00 00 00
  3E8: 00 00 00 00  02 00 00 0A  00 02 00 00  40 00 00 00
  3F8: 02 00 00 60  02 00 00 00
  400: 40 04 00 00
  404: 01 00 00 00  03 00 00 0A  80 02 00 00  08 00 00 00
  414: 03 00 00 60  03 00 00 00
  440: 80 04 00 00
  480: C0 04 00 00
  4C0: 00 05 00 00
  500: 40 05 00 00
  540: 80 05 00 00
  580: C0 05 00 00
  5C0: 00 06 00 00
  600: 40 06 00 00
  640: 80 06 00 00
  680: C0 06 00 00
  6C0: 00 07 00 00
  700: 40 07 00 00
  740: 80 07 00 00
  780: C0 07 00 00
  7C0: 00 08 00 00
  800: 40 08 00 00
  840: 80 08 00 00
  880: C0 08 00 00
  8C0: 00 09 00 00
  900: 40 09 00 00
  940: 80 09 00 00
  980: C0 09 00 00
  9C0: 00 00 00 00
)";

TEST(WriterGolden, ASmallArchiveIsWrittenByteForByte) {
  DatWriter writer({.block_size = 64,
                    .magic = 0x5442,
                    .dataset = 1,
                    .subset = 2,
                    .master_map_id = 3,
                    .engine_version = 4,
                    .game_version = 5,
                    .version_string = {'v', '1', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                       0, 0, 0, 0xCD},
                    .version_minor = 6});
  // Added out of id order: the writer sorts.
  ASSERT_TRUE(writer.add({.id = 0x0A000003,
                          .contents = bytes_of("aaaaaaaaaa"),
                          .storage = Storage::kCompressed,
                          .timestamp = 0x60000003,
                          .version = 3}));
  ASSERT_TRUE(writer.add({.id = 0x0A000001,
                          .contents = bytes_of("plain"),
                          .timestamp = 0x60000001,
                          .version = 1}));
  ASSERT_TRUE(writer.add(
      {.id = 0x0A000002,
       .contents = bytes_of(
           "Sixty-four bytes of text, stored in a chain of two 64-byte block"),
       .timestamp = 0x60000002,
       .version = 2}));

  const TempDir dir;
  const auto summary = writer.write(dir / "golden.dat");
  ASSERT_TRUE(summary) << summary.error();
  EXPECT_EQ(byte_differences(read_bytes(dir / "golden.dat"),
                             hex_image(0xA00, kWrittenRows)),
            "");
  EXPECT_EQ(summary->header.file_size, 0xA00u);
  EXPECT_EQ(summary->header.root_offset, 0x2C0u);
  EXPECT_EQ(summary->directory_nodes, 1u);
  EXPECT_EQ(summary->stored_bytes, 5u + 64u + 8u);
}

}  // namespace
}  // namespace quillstone_dat::testing
