#include "atomic_file.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>
#include <utility>

#include "output.h"

namespace quillstone_dat::tool {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxNameAttempts = 100;

// Random enough that concurrent writers, even in other processes, almost
// never pick the same name; O_EXCL settles the rare clash.
std::string random_suffix() {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  return fmt::format("{:012x}", engine() & 0xFFFF'FFFF'FFFFull);
}

// The file the bytes go to until it is renamed: closes the descriptor and
// removes the file's name, if it has one, unless released. Where the file
// system allows, the file has no name until it is complete, so not even a
// killed process or a folder that turned unwritable leaves it behind.
class PendingFile {
 public:
  PendingFile(fs::path path, int fd) : path_(std::move(path)), fd_(fd) {}
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!released_ && !path_.empty()) ::unlink(path_.c_str());
  }

  int fd() const { return fd_; }
  const fs::path& path() const { return path_; }

  // Gives an unnamed file its name: `target` itself when that is free, so
  // that the file appears complete in one step; otherwise a fresh hidden
  // name beside it, to be renamed over it. True when the file now has the
  // target's name.
  DatResult<bool> name(const fs::path& target) {
    if (!path_.empty()) return false;
    const std::string self = fmt::format("/proc/self/fd/{}", fd_);
    const auto link_to = [&](const fs::path& name) {
      return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(),
                      AT_SYMLINK_FOLLOW) == 0;
    };
    if (link_to(target)) {
      path_ = target;
      return true;
    }
    for (int attempt = 0; errno == EEXIST && attempt < kMaxNameAttempts;
         ++attempt) {
      fs::path candidate = temporary_name(target);
      if (link_to(candidate)) {
        path_ = std::move(candidate);
        return false;
      }
    }
    return std::unexpected(
        DatError::path_error(target, IoError::from_errno(errno)));
  }

  // Closes the descriptor, reporting what close() reports: on some file
  // systems that is the first sign that the data did not reach the disk.
  std::expected<void, IoError> close() {
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) return std::unexpected(IoError::from_errno(errno));
    return {};
  }
  void release() { released_ = true; }

  static fs::path temporary_name(const fs::path& target) {
    return target.parent_path() / fmt::format(".{}.tmp-{}",
                                              target.filename().string(),
                                              random_suffix());
  }

 private:
  fs::path path_;  // empty while the file has no name
  int fd_;
  bool released_ = false;
};

DatError path_errno(const fs::path& path) {
  return DatError::path_error(path, IoError::from_errno(errno));
}

// An unnamed file in the target's folder when the file system and /proc
// allow it, else a new file under a fresh hidden name.
DatResult<PendingFile> open_pending(const fs::path& target) {
  const fs::path folder = target.parent_path();
  // 0666 lets the umask decide the final permissions, as for any new file.
  if (::access("/proc/self/fd", X_OK) == 0) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(),
                          O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) return DatResult<PendingFile>(std::in_place, fs::path(), fd);
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      return std::unexpected(path_errno(folder));
    }
  }
  for (int attempt = 0;; ++attempt) {
    fs::path temporary = PendingFile::temporary_name(target);
    const int fd = ::open(temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      return DatResult<PendingFile>(std::in_place, std::move(temporary), fd);
    }
    if (errno != EEXIST || attempt + 1 == kMaxNameAttempts) {
      return std::unexpected(path_errno(temporary));
    }
  }
}

}  // namespace

DatResult<void> write_file_atomically(const fs::path& target,
                                      std::span<const std::uint8_t> bytes) {
  auto pending = open_pending(target);
  if (!pending) return std::unexpected(std::move(pending.error()));
  if (auto written = write_all(pending->fd(), bytes); !written) {
    return std::unexpected(DatError::path_error(target, written.error()));
  }
  // Without this a crash soon after the rename could leave the final name
  // on an empty or partial file.
  if (::fdatasync(pending->fd()) != 0)
    return std::unexpected(path_errno(target));
  const auto named = pending->name(target);
  if (!named) return std::unexpected(named.error());
  if (auto closed = pending->close(); !closed) {
    return std::unexpected(DatError::path_error(target, closed.error()));
  }
  if (!*named && ::rename(pending->path().c_str(), target.c_str()) != 0) {
    return std::unexpected(path_errno(target));
  }
  pending->release();
  return {};
}

}  // namespace quillstone_dat::tool
