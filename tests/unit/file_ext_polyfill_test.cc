// Positioned exact reads, over fault-injecting files and over real files.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <vector>

#include "support/archive_builder.h"
#include "utils/posix_file.h"

namespace quillstone_dat {
namespace {

using testing::Bytes;
using testing::FaultyFile;
using testing::MemoryFile;
using testing::TempDir;

using testing::numbered;

// Byte i of the file is i (mod 256).
Bytes counting(std::size_t size) { return numbered(size, 0, 1); }

std::shared_ptr<MemoryFile> memory(std::size_t size) {
  return std::make_shared<MemoryFile>(counting(size));
}

TEST(ReadExactAt, EmptyBufferSucceedsWithoutAnyRead) {
  const FaultyFile file(memory(0), [](std::size_t, std::uint64_t) {
    return std::optional<IoError>(IoError::from_errno(EIO));
  });
  EXPECT_TRUE(file.read_exact_at_compat({}, std::uint64_t{1} << 40));
  EXPECT_EQ(file.calls(), 0u);
}

TEST(ReadExactAt, ShortReadsAreContinuedWhereTheyStopped) {
  std::vector<std::uint64_t> offsets;
  const FaultyFile file(
      memory(100),
      [&](std::size_t, std::uint64_t offset) {
        offsets.push_back(offset);
        return std::optional<IoError>();
      },
      /*max_chunk=*/3);
  Bytes buffer(8);
  ASSERT_TRUE(file.read_exact_at_compat(buffer, 50));
  EXPECT_EQ(buffer, (Bytes{50, 51, 52, 53, 54, 55, 56, 57}));
  EXPECT_EQ(offsets, (std::vector<std::uint64_t>{50, 53, 56}));
}

TEST(ReadExactAt, InterruptedReadsAreRetried) {
  const FaultyFile file(memory(100), [](std::size_t call, std::uint64_t) {
    return call < 3 ? std::optional<IoError>(IoError::from_errno(EINTR))
                    : std::nullopt;
  });
  Bytes buffer(10);
  const auto read = file.read_exact_at_compat(buffer, 20);
  ASSERT_TRUE(read) << read.error().debug();
  EXPECT_EQ(buffer[0], 20);
  EXPECT_EQ(file.calls(), 4u);
}

TEST(ReadExactAt, OtherErrorsEndTheReadAsTheyCame) {
  const FaultyFile file(
      memory(100),
      [](std::size_t call, std::uint64_t) {
        return call == 1 ? std::optional<IoError>(IoError::from_errno(EIO))
                         : std::nullopt;
      },
      /*max_chunk=*/2);
  Bytes buffer(10);
  const auto read = file.read_exact_at_compat(buffer, 0);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error(), IoError::from_errno(EIO));
  EXPECT_EQ(file.calls(), 2u);
}

TEST(ReadExactAt, EndOfDataIsFailedToFillWholeBuffer) {
  const MemoryFile file(counting(10));
  Bytes buffer(8);
  for (const std::uint64_t offset : {5u, 10u, 1000u}) {
    const auto read = file.read_exact_at_compat(buffer, offset);
    ASSERT_FALSE(read) << offset;
    EXPECT_EQ(read.error().kind(), IoErrorKind::kUnexpectedEof);
    EXPECT_EQ(read.error().message(), "failed to fill whole buffer");
  }
}

TEST(PosixFile, ReadsAtOffsetsWithoutMovingTheCursor) {
  const TempDir dir;
  const auto path = testing::write_bytes(dir / "data", counting(4096));
  auto file = PosixFile::open(path);
  ASSERT_TRUE(file) << file.error().debug();
  ASSERT_TRUE(file->seek(17));

  Bytes buffer(100);
  ASSERT_TRUE(file->read_exact_at_compat(buffer, 3996));  // The last bytes.
  EXPECT_EQ(buffer[0], static_cast<std::uint8_t>(3996 % 256));
  EXPECT_EQ(buffer[99], 255);
  EXPECT_EQ(::lseek(file->descriptor(), 0, SEEK_CUR), 17);
  EXPECT_EQ(*file->length(), 4096u);

  const auto past_end = file->read_exact_at_compat(buffer, 3997);
  ASSERT_FALSE(past_end);
  EXPECT_EQ(past_end.error(), IoError::fill_whole_buffer());
}

TEST(PosixFile, MissingFileIsNotFound) {
  const TempDir dir;
  const auto file = PosixFile::open(dir / "absent");
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().kind(), IoErrorKind::kNotFound);
  EXPECT_EQ(file.error().os_error(), ENOENT);
}

TEST(PosixFile, ClosesItsDescriptorOnceWhenDestroyed) {
  const TempDir dir;
  const auto path = testing::write_bytes(dir / "data", counting(10));
  int descriptor = -1;
  {
    auto opened = PosixFile::open(path);
    ASSERT_TRUE(opened);
    PosixFile moved = std::move(*opened);
    descriptor = moved.descriptor();
    EXPECT_EQ(opened->descriptor(), -1);
    EXPECT_GE(::fcntl(descriptor, F_GETFD), 0);
  }
  EXPECT_EQ(::fcntl(descriptor, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace quillstone_dat
