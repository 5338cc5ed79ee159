// PosixWritableFile is the WritableFile (quillstone_dat/writable_file.h)
// over a real file: opened for reading and writing, with an exclusive
// flock(2) held for as long as it lives.

#ifndef QUILLSTONE_DAT_UTILS_WRITABLE_FILE_H_
#define QUILLSTONE_DAT_UTILS_WRITABLE_FILE_H_

#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>

#include "quillstone_dat/io_error.h"
#include "quillstone_dat/writable_file.h"

namespace quillstone_dat {

class PosixWritableFile final : public WritableFile {
 public:
  // Opens `path` for reading and writing and locks it with
  // flock(LOCK_EX | LOCK_NB). A lock held elsewhere fails at once with the
  // errno EWOULDBLOCK.
  static std::expected<PosixWritableFile, IoError> open(
      const std::filesystem::path& path);

  PosixWritableFile(PosixWritableFile&& other) noexcept;
  PosixWritableFile& operator=(PosixWritableFile&&) = delete;
  PosixWritableFile(const PosixWritableFile&) = delete;
  PosixWritableFile& operator=(const PosixWritableFile&) = delete;
  // Closing the descriptor releases the lock.
  ~PosixWritableFile() override;

  std::expected<std::size_t, IoError> read_at(
      std::span<std::uint8_t> buffer, std::uint64_t offset) const override;
  std::expected<std::uint64_t, IoError> length() const override;
  std::expected<void, IoError> write_at(std::span<const std::uint8_t> bytes,
                                        std::uint64_t offset) override;
  // fdatasync(2): the data and the length, not the timestamps.
  std::expected<void, IoError> sync() override;
  std::expected<void, IoError> set_length(std::uint64_t length) override;

 private:
  explicit PosixWritableFile(int fd) : fd_(fd) {}

  int fd_ = -1;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_UTILS_WRITABLE_FILE_H_
