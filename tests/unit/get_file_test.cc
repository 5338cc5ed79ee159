// Fetching a file by id: lookup, chain read and decompression.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {
namespace {

// The worked example of the format: "abcabc" as three literals and one
// back-reference, ten bytes stored.
const Bytes kAbcabc = {0x06, 0x00, 0x00, 0x00, 0x10,
                       0x61, 0x62, 0x63, 0x03, 0x01};

// An archive whose root leaf holds `entries`.
Bytes with_entries(ArchiveBuilder& builder,
                   const std::vector<DatFileEntry>& entries) {
  return builder.put_root(Node{{}, entries, std::nullopt}).bytes();
}

TEST(GetFile, EveryFileOfAnArchiveOnDiskComesBackWhole) {
  std::mt19937 random(20240229);
  std::vector<TestFile> files;
  std::vector<Bytes> originals;
  const std::size_t sizes[] = {0, 1, 251, 252, 253, 600, 5000, 70000};
  for (std::uint32_t i = 0; i < 150; ++i) {
    Bytes data(sizes[i % std::size(sizes)]);
    for (std::uint8_t& b : data) b = static_cast<std::uint8_t>(random());
    const bool compressed = i % 3 == 0;
    const std::uint32_t id = i == 0   ? 0
                             : i == 1 ? 0xFFFFFFFF
                                      : 0x06000000 + i * 17;
    files.push_back({id, compressed ? lrs_literals(data) : data,
                     compressed ? (i % 2 == 0 ? 1u : 3u) : 0u});
    originals.push_back(std::move(data));
  }
  const TempDir dir;
  const auto db =
      DatDatabase::open(write_bytes(dir / "archive.dat", build_archive(files)));
  ASSERT_TRUE(db) << db.error();
  ASSERT_EQ(db->files().size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto bytes = db->get_file(files[i].id);
    ASSERT_TRUE(bytes) << bytes.error();
    EXPECT_TRUE(*bytes == originals[i]) << "id " << files[i].id;
  }
}

// In the next two tests reads fail after open: a read would show as Io.

TEST(GetFile, UnknownIdIsNotFoundWithoutReading) {
  ArchiveBuilder builder;
  const auto db = open_then_fail_reads(
      with_entries(builder, {builder.add_file(1, bytes_of("x"))}));
  ASSERT_TRUE(db) << db.error();

  for (const std::uint32_t id : {0u, 2u, 255u, 0xFFFFFFFFu}) {
    const auto bytes = db->get_file(id);
    ASSERT_FALSE(bytes);
    EXPECT_EQ(bytes.error(), DatError::not_found(id));
  }
  EXPECT_EQ(db->get_file(255).error().debug(), "NotFound(255)");
}

TEST(GetFile, EmptyEntryIsEmptyWithoutReading) {
  ArchiveBuilder builder;
  const auto db = open_then_fail_reads(
      with_entries(builder, {DatFileEntry{0, 1, 0xFFFFFFFF, 0, 0, 0},
                             DatFileEntry{1, 2, 0xFFFFFFFF, 0, 0, 0}}));
  ASSERT_TRUE(db) << db.error();

  for (const std::uint32_t id : {1u, 2u}) {
    const auto bytes = db->get_file(id);
    ASSERT_TRUE(bytes) << bytes.error();
    EXPECT_TRUE(bytes->empty());
  }
}

TEST(GetFile, CompressedEntriesAreDecodedToTheirDeclaredLength) {
  ArchiveBuilder builder;
  Bytes declares_three = lrs_literals(bytes_of("abcdef"));
  declares_three[0] = 3;
  const Bytes image =
      with_entries(builder, {builder.add_file(1, kAbcabc, 1),
                             builder.add_file(3, kAbcabc, 3),
                             builder.add_file(4, declares_three, 1),
                             builder.add_file(5, bytes_of("ab"), 1)});
  const auto db = open_in_memory(image);
  ASSERT_TRUE(db) << db.error();

  EXPECT_EQ(*db->get_file(1), bytes_of("abcabc"));
  EXPECT_EQ(*db->get_file(3), bytes_of("abcabc"));
  EXPECT_EQ(*db->get_file(4), bytes_of("abc"));
  // Too short to hold a size prefix: returned as stored.
  EXPECT_EQ(*db->get_file(5), bytes_of("ab"));
}

TEST(GetFile, UncompressedEntriesAreExactlyTheirSize) {
  ArchiveBuilder builder;
  DatFileEntry shorter = builder.add_file(1, bytes_of("0123456789"));
  shorter.size = 4;
  const Bytes image =
      with_entries(builder, {shorter, builder.add_file(0, kAbcabc, 0),
                             builder.add_file(2, kAbcabc, 2)});
  const auto db = open_in_memory(image);
  ASSERT_TRUE(db) << db.error();

  EXPECT_EQ(*db->get_file(1), bytes_of("0123"));
  EXPECT_EQ(*db->get_file(0), kAbcabc);  // Bit 1 alone means nothing.
  EXPECT_EQ(*db->get_file(2), kAbcabc);
}

TEST(GetFile, OnlyBitZeroMarksCompression) {
  for (const std::uint32_t flags : {0u, 2u, 0xFFFFFFFEu}) {
    EXPECT_FALSE(DatFileEntry{.bit_flags = flags}.is_compressed()) << flags;
  }
  for (const std::uint32_t flags : {1u, 3u, 0xFFFFFFFFu}) {
    EXPECT_TRUE(DatFileEntry{.bit_flags = flags}.is_compressed()) << flags;
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
