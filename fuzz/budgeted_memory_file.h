// An archive image held in memory that, once armed, answers only a fixed
// number of further reads and fails the rest. The archive target arms it
// after the open, so that the open itself must be prompt on any input,
// while fetches of files, whose cost grows with their recorded size by the
// format's own rules, stay within the engine's time limit.

#ifndef QUILLSTONE_DAT_FUZZ_BUDGETED_MEMORY_FILE_H_
#define QUILLSTONE_DAT_FUZZ_BUDGETED_MEMORY_FILE_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "quillstone_dat/file_ext_polyfill.h"

namespace quillstone_dat::fuzz {

class BudgetedMemoryFile final : public FileExtPolyfill {
 public:
  explicit BudgetedMemoryFile(std::span<const std::uint8_t> bytes)
      : bytes_(bytes) {}

  // From now on, `reads` more reads succeed.
  void arm(std::size_t reads) const {
    armed_ = true;
    remaining_ = reads;
  }

  std::expected<std::size_t, IoError> read_at(
      std::span<std::uint8_t> buffer, std::uint64_t offset) const override {
    if (armed_) {
      if (remaining_ == 0) {
        return std::unexpected(
            IoError(IoErrorKind::kOther, "read budget spent"));
      }
      --remaining_;
    }
    if (offset >= bytes_.size()) return 0;
    const auto n = static_cast<std::size_t>(
        std::min<std::uint64_t>(buffer.size(), bytes_.size() - offset));
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), n,
                buffer.begin());
    return n;
  }

  std::expected<std::uint64_t, IoError> length() const override {
    return bytes_.size();
  }

 private:
  std::span<const std::uint8_t> bytes_;
  // One thread only: the fuzz targets do not share a file.
  mutable bool armed_ = false;
  mutable std::size_t remaining_ = 0;
};

}  // namespace quillstone_dat::fuzz

#endif  // QUILLSTONE_DAT_FUZZ_BUDGETED_MEMORY_FILE_H_
