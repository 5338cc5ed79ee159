#include "lib/block_chain.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string>

#include "utils/coding.h"

namespace quillstone_dat {

namespace {

constexpr std::size_t kGrowthStep = std::size_t{1} << 20;

DatError payload_out_of_range(std::uint32_t block) {
  return DatError::corruption("block at offset " + std::to_string(block) +
                              " has no payload offset within 32 bits");
}

DatError block_too_small(std::uint32_t block_size) {
  return DatError::corruption("block size " + std::to_string(block_size) +
                              " leaves no room for payload");
}

// The result buffer: sized in full up front when the archive can hold it,
// otherwise grown as bytes actually arrive.
class ChainBuffer {
 public:
  ChainBuffer(std::uint32_t size, std::uint64_t length_hint)
      : sized_in_full_(size <= length_hint) {
    bytes_.resize(sized_in_full_ ? size
                                 : std::min<std::size_t>(size, kGrowthStep));
  }

  bool sized_in_full() const { return sized_in_full_; }

  // Room for `count` more bytes after `filled`; at most double what holds.
  std::uint8_t* room(std::size_t filled, std::size_t count) {
    if (bytes_.size() < filled + count) {
      bytes_.resize(std::max(filled + count, bytes_.size() * 2));
    }
    return bytes_.data() + filled;
  }

  std::vector<std::uint8_t> take(std::size_t size) {
    bytes_.resize(size);
    return std::move(bytes_);
  }

 private:
  bool sized_in_full_;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace

DatResult<std::vector<std::uint8_t>> read_block_chain(
    const FileExtPolyfill& file, std::uint32_t block_size,
    std::uint32_t offset, std::uint32_t size, std::uint64_t length_hint) {
  if (size == 0) return std::vector<std::uint8_t>{};
  ChainBuffer buffer(size, length_hint);
  std::size_t copied = 0;
  std::uint32_t current = offset;

  while (copied < size) {
    if (current > std::numeric_limits<std::uint32_t>::max() - 4) {
      return std::unexpected(payload_out_of_range(current));
    }
    std::array<std::uint8_t, 4> next_field;
    if (auto read = file.read_exact_at_compat(next_field, current); !read) {
      return std::unexpected(std::move(read.error()));
    }
    const std::uint32_t next = decode_fixed32(next_field.data());
    const std::uint32_t payload_offset = current + 4;

    if (next != 0) {
      if (block_size <= 4) return std::unexpected(block_too_small(block_size));
      const std::size_t n = std::min<std::size_t>(size - copied, block_size - 4);
      if (auto read = file.read_exact_at_compat({buffer.room(copied, n), n},
                                                payload_offset);
          !read) {
        return std::unexpected(std::move(read.error()));
      }
      copied += n;
      current = next;
      continue;
    }

    // The rest follows contiguously. Read it in pieces no larger than what
    // has arrived so far, so that a read past the archive's end fails
    // before the buffer outgrows the data behind it.
    std::uint64_t at = payload_offset;
    while (copied < size) {
      const std::size_t n =
          buffer.sized_in_full()
              ? size - copied
              : std::min<std::size_t>(size - copied,
                                      std::max(kGrowthStep, copied));
      if (auto read = file.read_exact_at_compat({buffer.room(copied, n), n}, at);
          !read) {
        return std::unexpected(std::move(read.error()));
      }
      copied += n;
      at += n;
    }
  }
  return buffer.take(size);
}

}  // namespace quillstone_dat
