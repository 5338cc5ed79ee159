// DatDatabase as a ResourceProvider: existence and metadata from the table.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
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

class Provider : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = std::make_shared<FaultyFile>(
        std::make_shared<MemoryFile>(build_archive(provider_files())), nullptr);
    auto opened = DatDatabase::open(file_);
    ASSERT_TRUE(opened) << opened.error();
    db_ = std::make_unique<DatDatabase>(std::move(*opened));
  }

  std::shared_ptr<FaultyFile> file_;
  std::unique_ptr<DatDatabase> db_;
};

TEST_F(Provider, EveryDirectoryIdExistsWithItsStoredSize) {
  const ResourceProvider& provider = *db_;
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

TEST_F(Provider, CompressedFileReportsStoredNotDecodedSize) {
  const ResourceProvider& provider = *db_;
  const std::uint32_t id = 0x0A000010;
  const auto bytes = provider.get_file(id);
  ASSERT_TRUE(bytes) << bytes.error();
  EXPECT_EQ(*bytes, bytes_of("decompressed"));
  EXPECT_EQ(provider.get_metadata(id)->size,
            lrs_literals(bytes_of("decompressed")).size());
}

TEST_F(Provider, AbsentIdIsNeitherThereNorRead) {
  const ResourceProvider& provider = *db_;
  const std::size_t reads = file_->calls();
  for (const std::uint32_t id : {1u, 0x06000000u, 0x06000002u, 0xFFFFFFFEu}) {
    EXPECT_FALSE(provider.exists(id)) << id;
    EXPECT_FALSE(provider.get_metadata(id).has_value()) << id;
  }
  EXPECT_EQ(file_->calls(), reads);
}

}  // namespace
}  // namespace quillstone_dat::testing
