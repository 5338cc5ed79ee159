// Reading block chains. All stored data after the header lies in chains of
// block_size-byte blocks:
//
//   0  u32 next   absolute offset of the next block; 0: no block follows,
//                 and every byte still missing follows this field
//                 contiguously, past the block's end if need be
//   4  payload    block_size - 4 bytes of the stored data
//
// A chain carries no length: the caller's `size` ends the walk, so a chain
// that loops back on itself ends too.

#ifndef QUILLSTONE_DAT_LIB_BLOCK_CHAIN_H_
#define QUILLSTONE_DAT_LIB_BLOCK_CHAIN_H_

#include <cstdint>
#include <vector>

#include "quillstone_dat/error.h"
#include "quillstone_dat/file_ext_polyfill.h"

namespace quillstone_dat {

// The first `size` bytes of the chain starting at `offset`. A block size of
// 4 or less met where a chain continues, or a block whose payload offset
// does not fit in 32 bits, is Corruption. Memory grows with what has been
// read when `size` exceeds `length_hint` (the archive's length), so a size
// far past the end of the archive fails before it can exhaust memory.
DatResult<std::vector<std::uint8_t>> read_block_chain(
    const FileExtPolyfill& file, std::uint32_t block_size,
    std::uint32_t offset, std::uint32_t size, std::uint64_t length_hint);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_LIB_BLOCK_CHAIN_H_
