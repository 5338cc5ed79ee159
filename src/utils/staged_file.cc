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

// Makes the rename itself durable. A failure here changes nothing about the
// archive now in place, so it is not reported.
void sync_directory_of(const std::filesystem::path& target) {
  const std::filesystem::path parent =
      target.has_parent_path() ? target.parent_path() : ".";
  const int fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

std::expected<StagedFile, IoError> StagedFile::create(
    const std::filesystem::path& target) {
  if (!target.has_filename()) {
    return std::unexpected(IoError(IoErrorKind::kInvalidInput,
                                   "target path names no file"));
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::filesystem::path temporary = temporary_name(target);
    int fd;
    do {
      fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                  0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return StagedFile(target, std::move(temporary), fd);
    if (errno != EEXIST) return std::unexpected(IoError::from_errno(errno));
  }
  return std::unexpected(IoError::from_errno(EEXIST));
}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : target_(std::move(other.target_)),
      temporary_(std::move(other.temporary_)),
      fd_(std::exchange(other.fd_, -1)),
      committed_(std::exchange(other.committed_, true)) {}

StagedFile::~StagedFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(temporary_.c_str());
}

std::expected<void, IoError> StagedFile::write_at(
    std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) -
                   bytes.size()) {
    return std::unexpected(IoError::from_errno(EFBIG));
  }
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n =
        ::pwrite(fd_, bytes.data() + written, bytes.size() - written,
                 static_cast<off_t>(offset + written));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_errno(errno));
    }
    written += static_cast<std::size_t>(n);
  }
  return {};
}

std::expected<void, IoError> StagedFile::set_length(std::uint64_t length) {
  if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return std::unexpected(IoError::from_errno(EFBIG));
  }
  int result;
  do {
    result = ::ftruncate(fd_, static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  if (result != 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

std::expected<void, IoError> StagedFile::commit() {
  if (::fsync(fd_) != 0) return std::unexpected(IoError::from_errno(errno));
  // close() may report a write that failed late; the descriptor is gone
  // either way.
  const int closed = ::close(std::exchange(fd_, -1));
  if (closed != 0 && errno != EINTR) {
    return std::unexpected(IoError::from_errno(errno));
  }
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
    return std::unexpected(IoError::from_errno(errno));
  }
  committed_ = true;
  sync_directory_of(target_);
  return {};
}

}  // namespace quillstone_dat
