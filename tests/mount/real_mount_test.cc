// Real mounts of `quillstone-dat mount` through the kernel: the tree is
// extract's, byte for byte and date for date; eight threads read at once;
// hostile archives answer EIO and the mount stays up; unmounting while a
// file is open; the background mount, umount and signals. Each test skips,
// saying why, where /dev/fuse or fusermount3 is missing, and every mount
// is undone when its test ends (ForegroundMount, UnmountGuard).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "mount/mount_support.h"
#include "quillstone_dat/dat_database.h"
#include "support/archive_builder.h"
#include "support/random_archive.h"

namespace quillstone_dat::testing {
namespace {

namespace fs = std::filesystem;

#define SKIP_WITHOUT_FUSE()                                   \
  do {                                                        \
    if (auto why = why_no_fuse()) GTEST_SKIP() << *why;       \
  } while (false)

struct UnmountGuard {
  fs::path path;
  ~UnmountGuard() { force_unmount(path); }
};

Bytes file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Every name, size, modification time (manifest.json's aside, which
// extract dates when it writes it) and byte of the two folders agree.
void expect_same_tree(const fs::path& mounted, const fs::path& extracted) {
  std::set<std::string> a, b;
  for (const auto& entry : fs::directory_iterator(mounted)) a.insert(entry.path().filename());
  for (const auto& entry : fs::directory_iterator(extracted)) b.insert(entry.path().filename());
  ASSERT_EQ(a, b);
  for (const std::string& name : a) {
    struct stat x {}, y {};
    ASSERT_EQ(::stat((mounted / name).c_str(), &x), 0) << name;
    ASSERT_EQ(::stat((extracted / name).c_str(), &y), 0) << name;
    EXPECT_EQ(x.st_size, y.st_size) << name;
    EXPECT_TRUE(S_ISREG(x.st_mode)) << name;
    if (name != "manifest.json") {
      EXPECT_EQ(x.st_mtime, y.st_mtime) << name;
    }
    EXPECT_EQ(file_bytes(mounted / name), file_bytes(extracted / name)) << name;
  }
}

TEST(RealMountTest, TheTreeIsWhatExtractWrites) {
  SKIP_WITHOUT_FUSE();
  TempDir dir;
  const fs::path sample = dir / "sample.dat";
  ASSERT_EQ(run_tool({"sample", sample.string(), "--files", "400"}).exit_code, 0);
  RandomArchive random({.seed = 4, .count = 200, .max_size = 30000,
                        .empty_every = 11, .compressed_every = 3},
                       512);
  for (const fs::path& archive : {sample, random.path}) {
    for (bool raw : {false, true}) {
      SCOPED_TRACE(archive.string() + (raw ? " --raw" : ""));
      const std::string tag = archive.stem().string() + (raw ? "_raw" : "");
      const fs::path mountpoint = dir / ("m_" + tag);
      const fs::path out = dir / ("x_" + tag);
      fs::create_directories(mountpoint);
      std::vector<std::string> extract = {"extract", archive.string(), out.string(), "-q"};
      std::vector<std::string> extra;
      if (raw) {
        extract.push_back("--raw");
        extra.push_back("--raw");
      }
      ASSERT_EQ(run_tool(extract).exit_code, 0);
      ForegroundMount mount(archive, mountpoint, extra);
      ASSERT_TRUE(mount.ready());
      expect_same_tree(mountpoint, out);
      struct statvfs st {};
      ASSERT_EQ(::statvfs(mountpoint.c_str(), &st), 0);
      EXPECT_NE(st.f_flag & ST_RDONLY, 0u);
      const ProcessResult result = mount.finish();
      EXPECT_EQ(result.exit_code, 0) << result.err;
      EXPECT_FALSE(mounted_at(fs::absolute(mountpoint)));
    }
  }
}

TEST(RealMountTest, EightThreadsReadRandomRanges) {
  SKIP_WITHOUT_FUSE();
  TempDir dir;
  RandomArchive random({.seed = 8, .count = 120, .max_size = 200000,
                        .compressed_every = 4},
                       1024);
  auto db = DatDatabase::open(random.path);
  ASSERT_TRUE(db.has_value());
  std::map<std::uint32_t, Bytes> expected;
  for (const DatFileEntry& entry : db->files()) expected[entry.id] = *db->get_file(entry.id);
  const fs::path mountpoint = dir / "m";
  fs::create_directories(mountpoint);
  ForegroundMount mount(random.path, mountpoint);
  ASSERT_TRUE(mount.ready());
  std::vector<std::uint32_t> ids;
  for (const auto& [id, bytes] : expected) ids.push_back(id);
  std::atomic<int> mismatches{0}, reads{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int i = 0; i < 150; ++i) {
        const std::uint32_t id = ids[rng() % ids.size()];
        const Bytes& want = expected[id];
        char name[16];
        std::snprintf(name, sizeof name, "%08X.bin", id);
        const int fd = ::open((mountpoint / name).c_str(), O_RDONLY);
        if (fd < 0) { ++mismatches; continue; }
        for (int j = 0; j < 4; ++j) {
          const std::size_t at = rng() % (want.size() + 10);
          Bytes buffer(1 + rng() % 70000);
          const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(at));
          const std::size_t expect_n = at >= want.size() ? 0 : std::min(buffer.size(), want.size() - at);
          ++reads;
          if (n != static_cast<ssize_t>(expect_n) ||
              !std::equal(buffer.begin(), buffer.begin() + n, want.begin() + static_cast<std::ptrdiff_t>(std::min(at, want.size())))) {
            ++mismatches;
          }
        }
        ::close(fd);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(reads.load(), 8 * 150 * 4);
}

// Every archive of the fuzz corpus: one that does not open is refused
// with one line and nothing mounted; one that opens is mounted and every
// file read: get_file's bytes or EIO, and the mount stays up.
TEST(RealMountTest, HostileArchivesAnswerEioAndStayUp) {
  SKIP_WITHOUT_FUSE();
  const fs::path corpus = fs::path(QUILLSTONE_DAT_SOURCE_DIR) / "fuzz/corpus/archive";
  ASSERT_TRUE(fs::is_directory(corpus));
  TempDir dir;
  const fs::path mountpoint = dir / "m";
  fs::create_directories(mountpoint);
  int mounted = 0, refused = 0, eio = 0;
  for (const auto& input : fs::directory_iterator(corpus)) {
    SCOPED_TRACE(input.path().string());
    auto db = DatDatabase::open(input.path());
    if (!db) {
      const ProcessResult result = run_tool({"mount", input.path().string(), mountpoint.string()});
      EXPECT_EQ(result.exit_code, 1);
      EXPECT_TRUE(result.err.starts_with("quillstone-dat: ")) << result.err;
      EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
      EXPECT_FALSE(mounted_at(fs::absolute(mountpoint)));
      ++refused;
      continue;
    }
    ++mounted;
    ForegroundMount mount(input.path(), mountpoint);
    ASSERT_TRUE(mount.ready());
    for (const DatFileEntry& entry : db->files()) {
      char name[16];
      std::snprintf(name, sizeof name, "%08X.bin", entry.id);
      const fs::path path = mountpoint / name;
      const bool small = entry.size <= (1u << 22);
      const auto want = small ? db->get_file(entry.id) : DatResult<Bytes>(std::unexpected(DatError::other("large")));
      struct stat st {};
      const int stat_result = ::stat(path.c_str(), &st);
      const int fd = stat_result == 0 ? ::open(path.c_str(), O_RDONLY) : -1;
      Bytes got;
      int error = stat_result != 0 || fd < 0 ? errno : 0;
      if (fd >= 0) {
        std::uint8_t buffer[65536];
        const std::size_t limit = small ? SIZE_MAX : std::size_t{1} << 20;
        while (got.size() < limit) {
          const ssize_t n = ::read(fd, buffer, sizeof buffer);
          if (n < 0) { error = errno; break; }
          if (n == 0) break;
          got.insert(got.end(), buffer, buffer + n);
        }
        ::close(fd);
      }
      if (want) {
        EXPECT_EQ(error, 0) << name;
        EXPECT_EQ(got, *want) << name;
        EXPECT_EQ(static_cast<std::size_t>(st.st_size), want->size()) << name;
      } else if (small) {
        EXPECT_EQ(error, EIO) << name;
        ++eio;
      }
    }
    // Still up and answering.
    struct stat root {};
    EXPECT_EQ(::stat((mountpoint / "manifest.json").c_str(), &root), 0);
    const ProcessResult result = mount.finish();
    EXPECT_EQ(result.signal, 0) << result.err;
    EXPECT_EQ(result.exit_code, 0) << result.err;
  }
  EXPECT_GT(mounted, 0);
  std::cout << mounted << " corpus archives mounted, " << refused
            << " refused, " << eio << " files read as EIO\n";
}

TEST(RealMountTest, UnmountWhileAReaderHoldsAFileOpen) {
  SKIP_WITHOUT_FUSE();
  TempDir dir;
  RandomArchive random({.seed = 2, .count = 10, .max_size = 100000}, 1024);
  auto db = DatDatabase::open(random.path);
  const DatFileEntry entry = db->files().sorted_entries().back();
  const Bytes want = *db->get_file(entry.id);
  const fs::path mountpoint = fs::absolute(dir / "m");
  fs::create_directories(mountpoint);
  ForegroundMount mount(random.path, mountpoint);
  ASSERT_TRUE(mount.ready());
  char name[16];
  std::snprintf(name, sizeof name, "%08X.bin", entry.id);
  const int fd = ::open((mountpoint / name).c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  Bytes buffer(want.size());
  ASSERT_EQ(::pread(fd, buffer.data(), 100, 0), 100);
  // Busy: umount refuses, and the mount stays.
  const ProcessResult busy = run_tool({"umount", mountpoint.string()});
  EXPECT_EQ(busy.exit_code, 1);
  EXPECT_NE(busy.err.find("busy"), std::string::npos) << busy.err;
  EXPECT_TRUE(mounted_at(mountpoint));
  // Lazily: detached at once; the open file still reads.
  const ProcessResult lazy = run_tool({"umount", "--lazy", mountpoint.string()});
  EXPECT_EQ(lazy.exit_code, 0) << lazy.err;
  EXPECT_FALSE(mounted_at(mountpoint));
  ASSERT_EQ(::pread(fd, buffer.data(), buffer.size(), 0), static_cast<ssize_t>(want.size()));
  EXPECT_EQ(buffer, want);
  ::close(fd);
  // The last file closed, the mount's process ends by itself.
  const ProcessResult result = mount.wait();
  EXPECT_EQ(result.exit_code, 0) << result.err;
}

TEST(RealMountTest, BackgroundMountReturnsWhenReadyAndUmountEndsIt) {
  SKIP_WITHOUT_FUSE();
  TempDir dir;
  RandomArchive random({.seed = 3, .count = 30, .max_size = 5000}, 256);
  const fs::path mountpoint = fs::absolute(dir / "m");
  fs::create_directories(mountpoint);
  UnmountGuard guard{mountpoint};
  const ProcessResult mounted = run_tool({"mount", random.path.string(), mountpoint.string()});
  ASSERT_EQ(mounted.exit_code, 0) << mounted.err;
  EXPECT_EQ(mounted.err, "");
  // Ready on return: no waiting.
  EXPECT_TRUE(mounted_at(mountpoint));
  EXPECT_EQ(file_bytes(mountpoint / "00000002.bin"), random.contents[1]);
  // Writes of any kind are refused.
  EXPECT_LT(::open((mountpoint / "00000002.bin").c_str(), O_WRONLY), 0);
  EXPECT_EQ(errno, EROFS);
  EXPECT_LT(::open((mountpoint / "new").c_str(), O_WRONLY | O_CREAT, 0644), 0);
  EXPECT_EQ(errno, EROFS);
  EXPECT_NE(::mkdir((mountpoint / "d").c_str(), 0755), 0);
  EXPECT_EQ(errno, EROFS);
  EXPECT_NE(::unlink((mountpoint / "00000002.bin").c_str()), 0);
  EXPECT_EQ(errno, EROFS);
  const ProcessResult unmounted = run_tool({"umount", mountpoint.string()});
  EXPECT_EQ(unmounted.exit_code, 0) << unmounted.err;
  EXPECT_FALSE(mounted_at(mountpoint));
  // Not a mount any more; nor is a plain folder.
  EXPECT_EQ(run_tool({"umount", mountpoint.string()}).exit_code, 1);
  // An archive that does not open: one line, nothing mounted.
  const ProcessResult refused = run_tool({"mount", (dir / "none.dat").string(), mountpoint.string()});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.err, "quillstone-dat: " + (dir / "none.dat").string() + ": No such file or directory\n");
  EXPECT_FALSE(mounted_at(mountpoint));
}

TEST(RealMountTest, SigtermAndSigintUnmountCleanly) {
  SKIP_WITHOUT_FUSE();
  TempDir dir;
  RandomArchive random({.seed = 5, .count = 5, .max_size = 500}, 256);
  const fs::path mountpoint = fs::absolute(dir / "m");
  fs::create_directories(mountpoint);
  for (int signal : {SIGTERM, SIGINT}) {
    ForegroundMount mount(random.path, mountpoint);
    ASSERT_TRUE(mount.ready());
    mount.process().send(signal);
    const ProcessResult result = mount.wait();
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_FALSE(mounted_at(mountpoint));
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
