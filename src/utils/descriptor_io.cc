#include "utils/descriptor_io.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace quillstone_dat {

namespace {

constexpr std::uint64_t kMaxOffset =
    static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

}  // namespace

std::expected<void, IoError> write_all_at(int fd,
                                          std::span<const std::uint8_t> bytes,
                                          std::uint64_t offset) {
  if (offset > kMaxOffset - bytes.size()) {
    return std::unexpected(IoError::from_errno(EFBIG));
  }
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n =
        ::pwrite(fd, bytes.data() + written, bytes.size() - written,
                 static_cast<off_t>(offset + written));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_errno(errno));
    }
    written += static_cast<std::size_t>(n);
  }
  return {};
}

std::expected<void, IoError> set_file_length(int fd, std::uint64_t length) {
  if (length > kMaxOffset) return std::unexpected(IoError::from_errno(EFBIG));
  int result;
  do {
    result = ::ftruncate(fd, static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  if (result != 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

}  // namespace quillstone_dat
