// Reading block chains, laid out as format/chain_layout.h says. A chain
// carries no length: the caller's `size` ends the walk, so a chain
// that loops back on itself ends too.

#ifndef QUILLSTONE_DAT_FORMAT_BLOCK_CHAIN_H_
#define QUILLSTONE_DAT_FORMAT_BLOCK_CHAIN_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/chain_layout.h"
#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/error.h"
#include "quillstone_dat/file_ext_polyfill.h"

namespace quillstone_dat {

// The Corruption errors of a chain read: a block whose payload offset does
// not fit in 32 bits, and a chain that continues where blocks have no
// payload.
DatError payload_out_of_range(std::uint32_t block);
DatError block_too_small(std::uint32_t block_size);

// The first `size` bytes of the chain starting at `offset`. A block size of
// 4 or less met where a chain continues, or a block whose payload offset
// does not fit in 32 bits, is Corruption. Memory grows with what has been
// read when `size` exceeds `length_hint` (the archive's length), so a size
// far past the end of the archive fails before it can exhaust memory.
DatResult<std::vector<std::uint8_t>> read_block_chain(
    const FileExtPolyfill& file, std::uint32_t block_size, std::uint32_t offset,
    std::uint32_t size, std::uint64_t length_hint);

// The stored bytes of `entry` in the archive that `header` heads, read as
// above. A failure carries the entry, the header and `length_hint` as its
// ErrorContext.
DatResult<std::vector<std::uint8_t>> read_entry_chain(
    const FileExtPolyfill& file, const DatHeader& header,
    const DatFileEntry& entry, std::uint64_t length_hint);

// ---------------------------------------------------------------------------
// Where a chain lies: the byte ranges that reading it touches, for checking
// an archive's layout.

// Why an extent walk stopped before it had `size` bytes.
struct ChainFault {
  enum class Kind : std::uint8_t {
    kOutsideFile,  // a block reaches past the end of the file
    kLoop,         // the chain comes back to one of its own blocks
    kUnreadable,   // a read fails, or the chain is Corruption to the reader
  };
  Kind kind;
  std::string detail;  // kUnreadable: the error's debug form
};

struct ChainExtent {
  // In chain order, blocks that follow each other on disk merged. A block
  // reaching past the end of the file is left out: what it would cover is
  // not its own.
  std::vector<ByteRange> ranges;
  std::optional<ChainFault> fault;
};

// Follows the chain of `size` bytes at `offset` in a file of `file_length`
// bytes as read_block_chain does, reading only next fields. It stops at the
// first block outside the file and at the first block reached a second
// time, so memory stays within one entry per block of the file.
ChainExtent chain_extent(const FileExtPolyfill& file, std::uint64_t file_length,
                         std::uint32_t block_size, std::uint32_t offset,
                         std::uint32_t size);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_FORMAT_BLOCK_CHAIN_H_
