// The arithmetic of a block chain, stated once. Every stored byte run after
// the header lies in a chain of blocks (format/records.h), each a next
// field and block_size - 4 bytes of payload; a run of n bytes takes
// ceil(n / payload) blocks, and an empty run still names one. Offsets are
// 32 bits wide, so nothing of an archive lies at or past 4 GiB.

#ifndef QUILLSTONE_DAT_FORMAT_CHAIN_LAYOUT_H_
#define QUILLSTONE_DAT_FORMAT_CHAIN_LAYOUT_H_

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "format/records.h"
#include "quillstone_dat/error.h"

namespace quillstone_dat {

// Bytes [begin, end) of an archive.
struct ByteRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;  // one past the last byte
};

// The most bytes an archive can hold: the last offset a block can start at
// is below it.
inline constexpr std::uint64_t kMaxArchiveSize =
    std::numeric_limits<std::uint32_t>::max();

// The last offset at which a block's payload offset still fits in 32 bits.
inline constexpr std::uint32_t kLastPayloadBlock =
    std::numeric_limits<std::uint32_t>::max() - kNextFieldSize;

constexpr bool payload_offset_fits(std::uint32_t block) {
  return block <= kLastPayloadBlock;
}

class ChainLayout {
 public:
  explicit constexpr ChainLayout(std::uint32_t block_size)
      : block_size_(block_size) {}

  constexpr std::uint32_t block_size() const { return block_size_; }

  // A block of 4 bytes or fewer holds only its next field, or not even that.
  constexpr bool has_payload() const { return block_size_ > kNextFieldSize; }

  // Precondition for the rest: has_payload().
  constexpr std::uint32_t payload() const {
    return block_size_ - kNextFieldSize;
  }

  // Blocks a run of `size` bytes takes; at least one.
  constexpr std::uint64_t blocks_for(std::uint64_t size) const {
    return std::max<std::uint64_t>(1, (size + payload() - 1) / payload());
  }

  // Bytes from a chain's first block to the end of its run when its blocks
  // follow each other on disk: the run plus one next field a block.
  constexpr std::uint64_t contiguous_span(std::uint64_t size) const {
    return size + kNextFieldSize * blocks_for(size);
  }

  // `offset` rounded up to a multiple of the block size.
  constexpr std::uint64_t round_up(std::uint64_t offset) const {
    return (offset + block_size_ - 1) / block_size_ * block_size_;
  }

  // The blocks that the bytes of `range`, part of one chain, lie in: one
  // every block_size bytes from its start, the last one whole.
  constexpr ByteRange whole_blocks(const ByteRange& range) const {
    return {range.begin, range.begin + round_up(range.end - range.begin)};
  }

  // How many blocks laid back to back from `block` (which fits) have their
  // payload offsets within 32 bits.
  constexpr std::uint64_t blocks_addressable_from(std::uint32_t block) const {
    return (kLastPayloadBlock - block) / block_size_ + 1;
  }

  // The offsets of the blocks that `ranges`, the ranges of one chain in
  // chain order, lie in.
  std::vector<std::uint32_t> blocks_in(
      std::span<const ByteRange> ranges) const {
    std::vector<std::uint32_t> blocks;
    for (const ByteRange& range : ranges) {
      for (std::uint64_t block = range.begin; block < range.end;
           block += block_size_) {
        blocks.push_back(static_cast<std::uint32_t>(block));
      }
    }
    return blocks;
  }

 private:
  std::uint32_t block_size_;
};


// Other("archive would reach N bytes, past the 4 GiB that 32-bit offsets
// address").
inline DatError archive_too_large(std::uint64_t end) {
  return DatError::other("archive would reach " + std::to_string(end) +
                         " bytes, past the 4 GiB that 32-bit offsets address");
}

// archive_too_large(end) when an archive would end past kMaxArchiveSize.
inline DatResult<void> check_archive_end(std::uint64_t end) {
  if (end <= kMaxArchiveSize) return {};
  return std::unexpected(archive_too_large(end));
}

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_FORMAT_CHAIN_LAYOUT_H_
