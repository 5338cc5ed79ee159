// PosixFile is a file opened read-only, read with pread(2). It owns its
// descriptor and closes it when destroyed; it is movable, not copyable.

#ifndef QUILLSTONE_DAT_UTILS_POSIX_FILE_H_
#define QUILLSTONE_DAT_UTILS_POSIX_FILE_H_

#include <expected>
#include <filesystem>

#include "quillstone_dat/file_ext_polyfill.h"

namespace quillstone_dat {

class PosixFile final : public FileExtPolyfill {
 public:
  // Opens without blocking on a FIFO that has no writer.
  static std::expected<PosixFile, IoError> open(
      const std::filesystem::path& path);

  PosixFile(PosixFile&& other) noexcept;
  PosixFile& operator=(PosixFile&& other) noexcept;
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;
  ~PosixFile() override;

  std::expected<std::size_t, IoError> read_at(
      std::span<std::uint8_t> buffer, std::uint64_t offset) const override;
  std::expected<std::uint64_t, IoError> length() const override;

  // Moves the file cursor; fails on files that cannot seek (a FIFO, say).
  std::expected<void, IoError> seek(std::uint64_t offset) const;

  int descriptor() const { return fd_; }

 private:
  explicit PosixFile(int fd) : fd_(fd) {}

  int fd_ = -1;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_UTILS_POSIX_FILE_H_
