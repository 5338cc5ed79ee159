#include "utils/posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

namespace quillstone_dat {

std::expected<PosixFile, IoError> PosixFile::open(
    const std::filesystem::path& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoError::from_errno(errno));
  // O_NONBLOCK only served the open; reads of a FIFO must not spin.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return PosixFile(fd);
}

PosixFile::PosixFile(PosixFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

PosixFile& PosixFile::operator=(PosixFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

PosixFile::~PosixFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<std::size_t, IoError> PosixFile::read_at(
    std::span<std::uint8_t> buffer, std::uint64_t offset) const {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return std::unexpected(IoError::from_errno(EINVAL));
  }
  const ssize_t n =
      ::pread(fd_, buffer.data(), buffer.size(), static_cast<off_t>(offset));
  if (n < 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<std::size_t>(n);
}

std::expected<std::uint64_t, IoError> PosixFile::length() const {
  struct stat status {};
  if (::fstat(fd_, &status) != 0) {
    return std::unexpected(IoError::from_errno(errno));
  }
  return static_cast<std::uint64_t>(status.st_size);
}

std::expected<void, IoError> PosixFile::seek(std::uint64_t offset) const {
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
    return std::unexpected(IoError::from_errno(errno));
  }
  return {};
}

}  // namespace quillstone_dat
