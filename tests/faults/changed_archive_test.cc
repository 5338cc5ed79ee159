// The archive file changed on disk under an open database. A database
// reads the file on every fetch and caches nothing, so it must answer each
// fetch from what the file holds then: a file cut short fails the fetches
// that reach past its new end with Io and still serves the rest; a file
// replaced by rename leaves the open one, and so the old archive, in place.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "support/archive_builder.h"
#include "support/random_archive.h"
#include "utils/posix_file.h"

namespace quillstone_dat::testing {
namespace {

// Eighty files from empty to some 25 blocks of 64 bytes, every fourth one
// compressed.
RandomFiles sample_files(std::uint32_t seed) {
  return random_files({.seed = seed,
                       .count = 80,
                       .first_id = 0x07000000,
                       .id_step = 5,
                       .max_size = 1500,
                       .empty_every = 5,
                       .compressed_every = 4});
}

// The end of the furthest byte each file's fetch reads, seen by fetching
// every file once through a file that returns one byte per read.
std::vector<std::uint64_t> read_extents(const std::filesystem::path& path,
                                        const std::vector<TestFile>& files) {
  auto posix = PosixFile::open(path);
  EXPECT_TRUE(posix);
  std::uint64_t furthest = 0;
  const auto recording = std::make_shared<FaultyFile>(
      std::make_shared<PosixFile>(std::move(*posix)),
      [&](std::size_t, std::uint64_t offset) -> std::optional<IoError> {
        furthest = std::max(furthest, offset + 1);
        return std::nullopt;
      },
      /*max_chunk=*/1);
  const auto db = DatDatabase::open(recording);
  EXPECT_TRUE(db);
  std::vector<std::uint64_t> extents;
  for (const TestFile& file : files) {
    furthest = 0;
    EXPECT_TRUE(db->get_file(file.id));
    extents.push_back(furthest);
  }
  return extents;
}

TEST(ChangedArchive, CutShortAfterOpenServesWhatIsLeft) {
  const TempDir dir;
  const auto [files, contents] = sample_files(11);
  const Bytes image = build_archive(files, 64);
  const std::filesystem::path path = dir / "cut.dat";
  const std::vector<std::uint64_t> extents =
      read_extents(write_bytes(path, image), files);

  for (const std::uint64_t cut :
       {std::uint64_t{0}, std::uint64_t{400}, image.size() / 3,
        image.size() * 2 / 3, image.size() - 1}) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    write_bytes(path, image);
    const auto db = DatDatabase::open(path);
    ASSERT_TRUE(db) << db.error();
    std::filesystem::resize_file(path, cut);

    std::size_t served = 0;
    std::size_t failed = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
      SCOPED_TRACE("file " + std::to_string(i));
      const auto bytes = db->get_file(files[i].id);
      if (files[i].data.empty() || extents[i] <= cut) {
        ASSERT_TRUE(bytes) << bytes.error();
        EXPECT_TRUE(*bytes == contents[i]);
        ++served;
      } else {
        ASSERT_FALSE(bytes) << "read past the end of the file";
        EXPECT_EQ(bytes.error().kind(), DatError::Kind::kIo) << bytes.error();
        ++failed;
      }
      // Metadata comes from the table read at open and does not change.
      EXPECT_TRUE(db->exists(files[i].id));
    }
    if (cut < image.size() / 2) {
      EXPECT_GT(failed, 0u);
    } else {
      EXPECT_GT(served, files.size() / 2);
    }
  }
}

TEST(ChangedArchive, CutShortInMemoryFailsTheSameWay) {
  const std::vector<TestFile> files = sample_files(12).files;
  const auto memory = std::make_shared<MemoryFile>(build_archive(files, 64));
  const auto db = DatDatabase::open(memory);
  ASSERT_TRUE(db) << db.error();
  memory->truncate(kHeaderEndAt);
  for (const TestFile& file : files) {
    const auto bytes = db->get_file(file.id);
    if (file.data.empty()) {
      EXPECT_TRUE(bytes && bytes->empty());
    } else {
      ASSERT_FALSE(bytes);
      EXPECT_EQ(bytes.error().kind(), DatError::Kind::kIo) << bytes.error();
    }
  }
}

TEST(ChangedArchive, ReplacedByRenameKeepsServingTheOpenFile) {
  const TempDir dir;
  const RandomFiles old = sample_files(21);
  const std::filesystem::path path =
      write_bytes(dir / "live.dat", build_archive(old.files, 64));
  const auto db = DatDatabase::open(path);
  ASSERT_TRUE(db) << db.error();

  const std::filesystem::path next =
      write_bytes(dir / "next.dat", build_archive(sample_files(22).files, 256));
  std::filesystem::rename(next, path);
  for (std::size_t i = 0; i < old.files.size(); ++i) {
    const auto bytes = db->get_file(old.files[i].id);
    ASSERT_TRUE(bytes) << bytes.error();
    EXPECT_TRUE(*bytes == old.contents[i]);
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
