#include "utils/staged_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>

#include "utils/descriptor_io.h"

namespace quillstone_dat {

namespace {

// Attempts at a fresh name before giving up; a clash needs another process
// with the same pid, counter and clock reading.
constexpr int kNameAttempts = 64;

std::filesystem::path temporary_name(const std::filesystem::path& target) {
  static std::atomic<std::uint64_t> counter{0};
  const auto ticks = static_cast<unsigned long long>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".tmp-%ld-%llu-%llx",
                static_cast<long>(::getpid()),
                static_cast<unsigned long long>(counter.fetch_add(1)),
                ticks & 0xFFFFFFFFull);
  std::string name = ".";
  name += target.filename().string();
  name += suffix;
  std::filesystem::path path = target;
  path.replace_filename(name);
  return path;
}

std::filesystem::path folder_of(const std::filesystem::path& target) {
  return target.has_parent_path() ? target.parent_path() : ".";
}

// Runs `make` on fresh temporary names beside `target` until one is not
// taken; `make` returns a descriptor or 0 on success, -1 with errno set on
// failure. The name used is left in `temporary`.
template <typename Make>
std::expected<int, IoError> create_named(const std::filesystem::path& target,
                                         std::filesystem::path& temporary,
                                         Make make) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    temporary = temporary_name(target);
    int result;
    do {
      result = make(temporary.c_str());
    } while (result < 0 && errno == EINTR);
    if (result >= 0) return result;
    if (errno != EEXIST) return std::unexpected(IoError::from_errno(errno));
  }
  return std::unexpected(IoError::from_errno(EEXIST));
}

// Makes the rename itself durable. A failure here changes nothing about the
// archive now in place, so it is not reported.
void sync_directory_of(const std::filesystem::path& target) {
  const int fd =
      ::open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

std::expected<StagedFile, IoError> StagedFile::create(
    const std::filesystem::path& target) {
  if (!target.has_filename()) {
    return std::unexpected(
        IoError(IoErrorKind::kInvalidInput, "target path names no file"));
  }
  // An unnamed file in the target's folder disappears with its descriptor,
  // so a process killed mid-write leaves nothing behind. It needs a file
  // system that supports it and /proc to give it a name at commit.
  if (::access("/proc/self/fd", X_OK) == 0) {
    int fd;
    do {
      fd = ::open(folder_of(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
                  0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return StagedFile(target, {}, fd);
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      return std::unexpected(IoError::from_errno(errno));
    }
  }
  std::filesystem::path temporary;
  auto fd = create_named(target, temporary, [](const char* path) {
    return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  });
  if (!fd) return std::unexpected(fd.error());
  return StagedFile(target, std::move(temporary), *fd);
}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : target_(std::move(other.target_)),
      temporary_(std::move(other.temporary_)),
      fd_(std::exchange(other.fd_, -1)),
      committed_(std::exchange(other.committed_, true)) {}

StagedFile::~StagedFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

std::expected<void, IoError> StagedFile::write_at(
    std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  return write_all_at(fd_, bytes, offset);
}

void StagedFile::start_writeback(std::uint64_t offset,
                                 std::uint64_t length) const {
  ::sync_file_range(fd_, static_cast<off64_t>(offset),
                    static_cast<off64_t>(length), SYNC_FILE_RANGE_WRITE);
}

std::expected<void, IoError> StagedFile::set_length(std::uint64_t length) {
  return set_file_length(fd_, length);
}

std::expected<void, IoError> StagedFile::commit(Durability durability) {
  const bool flush = durability == Durability::kFlushed;
  if (flush && ::fsync(fd_) != 0) {
    return std::unexpected(IoError::from_errno(errno));
  }
  bool in_place = false;
  if (temporary_.empty()) {
    // The unnamed file takes the target's name when that is free. A link
    // cannot replace an existing target, so then it takes a temporary name
    // to be renamed over it.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    const auto link_to = [&](const char* path) {
      return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path,
                      AT_SYMLINK_FOLLOW);
    };
    in_place = link_to(target_.c_str()) == 0;
    if (!in_place) {
      if (errno != EEXIST) return std::unexpected(IoError::from_errno(errno));
      auto linked = create_named(target_, temporary_, link_to);
      if (!linked) return std::unexpected(linked.error());
    }
  }
  // close() may report a write that failed late; the descriptor is gone
  // either way.
  const int closed = ::close(std::exchange(fd_, -1));
  if (closed != 0 && errno != EINTR) {
    if (in_place) ::unlink(target_.c_str());
    return std::unexpected(IoError::from_errno(errno));
  }
  if (!in_place && ::rename(temporary_.c_str(), target_.c_str()) != 0) {
    return std::unexpected(IoError::from_errno(errno));
  }
  committed_ = true;
  if (flush) sync_directory_of(target_);
  return {};
}

}  // namespace quillstone_dat
