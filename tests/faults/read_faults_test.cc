// A read error injected at each read of an open, and then at each read of
// every fetch, in turn, over an archive on disk read through pread. Each
// must end that one call with the error, and the same file and database
// must serve every later call in full. Also with every read interrupted
// once and cut short, so that the retry and resume paths meet the errors.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "support/archive_builder.h"
#include "support/random_archive.h"
#include "utils/posix_file.h"

namespace quillstone_dat::testing {
namespace {

constexpr std::size_t kNoFault = SIZE_MAX;

// A root over two leaves; files from empty to seven blocks, every third
// one compressed.
constexpr RandomFilesRecipe kDiskFiles = {.seed = 7,
                                          .count = 90,
                                          .first_id = 0x05000000,
                                          .max_size = 400,
                                          .empty_every = 4};
constexpr std::uint32_t kBlockSize = 64;

// How the reads beneath the database behave apart from the injected error.
struct ReadShape {
  const char* name;
  bool interrupt_each_read;  // Every read is refused with EINTR once.
  std::size_t max_chunk;     // Reads return at most this many bytes.
};

const ReadShape kShapes[] = {
    {"whole reads", false, SIZE_MAX},
    {"interrupted short reads", true, 13},
};

// A file on disk, read through pread, whose call number `failing` fails
// with EIO.
struct FailingDiskFile {
  FailingDiskFile(const std::filesystem::path& path, const ReadShape& shape) {
    auto posix = PosixFile::open(path);
    EXPECT_TRUE(posix);
    file = std::make_shared<FaultyFile>(
        std::make_shared<PosixFile>(std::move(*posix)),
        [this, interrupt = shape.interrupt_each_read](
            std::size_t call, std::uint64_t) -> std::optional<IoError> {
          if (call == failing) return IoError::from_errno(EIO);
          // Counted from the start of the operation, even calls are
          // interrupted and odd ones are their retries.
          if (interrupt && (call - first) % 2 == 0) {
            return IoError::from_errno(EINTR);
          }
          return std::nullopt;
        },
        shape.max_chunk);
  }

  // An operation starts now, without a fault or with its read `n` failing.
  void start() {
    first = file->calls();
    failing = kNoFault;
  }
  void fail_in(std::size_t n) {
    start();
    failing = first + n;
  }

  std::atomic<std::size_t> first{0};
  std::atomic<std::size_t> failing{kNoFault};
  std::shared_ptr<FaultyFile> file;
};

// The error of a failed open: Io from the directory walk or from the
// length, BinRead while the header is read; either way the EIO itself.
void expect_eio(const DatError& error) {
  if (error.kind() == DatError::Kind::kBinRead) {
    EXPECT_EQ(error.bin_read_error()->cause(), IoError::from_errno(EIO));
    return;
  }
  ASSERT_EQ(error.kind(), DatError::Kind::kIo) << error;
  EXPECT_EQ(*error.io_error(), IoError::from_errno(EIO)) << error;
}

void expect_all_served(const DatDatabase& db, const RandomArchive& archive) {
  ASSERT_EQ(db.files().size(), archive.files.size());
  for (std::size_t i = 0; i < archive.files.size(); ++i) {
    const auto bytes = db.get_file(archive.files[i].id);
    ASSERT_TRUE(bytes) << bytes.error();
    EXPECT_TRUE(*bytes == archive.contents[i]) << "file " << i;
  }
}

TEST(ReadFaults, EachReadOfAnOpenFailsThatOpenAlone) {
  const RandomArchive archive(kDiskFiles, kBlockSize);
  for (const ReadShape& shape : kShapes) {
    SCOPED_TRACE(shape.name);
    FailingDiskFile disk(archive.path, shape);
    const std::size_t reads = [&] {
      disk.start();
      const auto db = DatDatabase::open(disk.file);
      EXPECT_TRUE(db);
      return disk.file->calls();
    }();
    ASSERT_GT(reads, 4u);  // The header and three nodes at least.

    for (std::size_t n = 0; n < reads; ++n) {
      SCOPED_TRACE("read " + std::to_string(n) + " of the open fails");
      disk.fail_in(n);
      const auto failed = DatDatabase::open(disk.file);
      ASSERT_FALSE(failed) << "the failure went unnoticed";
      expect_eio(failed.error());
    }
    disk.start();
    const auto db = DatDatabase::open(disk.file);
    ASSERT_TRUE(db) << db.error();
    expect_all_served(*db, archive);
  }
}

TEST(ReadFaults, EachReadOfAFetchFailsThatFetchAlone) {
  const RandomArchive archive(kDiskFiles, kBlockSize);
  for (const ReadShape& shape : kShapes) {
    SCOPED_TRACE(shape.name);
    FailingDiskFile disk(archive.path, shape);
    const auto db = DatDatabase::open(disk.file);
    ASSERT_TRUE(db) << db.error();

    std::size_t faults = 0;
    for (std::size_t i = 0; i < archive.files.size(); ++i) {
      const std::uint32_t id = archive.files[i].id;
      disk.start();
      ASSERT_TRUE(db->get_file(id));
      const std::size_t reads = disk.file->calls() - disk.first;
      for (std::size_t n = 0; n < reads; ++n) {
        SCOPED_TRACE("file " + std::to_string(i) + ", read " +
                     std::to_string(n) + " fails");
        disk.fail_in(n);
        const auto failed = db->get_file(id);
        ASSERT_FALSE(failed) << "the failure went unnoticed";
        ASSERT_EQ(failed.error().kind(), DatError::Kind::kIo) << failed.error();
        EXPECT_EQ(*failed.error().io_error(), IoError::from_errno(EIO));
        disk.start();
        const auto again = db->get_file(id);
        ASSERT_TRUE(again) << again.error();
        EXPECT_TRUE(*again == archive.contents[i]);
        ++faults;
      }
    }
    EXPECT_GT(faults, archive.files.size());
    expect_all_served(*db, archive);
  }
}

// The length is taken once, after the header; a failure there is the
// open's error too.
class NoLengthFile final : public FileExtPolyfill {
 public:
  explicit NoLengthFile(std::shared_ptr<const FileExtPolyfill> inner)
      : inner_(std::move(inner)) {}
  std::expected<std::size_t, IoError> read_at(
      std::span<std::uint8_t> buffer, std::uint64_t offset) const override {
    return inner_->read_at(buffer, offset);
  }
  std::expected<std::uint64_t, IoError> length() const override {
    return std::unexpected(IoError::from_errno(EIO));
  }

 private:
  std::shared_ptr<const FileExtPolyfill> inner_;
};

TEST(ReadFaults, FailingLengthFailsTheOpen) {
  const RandomArchive archive(kDiskFiles, kBlockSize);
  auto posix = PosixFile::open(archive.path);
  ASSERT_TRUE(posix);
  const auto db = DatDatabase::open(std::make_shared<NoLengthFile>(
      std::make_shared<PosixFile>(std::move(*posix))));
  ASSERT_FALSE(db);
  expect_eio(db.error());
}

}  // namespace
}  // namespace quillstone_dat::testing
