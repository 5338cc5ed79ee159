// StagedFile is a file written beside its target and renamed over the
// target by commit(). Where the file system allows, it has no name until
// commit, so not even a killed process leaves it behind; elsewhere it has a
// unique hidden temporary name. Destroyed without a successful commit, it
// removes the temporary file, so the target names either what it named
// before or the complete new file, never a part.

#ifndef QUILLSTONE_DAT_UTILS_STAGED_FILE_H_
#define QUILLSTONE_DAT_UTILS_STAGED_FILE_H_

#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>

#include "quillstone_dat/io_error.h"

namespace quillstone_dat {

class StagedFile {
 public:
  // Creates the temporary file in the target's folder.
  static std::expected<StagedFile, IoError> create(
      const std::filesystem::path& target);

  StagedFile(StagedFile&& other) noexcept;
  StagedFile& operator=(StagedFile&&) = delete;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  ~StagedFile();

  // Writes all of `bytes` at `offset`; retries after EINTR and short writes.
  std::expected<void, IoError> write_at(std::span<const std::uint8_t> bytes,
                                        std::uint64_t offset);
  // Sets the file's length; bytes never written read as zero.
  std::expected<void, IoError> set_length(std::uint64_t length);

  // Flushes the file to disk, closes it and renames it over the target.
  std::expected<void, IoError> commit();

 private:
  StagedFile(std::filesystem::path target, std::filesystem::path temporary,
             int fd)
      : target_(std::move(target)), temporary_(std::move(temporary)), fd_(fd) {}

  std::filesystem::path target_;
  std::filesystem::path temporary_;  // empty while the file has no name
  int fd_ = -1;
  bool committed_ = false;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_UTILS_STAGED_FILE_H_
