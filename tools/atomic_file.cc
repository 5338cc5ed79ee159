#include "atomic_file.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>

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

// The temporary file until it is renamed: closes the descriptor and
// removes the file unless released.
class PendingFile {
 public:
  PendingFile(fs::path path, int fd) : path_(std::move(path)), fd_(fd) {}
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!released_) ::unlink(path_.c_str());
  }

  const fs::path& path() const { return path_; }
  int fd() const { return fd_; }

  // Closes the descriptor, reporting what close() reports: on some file
  // systems that is the first sign that the data did not reach the disk.
  std::expected<void, IoError> close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return std::unexpected(IoError::from_errno(errno));
    return {};
  }
  void release() { released_ = true; }

 private:
  fs::path path_;
  int fd_;
  bool released_ = false;
};

DatError path_errno(const fs::path& path) {
  return DatError::path_error(path, IoError::from_errno(errno));
}

}  // namespace

DatResult<void> write_file_atomically(const fs::path& target,
                                      std::span<const std::uint8_t> bytes) {
  const fs::path folder = target.parent_path();
  const std::string name = target.filename().string();
  fs::path temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temporary = folder / fmt::format(".{}.tmp-{}", name, random_suffix());
    // 0666 lets the umask decide the final permissions, as for any new file.
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                0666);
    if (fd < 0 && (errno != EEXIST || attempt + 1 == kMaxNameAttempts)) {
      return std::unexpected(path_errno(temporary));
    }
  }
  PendingFile pending(temporary, fd);
  if (auto written = write_all(pending.fd(), bytes); !written) {
    return std::unexpected(DatError::path_error(temporary, written.error()));
  }
  // Without this a crash soon after the rename could leave the final name
  // on an empty or partial file.
  if (::fdatasync(pending.fd()) != 0) {
    return std::unexpected(path_errno(temporary));
  }
  if (auto closed = pending.close(); !closed) {
    return std::unexpected(DatError::path_error(temporary, closed.error()));
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    return std::unexpected(path_errno(target));
  }
  pending.release();
  return {};
}

}  // namespace quillstone_dat::tool
