// WritableFile is a file the library both reads and changes in place: the
// positioned reads of FileExtPolyfill, plus positioned writes, a flush to
// stable storage and a length change. The archive editor does all its I/O
// through it, so that tests can put a simulated disk beneath it.
//
// PosixWritableFile is the one over a real file: opened for reading and
// writing, with an exclusive flock(2) held for as long as it lives.

#ifndef QUILLSTONE_DAT_UTILS_WRITABLE_FILE_H_
#define QUILLSTONE_DAT_UTILS_WRITABLE_FILE_H_

#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>

#include "quillstone_dat/file_ext_polyfill.h"
#include "quillstone_dat/io_error.h"

namespace quillstone_dat {

class WritableFile : public FileExtPolyfill {
 public:
  // Writes all of `bytes` at `offset`, growing the file as needed.
  virtual std::expected<void, IoError> write_at(
      std::span<const std::uint8_t> bytes, std::uint64_t offset) = 0;

  // Returns once everything written so far is on stable storage.
  virtual std::expected<void, IoError> sync() = 0;

  // Sets the file's length; bytes never written read as zero.
  virtual std::expected<void, IoError> set_length(std::uint64_t length) = 0;
};

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
