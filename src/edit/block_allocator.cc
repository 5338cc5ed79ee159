#include "edit/block_allocator.h"

#include <algorithm>

#include "format/chain_layout.h"

namespace quillstone_dat {

BlockAllocator::BlockAllocator(std::uint32_t block_size, const FreeList& list,
                               std::uint64_t append_point)
    : block_size_(block_size), list_(list), end_(append_point) {}

DatResult<ChainPlacement> BlockAllocator::place(std::uint64_t size) {
  const std::uint64_t count = ChainLayout(block_size_).blocks_for(size);
  const std::uint64_t from_list =
      std::min<std::uint64_t>(count, list_.blocks.size() - taken_);
  const std::uint64_t new_end = end_ + (count - from_list) * block_size_;
  if (auto fits = check_archive_end(new_end); !fits) {
    return std::unexpected(std::move(fits.error()));
  }

  ChainPlacement chain;
  chain.blocks.reserve(count);
  chain.nexts.reserve(count);
  for (std::uint64_t i = 0; i < from_list; ++i) {
    chain.blocks.push_back(list_.blocks[taken_]);
    chain.nexts.push_back(list_.links[taken_]);
    ++taken_;
  }
  for (std::uint64_t i = from_list; i < count; ++i) {
    chain.blocks.push_back(static_cast<std::uint32_t>(end_));
    chain.nexts.push_back(0);
    end_ += block_size_;
    ++appended_;
  }
  // Within the list each link already names the following block; where the
  // chain leaves the list, or between appended blocks, the next field must
  // name the block that follows.
  for (std::size_t i = 0; i + 1 < chain.blocks.size(); ++i) {
    chain.nexts[i] = chain.blocks[i + 1];
  }
  return chain;
}

}  // namespace quillstone_dat
