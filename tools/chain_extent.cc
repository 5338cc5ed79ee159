#include "chain_extent.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <limits>
#include <unordered_set>

namespace quillstone_dat::tool {
namespace {

constexpr std::uint32_t kNextFieldSize = 4;

std::uint32_t decode_u32(const std::array<std::uint8_t, 4>& bytes) {
  return static_cast<std::uint32_t>(bytes[0]) |
         static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 |
         static_cast<std::uint32_t>(bytes[3]) << 24;
}

void add_range(std::vector<ByteRange>& ranges, std::uint64_t begin,
               std::uint64_t end) {
  if (!ranges.empty() && ranges.back().end == begin) {
    ranges.back().end = end;
  } else {
    ranges.push_back({begin, end});
  }
}

}  // namespace

ChainExtent walk_chain(const FileExtPolyfill& file, std::uint64_t file_length,
                       std::uint32_t block_size, std::uint32_t offset,
                       std::uint32_t size) {
  ChainExtent extent;
  std::unordered_set<std::uint32_t> visited;
  std::uint64_t remaining = size;
  std::uint32_t block = offset;
  while (remaining > 0) {
    if (!visited.insert(block).second) {
      extent.fault = {ChainFault::Kind::kLoop,
                      fmt::format("chain comes back to its block at offset {} "
                                  "with {} bytes still to read",
                                  block, remaining)};
      break;
    }
    if (block > std::numeric_limits<std::uint32_t>::max() - kNextFieldSize) {
      break;
    }
    if (block + std::uint64_t{kNextFieldSize} > file_length) {
      extent.fault = {ChainFault::Kind::kOutsideFile,
                      fmt::format("block at offset {} lies past the end of "
                                  "the archive ({} bytes)",
                                  block, file_length)};
      break;
    }
    std::array<std::uint8_t, kNextFieldSize> field{};
    if (!file.read_exact_at_compat(field, block)) break;
    const std::uint32_t next = decode_u32(field);
    if (next != 0 && block_size <= kNextFieldSize) break;
    const std::uint64_t carried =
        next == 0
            ? remaining
            : std::min<std::uint64_t>(remaining, block_size - kNextFieldSize);
    const std::uint64_t end = block + std::uint64_t{kNextFieldSize} + carried;
    if (end > file_length) {
      extent.fault = {ChainFault::Kind::kOutsideFile,
                      fmt::format("block at offset {} runs to offset {}, past "
                                  "the end of the archive ({} bytes)",
                                  block, end, file_length)};
      break;
    }
    add_range(extent.ranges, block, end);
    remaining -= carried;
    block = next;
  }
  return extent;
}

}  // namespace quillstone_dat::tool
