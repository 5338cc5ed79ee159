// Archive paths that name something other than a readable archive: a file
// its reader may not open, a FIFO with a writer attached, devices. Each
// open must come back promptly with an error, never block. (A missing
// file, a directory and a FIFO without a writer are the unit tests'.)

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "quillstone_dat/dat_database.h"
#include "support/archive_builder.h"

namespace quillstone_dat {
namespace {

using testing::TempDir;

// Whether opening `path` fails as a file without read permission should.
bool is_permission_denied(const std::filesystem::path& path) {
  const auto db = DatDatabase::open(path);
  return !db && db.error().kind() == DatError::Kind::kPathError &&
         db.error().io_error()->kind() == IoErrorKind::kPermissionDenied &&
         db.error().io_error()->os_error() == EACCES;
}

TEST(ArchivePath, UnreadableFileIsPermissionDenied) {
  const TempDir dir;
  std::filesystem::permissions(dir.path(), std::filesystem::perms(0711));
  const std::filesystem::path path =
      testing::ArchiveBuilder().write(dir / "locked.dat");
  std::filesystem::permissions(path, std::filesystem::perms::none);

  if (::geteuid() != 0) {
    EXPECT_TRUE(is_permission_denied(path));
    return;
  }
  // Permissions do not bind root: try as the unprivileged "nobody" in a
  // child process.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 ||
        ::setuid(kNobody) != 0) {
      ::_exit(3);
    }
    ::_exit(is_permission_denied(path) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "cannot drop privileges";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A FIFO whose writer is present but silent would block a reader forever;
// the open must not read from it at all.
TEST(ArchivePath, FifoWithASilentWriterIsNotSeekable) {
  const TempDir dir;
  const std::filesystem::path fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  const auto db = DatDatabase::open(fifo);
  ::close(writer);
  ASSERT_FALSE(db);
  ASSERT_EQ(db.error().kind(), DatError::Kind::kIo) << db.error();
  EXPECT_EQ(db.error().io_error()->os_error(), ESPIPE);
}

// Devices that seek but have no length: one ends at once, one never does.
// Neither may hang the open or grow its buffers without bound.
TEST(ArchivePath, DevicesEndPromptly) {
  const auto empty = DatDatabase::open("/dev/null");
  ASSERT_FALSE(empty);
  ASSERT_EQ(empty.error().kind(), DatError::Kind::kBinRead) << empty.error();
  EXPECT_EQ(empty.error().io_error()->kind(), IoErrorKind::kUnexpectedEof);

  // Zeros read as an empty directory, or fail: either answers.
  const auto zeros = DatDatabase::open("/dev/zero");
  if (zeros) {
    EXPECT_TRUE(zeros->files().empty());
  }
}

}  // namespace
}  // namespace quillstone_dat
