// A disk in memory beneath the archive editor that can lose power, fail
// writes, and tell what it would hold after a power cut.
//
// It keeps what a flush has made durable apart from the writes made since
// (write_at and set_length alike, counted from 1). The power can be set to
// fail during write number N: that write and every call after it fail with
// EIO, as they would for a process that died there. What survives is then
// up to the test:
//   - every write before N, and of write N a prefix ending at a 512-byte
//     sector boundary inside it (a disk writes a sector whole or not at
//     all): tear points 0 (none of it) to tear_points() - 1 (all of it);
//   - or, since a disk may reorder what was not yet flushed, any subset
//     of the sectors written since the last flush, write N's included.

#ifndef QUILLSTONE_DAT_TESTS_EDITOR_POWER_CUT_DISK_H_
#define QUILLSTONE_DAT_TESTS_EDITOR_POWER_CUT_DISK_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "utils/writable_file.h"

namespace quillstone_dat::testing {

class PowerCutDisk final : public WritableFile {
 public:
  static constexpr std::size_t kSectorSize = 512;

  explicit PowerCutDisk(std::vector<std::uint8_t> image);

  // Power fails during write number `n` (from 1); 0: never.
  void cut_at(std::size_t n) { cut_at_ = n; }
  // Write number `n` and every write and flush after it fail with
  // `errno_value`, changing nothing: a full disk (ENOSPC), a failing one
  // (EIO), a file made read-only (EROFS). `n` 0: no failures from now on.
  void fail_from(std::size_t n, int errno_value) {
    fail_from_ = n;
    failure_ = errno_value;
  }

  std::size_t writes() const { return writes_; }
  bool power_lost() const { return cut_.has_value(); }
  bool failing() const { return fail_from_ != 0 && writes_ >= fail_from_; }
  // What reads see now.
  const std::vector<std::uint8_t>& image() const { return image_; }

  // Ways the write the power failed in can be torn; 1 when it was none.
  std::size_t tear_points() const;
  // The disk after the power cut: everything flushed, every later write
  // before the cut, and of the cut write the prefix up to tear point `tear`.
  std::vector<std::uint8_t> after_cut(std::size_t tear) const;
  // The disk after the power cut with each sector written since the last
  // flush kept or lost at random.
  std::vector<std::uint8_t> after_cut_reordered(std::mt19937& random) const;

  std::expected<std::size_t, IoError> read_at(
      std::span<std::uint8_t> buffer, std::uint64_t offset) const override;
  std::expected<std::uint64_t, IoError> length() const override;
  std::expected<void, IoError> write_at(std::span<const std::uint8_t> bytes,
                                        std::uint64_t offset) override;
  std::expected<void, IoError> sync() override;
  std::expected<void, IoError> set_length(std::uint64_t length) override;

 private:
  // A write, or with `resize` a length change to `offset`.
  struct Write {
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> bytes;
    bool resize = false;
  };

  // Counts a write; fails when the power is gone or writes fail.
  std::expected<void, IoError> begin_write(const Write& write);
  static void apply(std::vector<std::uint8_t>& image, const Write& write);
  // The sector-bounded pieces of a write, in order.
  static std::vector<Write> sectors_of(const Write& write);

  std::vector<std::uint8_t> durable_;
  std::vector<std::uint8_t> image_;
  std::vector<Write> unflushed_;
  std::optional<Write> cut_;
  std::size_t writes_ = 0;
  std::size_t cut_at_ = 0;
  std::size_t fail_from_ = 0;
  int failure_ = 0;
};

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_EDITOR_POWER_CUT_DISK_H_
