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
  // Asks the system to start writing `length` bytes at `offset` to disk
  // without waiting for them, so that the flush of commit() finds most of
  // the file already written. Only a hint: nothing is reported.
  void start_writeback(std::uint64_t offset, std::uint64_t length) const;

  // Sets the file's length; bytes never written read as zero.
  std::expected<void, IoError> set_length(std::uint64_t length);

  // What commit() makes sure of before the file takes the target's name.
  enum class Durability : std::uint8_t {
    // The file and the folder's new name are flushed to disk: after a crash
    // or power loss the target names the old file or the whole new one.
    kFlushed,
    // Nothing is flushed; the system writes the data back in its own time.
    // A killed process still never leaves a partial file under the target's
    // name, but after power loss the named file may be empty or partial
    // until the caller flushes the file system (syncfs).
    kLeftToSystem,
  };

  // Closes the file and gives it the target's name, replacing what was
  // there.
  std::expected<void, IoError> commit(
      Durability durability = Durability::kFlushed);

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
