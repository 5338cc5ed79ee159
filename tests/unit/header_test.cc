// Opening an archive: the header at offset 320 and the ways opening fails.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "quillstone_dat/dat_database.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {
namespace {

// A header whose every field holds a different value, so that a field read
// into the wrong place shows.
ArchiveBuilder distinct_header() {
  ArchiveBuilder builder;
  DatHeader& h = builder.header();
  h.magic = 0xDEADBEEF;
  h.block_size = 0;  // Not checked: no chain is read with root_offset 0.
  h.file_size = 1;
  h.dataset = 0x11111111;
  h.subset = 0x22222222;
  h.free_head = 0x33333333;
  h.free_tail = 0x44444444;
  h.free_count = 0x55555555;
  h.root_offset = 0;
  h.new_lru = 0x66666666;
  h.old_lru = 0x77777777;
  h.use_lru = 0x88888888;
  h.master_map_id = 0x99999999;
  h.engine_version = 0xFFFFFFFF;
  h.game_version = 0x0A0B0C0D;
  h.version_string = {0x41, 0x00, 0x42, 0x00, 0x00, 0xFF, 0x80, 0x01,
                      0x00, 0x00, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x43};
  h.version_minor = 0xCAFEF00D;
  return builder;
}

void expect_header_failure(const DatResult<DatDatabase>& db,
                           const std::string& field,
                           const std::string& cause_message) {
  ASSERT_FALSE(db) << "opened";
  ASSERT_EQ(db.error().kind(), DatError::Kind::kBinRead) << db.error();
  const BinReadError& bin = *db.error().bin_read_error();
  EXPECT_EQ(bin.cause().message(), cause_message);
  ASSERT_EQ(bin.frames().size(), 1u) << db.error();
  EXPECT_EQ(bin.frames()[0].message,
            "While parsing field '" + field + "' in DatHeader");
}

// The field a file of `length` bytes does not hold in full, and the message
// the read of it ends with.
std::pair<std::string, std::string> first_missing_field(std::size_t length) {
  if (length < 380) {
    const std::size_t index = length < 320 ? 0 : (length - 320) / 4;
    return {kHeaderFieldNames[index], "failed to fill whole buffer"};
  }
  if (length < 396) return {"version_string", "not enough bytes in reader"};
  return {"version_minor", "failed to fill whole buffer"};
}

TEST(Header, EveryShortLengthNamesTheFirstMissingField) {
  const Bytes image = distinct_header().bytes();
  for (std::size_t length = 0; length < 400; ++length) {
    SCOPED_TRACE("file of " + std::to_string(length) + " bytes");
    const auto [field, message] = first_missing_field(length);
    const Bytes prefix(image.begin(),
                       image.begin() + static_cast<std::ptrdiff_t>(length));
    expect_header_failure(open_in_memory(prefix), field, message);
  }
}

TEST(Header, ShortFilesOnDiskFailTheSameWay) {
  const TempDir dir;
  const Bytes image = distinct_header().bytes();
  for (const std::size_t length :
       {0u, 100u, 319u, 323u, 331u, 380u, 395u, 399u}) {
    SCOPED_TRACE("file of " + std::to_string(length) + " bytes");
    const std::filesystem::path path =
        write_bytes(dir / ("short" + std::to_string(length)),
                    std::span(image).first(length));
    const auto [field, message] = first_missing_field(length);
    expect_header_failure(DatDatabase::open(path), field, message);
  }
}

TEST(Header, AnyEightyBytesAreAcceptedAndKeptWhole) {
  ArchiveBuilder builder = distinct_header();
  const auto db = open_in_memory(builder.bytes());
  ASSERT_TRUE(db) << db.error();
  EXPECT_EQ(db->header(), builder.header());
  EXPECT_EQ(db->header().version_string[1], 0x00);
  EXPECT_EQ(db->header().version_string[15], 0x43);
  EXPECT_TRUE(db->files().empty());
}

TEST(Header, MissingFileIsPathErrorWithThePathAsGiven) {
  const TempDir dir;
  for (const std::filesystem::path& path :
       {dir / "absent.dat",
        std::filesystem::path("no/such/dir/../portal.dat")}) {
    const auto db = DatDatabase::open(path);
    ASSERT_FALSE(db);
    ASSERT_EQ(db.error().kind(), DatError::Kind::kPathError) << db.error();
    EXPECT_EQ(db.error().path()->native(), path.native());
    EXPECT_EQ(db.error().io_error()->kind(), IoErrorKind::kNotFound);
    EXPECT_EQ(db.error().io_error()->os_error(), ENOENT);
    EXPECT_EQ(db.error().debug().rfind(
                  "PathError { path: \"" + path.native() + "\", source: ", 0),
              0u)
        << db.error();
  }
}

TEST(Header, DirectoryFailsAtTheFirstField) {
  const TempDir dir;
  const auto db = DatDatabase::open(dir.path());
  ASSERT_FALSE(db);
  ASSERT_EQ(db.error().kind(), DatError::Kind::kBinRead) << db.error();
  EXPECT_EQ(db.error().io_error()->kind(), IoErrorKind::kIsADirectory);
  ASSERT_EQ(db.error().bin_read_error()->frames().size(), 1u);
  EXPECT_EQ(db.error().bin_read_error()->frames()[0].message,
            "While parsing field 'magic' in DatHeader");
}

TEST(Header, UnseekableFileIsIoNotAHang) {
  const TempDir dir;
  const std::filesystem::path fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto db = DatDatabase::open(fifo);
  ASSERT_FALSE(db);
  ASSERT_EQ(db.error().kind(), DatError::Kind::kIo) << db.error();
  EXPECT_EQ(db.error().io_error()->os_error(), ESPIPE);
}

TEST(Header, ReadErrorIsTheCauseInTheFrameOfTheFieldItStruck) {
  struct Case {
    std::size_t max_chunk;
    std::uint64_t failing_offset;
    const char* field;
  };
  const Case cases[] = {
      {80, 320, "magic"},         {4, 332, "dataset"},
      {3, 329, "file_size"},  // Bytes 320..328 arrived; file_size is 328..331.
      {4, 380, "version_string"}, {8, 392, "version_string"},
      {4, 396, "version_minor"},
  };
  const auto image = std::make_shared<MemoryFile>(distinct_header().bytes());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    const auto file = std::make_shared<FaultyFile>(
        image,
        [&](std::size_t, std::uint64_t offset) -> std::optional<IoError> {
          if (offset == c.failing_offset) return IoError::from_errno(EIO);
          return std::nullopt;
        },
        c.max_chunk);
    const auto db = DatDatabase::open(file);
    ASSERT_FALSE(db);
    ASSERT_EQ(db.error().kind(), DatError::Kind::kBinRead) << db.error();
    const BinReadError& bin = *db.error().bin_read_error();
    EXPECT_EQ(bin.cause(), IoError::from_errno(EIO));
    ASSERT_EQ(bin.frames().size(), 1u);
    EXPECT_EQ(bin.frames()[0].message, std::string("While parsing field '") +
                                           c.field + "' in DatHeader");
  }
}

std::size_t open_descriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

TEST(Header, FailedOpensLeaveNoFileOpen) {
  const TempDir dir;
  ArchiveBuilder short_header;
  const std::filesystem::path truncated = short_header.write(dir / "short.dat");
  std::filesystem::resize_file(truncated, 350);
  ArchiveBuilder bad_root;
  bad_root.header().root_offset = 1 << 20;  // Past the end: the walk fails.
  const std::filesystem::path past_end = bad_root.write(dir / "root.dat");

  const std::size_t before = open_descriptors();
  for (int i = 0; i < 20; ++i) {
    EXPECT_FALSE(DatDatabase::open(truncated));
    EXPECT_FALSE(DatDatabase::open(past_end));
    EXPECT_FALSE(DatDatabase::open(dir.path()));
  }
  EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace quillstone_dat::testing
