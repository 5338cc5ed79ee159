// Where a block chain lies in the archive: the byte ranges that reading it
// touches, found by following its next fields exactly as the library's
// reads do (a next field of 0 means the rest follows contiguously). The
// walk stops at the first block outside the file and at the first block
// the chain reaches a second time, so a looping chain ends too.

#ifndef QUILLSTONE_DAT_TOOLS_CHAIN_EXTENT_H_
#define QUILLSTONE_DAT_TOOLS_CHAIN_EXTENT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quillstone_dat/file_ext_polyfill.h"

namespace quillstone_dat::tool {

struct ByteRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;  // one past the last byte
};

struct ChainFault {
  enum class Kind : std::uint8_t {
    kOutsideFile,  // a block reaches past the end of the archive
    kLoop,         // the chain comes back to one of its own blocks
  };
  Kind kind;
  std::string detail;
};

struct ChainExtent {
  // In chain order, blocks that follow each other on disk merged. A block
  // reaching past the end of the file is left out: what it would cover is
  // not its own.
  std::vector<ByteRange> ranges;
  std::optional<ChainFault> fault;
};

// Walks the chain of `size` bytes that starts at `offset` in an archive of
// `file_length` bytes. A block the library cannot read for other reasons
// (a failed read, a block size of 4 or less) ends the walk without a
// fault: reading the entry reports those.
ChainExtent walk_chain(const FileExtPolyfill& file, std::uint64_t file_length,
                       std::uint32_t block_size, std::uint32_t offset,
                       std::uint32_t size);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_CHAIN_EXTENT_H_
