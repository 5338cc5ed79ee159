// ArchiveFs is the file system that `quillstone-dat mount` shows, without
// FUSE: the operations the kernel asks for (lookup, getattr, readdir,
// open, read, release, statfs) on inode numbers and file handles, with
// errno values for errors. fuse_glue.cc hands the kernel's requests to it;
// the tests call it directly.
//
// The tree is what `extract` writes (`extract --raw` with raw): the root
// holds manifest.json and one XXXXXXXX.bin per entry, in ascending ids.
// Inode numbers come from the ids: a file's is its id + 2 (FUSE keeps 1
// for the root), manifest.json's is 2^33, above every id. Nothing is kept
// per inode: an inode stays valid for the life of the mount.
//
// Files are dated with their entry's timestamp, as extract dates them (an
// entry with timestamp 0, which extract leaves at the time it writes, and
// manifest.json get the mount's time). A stored file (any file, raw) is
// read through a RangeReader per open; a compressed one is decoded once
// and shared by every open of it through a cache of decoded files
// bounded in bytes (files held open stay whole beyond the bound). Sizes
// are exact: a compressed file's length is what it decodes to, learnt by
// walking its stream once (DatDatabase::file_length) and remembered.
//
// The archive is the snapshot taken at mount: after every read of the
// archive file the mount checks that the file has not been written since
// (its size, modification and change times on the descriptor it holds);
// once it has, every read of the archive fails with EIO, so no read of
// blocks an edit freed and reused returns another file's bytes. A file
// that cannot be read gives EIO and one line through the log callback.
//
// Thread-safe: the kernel's requests come on several threads at once.

#ifndef QUILLSTONE_DAT_TOOLS_MOUNT_ARCHIVE_FS_H_
#define QUILLSTONE_DAT_TOOLS_MOUNT_ARCHIVE_FS_H_

#include <sys/stat.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/error_context.h"

namespace quillstone_dat::tool {

struct FsAttr {
  std::uint64_t ino = 0;
  std::uint64_t size = 0;
  bool directory = false;
  std::int64_t mtime = 0;  // seconds since 1970
  // False when the size is not known without reading the file (a
  // compressed file not yet measured): a listing then leaves the
  // attributes to a lookup.
  bool complete = true;
};

struct FsStat {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
  std::uint32_t block_size = 0;
};

struct ArchiveFsOptions {
  bool raw = false;
  // Decoded files the cache keeps beyond those held open.
  std::uint64_t cache_bytes = std::uint64_t{256} << 20;
  std::int64_t mount_time = 0;
  // One line, without its newline, for each file that fails.
  std::function<void(const std::string&)> log;
};

class ArchiveFs {
 public:
  static constexpr std::uint64_t kRootIno = 1;
  static constexpr std::uint64_t kManifestIno = std::uint64_t{1} << 33;

  // Opens the archive at `path` read-only; the error the tool prints when
  // it does not open.
  static DatResult<std::unique_ptr<ArchiveFs>> open(
      const std::filesystem::path& path, ArchiveFsOptions options);

  ~ArchiveFs();

  static std::uint64_t ino_of(std::uint32_t id) {
    return std::uint64_t{id} + 2;
  }

  std::expected<FsAttr, int> lookup(std::uint64_t parent,
                                    std::string_view name);
  std::expected<FsAttr, int> getattr(std::uint64_t ino);

  // Hands the root's entries from `offset` on (0: the first, ".") to
  // `add` with the offset of the entry after each, until `add` returns
  // false (its buffer is full). With `plus`, attributes are complete only
  // where known without reading. ENOTDIR for another inode.
  using DirAdder = std::function<bool(std::string_view name, const FsAttr&,
                                      std::uint64_t next_offset)>;
  int readdir(std::uint64_t ino, std::uint64_t offset, bool plus,
              const DirAdder& add);

  // A handle for read; EROFS when `flags` ask to write, EISDIR for the
  // root, ENOENT for an unknown inode.
  std::expected<std::uint64_t, int> open_file(std::uint64_t ino, int flags);
  // Fills a prefix of `buffer` from `offset`; EIO when the archive fails.
  std::expected<std::size_t, int> read(std::uint64_t handle,
                                       std::uint64_t offset,
                                       std::span<std::uint8_t> buffer);
  void release(std::uint64_t handle);

  FsStat statfs() const;

  // For tests.
  std::size_t cached_files() const;
  std::uint64_t cached_bytes() const;
  std::size_t open_handles() const;

 private:
  struct Decoded;
  struct Handle;
  class ManifestText;

  ArchiveFs(std::filesystem::path path, int fd, struct stat snapshot,
            DatDatabase db, ArchiveFsOptions options);

  std::expected<FsAttr, int> attr_of(std::uint32_t id, bool measure);
  const ManifestText& manifest();
  FsAttr manifest_attr();
  // False, and a log line, when the archive was written since the mount.
  bool archive_unchanged();
  int fail(std::uint32_t id, const DatError& error);
  std::shared_ptr<Decoded> decoded(std::uint32_t id);
  void trim_cache();  // with cache_mutex_ held

  const std::filesystem::path path_;
  const int fd_;
  const struct stat snapshot_;
  const DatDatabase db_;
  const ArchiveFsOptions options_;
  const std::vector<std::uint32_t> ids_;  // ascending
  std::once_flag manifest_once_;
  std::unique_ptr<ManifestText> manifest_;

  mutable std::mutex lengths_mutex_;
  std::unordered_map<std::uint32_t, std::uint64_t> lengths_;  // compressed

  mutable std::mutex cache_mutex_;
  struct CacheSlot {
    std::shared_ptr<Decoded> decoded;
    std::list<std::uint32_t>::iterator place;  // in lru_
  };
  std::unordered_map<std::uint32_t, CacheSlot> cache_;
  std::list<std::uint32_t> lru_;  // least recent first
  std::uint64_t cache_bytes_ = 0;

  mutable std::mutex log_mutex_;
  std::unordered_set<std::uint32_t> logged_;
  bool changed_logged_ = false;

  // Every open handle, owned here: a mount that ends with files still open
  // (a lazy unmount, a signal) frees them with the file system.
  mutable std::mutex handles_mutex_;
  std::unordered_map<const void*, std::unique_ptr<Handle>> handles_;
};

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_MOUNT_ARCHIVE_FS_H_
