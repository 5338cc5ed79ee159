#include "editor/power_cut_disk.h"

#include <algorithm>
#include <cerrno>

namespace quillstone_dat::testing {

PowerCutDisk::PowerCutDisk(std::vector<std::uint8_t> image)
    : durable_(image), image_(std::move(image)) {}

std::expected<std::size_t, IoError> PowerCutDisk::read_at(
    std::span<std::uint8_t> buffer, std::uint64_t offset) const {
  if (offset >= image_.size()) return 0;
  const std::size_t n =
      std::min<std::size_t>(buffer.size(), image_.size() - offset);
  std::copy_n(image_.begin() + static_cast<std::ptrdiff_t>(offset), n,
              buffer.begin());
  return n;
}

std::expected<std::uint64_t, IoError> PowerCutDisk::length() const {
  return image_.size();
}

std::expected<void, IoError> PowerCutDisk::begin_write(const Write& write) {
  if (cut_) return std::unexpected(IoError::from_errno(EIO));
  ++writes_;
  if (writes_ == cut_at_) {
    cut_ = write;
    return std::unexpected(IoError::from_errno(EIO));
  }
  if (failing()) return std::unexpected(IoError::from_errno(failure_));
  return {};
}

std::expected<void, IoError> PowerCutDisk::write_at(
    std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  Write write{offset, {bytes.begin(), bytes.end()}, false};
  if (auto begun = begin_write(write); !begun) return begun;
  apply(image_, write);
  unflushed_.push_back(std::move(write));
  return {};
}

std::expected<void, IoError> PowerCutDisk::set_length(std::uint64_t length) {
  Write write{length, {}, true};
  if (auto begun = begin_write(write); !begun) return begun;
  apply(image_, write);
  unflushed_.push_back(std::move(write));
  return {};
}

std::expected<void, IoError> PowerCutDisk::sync() {
  if (cut_) return std::unexpected(IoError::from_errno(EIO));
  if (failing()) return std::unexpected(IoError::from_errno(failure_));
  durable_ = image_;
  unflushed_.clear();
  return {};
}

void PowerCutDisk::apply(std::vector<std::uint8_t>& image, const Write& write) {
  if (write.resize) {
    image.resize(write.offset);
    return;
  }
  const std::uint64_t end = write.offset + write.bytes.size();
  if (image.size() < end) image.resize(end);
  std::ranges::copy(write.bytes,
                    image.begin() + static_cast<std::ptrdiff_t>(write.offset));
}

std::vector<PowerCutDisk::Write> PowerCutDisk::sectors_of(const Write& write) {
  if (write.resize) return {write};
  std::vector<Write> pieces;
  std::uint64_t at = write.offset;
  const std::uint64_t end = write.offset + write.bytes.size();
  while (at < end) {
    const std::uint64_t stop =
        std::min(end, (at / kSectorSize + 1) * kSectorSize);
    const auto from =
        write.bytes.begin() + static_cast<std::ptrdiff_t>(at - write.offset);
    pieces.push_back(
        {at, {from, from + static_cast<std::ptrdiff_t>(stop - at)}, false});
    at = stop;
  }
  return pieces;
}

std::size_t PowerCutDisk::tear_points() const {
  return cut_ ? sectors_of(*cut_).size() + 1 : 1;
}

std::vector<std::uint8_t> PowerCutDisk::after_cut(std::size_t tear) const {
  std::vector<std::uint8_t> image = durable_;
  for (const Write& write : unflushed_) apply(image, write);
  if (cut_) {
    const std::vector<Write> sectors = sectors_of(*cut_);
    for (std::size_t i = 0; i < std::min(tear, sectors.size()); ++i) {
      apply(image, sectors[i]);
    }
  }
  return image;
}

std::vector<std::uint8_t> PowerCutDisk::after_cut_reordered(
    std::mt19937& random) const {
  std::vector<std::uint8_t> image = durable_;
  std::bernoulli_distribution kept(0.5);
  std::vector<Write> writes = unflushed_;
  if (cut_) writes.push_back(*cut_);
  for (const Write& write : writes) {
    for (const Write& sector : sectors_of(write)) {
      if (kept(random)) apply(image, sector);
    }
  }
  return image;
}

}  // namespace quillstone_dat::testing
