// DatDatabase as a ResourceProvider: existence and metadata from the table.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/resource_provider.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {
namespace {

std::vector<TestFile> provider_files() {
  return {{0, bytes_of("zero")},
          {0x06000001, Bytes(700, 0x2A)},
          {0x0A000010, lrs_literals(bytes_of("decompressed")), 1},
          {0xFFFFFFFF, {}}};
}

// Reads beneath the database fail after open wherever a test shows that an
// answer comes from the table alone.

TEST(Provider, EveryDirectoryIdExistsWithItsStoredSize) {
  const auto db = open_then_fail_reads(build_archive(provider_files()));
  ASSERT_TRUE(db) << db.error();
  const ResourceProvider& provider = *db;
  for (const TestFile& file : provider_files()) {
    EXPECT_TRUE(provider.exists(file.id)) << file.id;
    const auto metadata = provider.get_metadata(file.id);
    ASSERT_TRUE(metadata.has_value()) << file.id;
    EXPECT_EQ(
        *metadata,
        (FileMetadata{file.id, static_cast<std::uint32_t>(file.data.size()),
                      false}));
  }
}

TEST(Provider, CompressedFileReportsStoredNotDecodedSize) {
  const auto db = open_in_memory(build_archive(provider_files()));
  ASSERT_TRUE(db) << db.error();
  const ResourceProvider& provider = *db;
  const std::uint32_t id = 0x0A000010;
  const auto bytes = provider.get_file(id);
  ASSERT_TRUE(bytes) << bytes.error();
  EXPECT_EQ(*bytes, bytes_of("decompressed"));
  EXPECT_EQ(provider.get_metadata(id)->size,
            lrs_literals(bytes_of("decompressed")).size());
}

TEST(Provider, AbsentIdIsNeitherThereNorRead) {
  const auto db = open_then_fail_reads(build_archive(provider_files()));
  ASSERT_TRUE(db) << db.error();
  const ResourceProvider& provider = *db;
  for (const std::uint32_t id : {1u, 0x06000000u, 0x06000002u, 0xFFFFFFFEu}) {
    EXPECT_FALSE(provider.exists(id)) << id;
    EXPECT_FALSE(provider.get_metadata(id).has_value()) << id;
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
