#include "utils/writable_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

#include "utils/descriptor_io.h"

namespace quillstone_dat {

namespace {

constexpr std::uint64_t kMaxOffset =
    static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

}  // namespace

std::expected<PosixWritableFile, IoError> PosixWritableFile::open(
    const std::filesystem::path& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoError::from_errno(errno));
  // Owned from here, so every early return closes it.
  PosixWritableFile file(fd);
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return std::unexpected(IoError::from_errno(errno));
  }
  if (!S_ISREG(status.st_mode)) {
    return std::unexpected(
        IoError(IoErrorKind::kInvalidInput, "not a regular file"));
  }
  int locked;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) return std::unexpected(IoError::from_errno(errno));
  return file;
}

PosixWritableFile::PosixWritableFile(PosixWritableFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

PosixWritableFile::~PosixWritableFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<std::size_t, IoError> PosixWritableFile::read_at(
    std::span<std::uint8_t> buffer, std::uint64_t offset) const {
  if (offset > kMaxOffset) return std::unexpected(IoError::from_errno(EINVAL));
  const ssize_t n =
      ::pread(fd_, buffer.data(), buffer.size(), static_cast<off_t>(offset));
  if (n < 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<std::size_t>(n);
}

std::expected<std::uint64_t, IoError> PosixWritableFile::length() const {
  struct stat status {};
  if (::fstat(fd_, &status) != 0) {
    return std::unexpected(IoError::from_errno(errno));
  }
  return static_cast<std::uint64_t>(status.st_size);
}

std::expected<void, IoError> PosixWritableFile::write_at(
    std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  return write_all_at(fd_, bytes, offset);
}

std::expected<void, IoError> PosixWritableFile::sync() {
  int result;
  do {
    result = ::fdatasync(fd_);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

std::expected<void, IoError> PosixWritableFile::set_length(
    std::uint64_t length) {
  return set_file_length(fd_, length);
}

}  // namespace quillstone_dat
