// BlockAllocator hands out the blocks of new chains: the free list's first,
// in list order, then new ones from the append point on, block_size apart.
// It leaves the list as it is; once the chains are committed, the list's
// owner drops the blocks taken (FreeList::drop_front).
//
// A chain laid over free blocks F1..Fk gets exactly the next fields those
// blocks already hold: F2..Fk, and for Fk its own list link. Only the
// chain's last block may keep a link it does not follow, and it carries
// all the bytes that remain. So writing the chain, even torn or half lost,
// changes no free block's next field, and the list that the header on disk
// describes stays whole until a new header replaces it.

#ifndef QUILLSTONE_DAT_EDIT_BLOCK_ALLOCATOR_H_
#define QUILLSTONE_DAT_EDIT_BLOCK_ALLOCATOR_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "format/free_list.h"
#include "quillstone_dat/error.h"

namespace quillstone_dat {

// Where a new chain goes: its blocks in chain order and the next field to
// write in each.
struct ChainPlacement {
  std::vector<std::uint32_t> blocks;
  std::vector<std::uint32_t> nexts;
};

class BlockAllocator {
 public:
  // `list` (which must outlive the allocator) may be empty; `append_point`
  // is a multiple of `block_size` past every block in use.
  BlockAllocator(std::uint32_t block_size, const FreeList& list,
                 std::uint64_t append_point);

  // Blocks for a chain of `size` bytes, at least one. Fails, having handed
  // out nothing, when the chain would end past 4 GiB.
  DatResult<ChainPlacement> place(std::uint64_t size);

  // Blocks taken from the front of the list.
  std::size_t reused() const { return taken_; }
  std::uint64_t appended() const { return appended_; }
  // The append point after every block handed out.
  std::uint64_t end() const { return end_; }

 private:
  const std::uint32_t block_size_;
  const FreeList& list_;
  std::size_t taken_ = 0;
  std::uint64_t appended_ = 0;
  std::uint64_t end_;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_EDIT_BLOCK_ALLOCATOR_H_
