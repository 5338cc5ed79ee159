// A ranged reader over one block chain: bytes [pos, pos + n) of the first
// `size` bytes the chain yields, exactly as read_block_chain would give
// them, read from the blocks that hold them alone. The cursor remembers
// where each block of the chain it has passed lies (as runs of blocks that
// follow each other on disk, so a contiguous chain is one record), so a
// later read starts from the nearest block it knows instead of the chain's
// head; a read in sequence after the last costs one positioned read. To
// reach a block it has not seen, it follows next fields from the last one
// it knows, reading the blocks between in large reads on the guess that
// they follow each other. A chain that comes back to a block it passed
// (past the archive's length, where only a loop can take it) is known from
// then on by its period, so a read far into a looping chain is no longer
// than one round of the loop.
//
// Not thread-safe: one cursor serves one reader at a time.

#ifndef QUILLSTONE_DAT_READ_CHAIN_CURSOR_H_
#define QUILLSTONE_DAT_READ_CHAIN_CURSOR_H_

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "format/chain_layout.h"
#include "quillstone_dat/error.h"
#include "quillstone_dat/file_ext_polyfill.h"

namespace quillstone_dat {

class ChainCursor {
 public:
  ChainCursor(const FileExtPolyfill& file, std::uint32_t block_size,
              std::uint32_t first, std::uint32_t size,
              std::uint64_t length_hint);

  std::uint32_t size() const { return size_; }

  // Fills `out` with the chain's bytes from `pos`. Precondition:
  // pos + out.size() <= size(). Fails as read_block_chain fails where it
  // reads the same bytes: Io for a read past the end of the file,
  // Corruption for a block without a payload offset within 32 bits or a
  // chain that continues where blocks have no payload.
  DatResult<void> read(std::uint64_t pos, std::span<std::uint8_t> out);

  // How many records of the chain's layout the cursor holds, for tests.
  std::size_t runs() const { return runs_.size(); }

 private:
  // Blocks of steps [step, step + count) at block, block + block_size, ...
  struct Run {
    std::uint64_t step;
    std::uint32_t block;
    std::uint32_t count;
  };
  struct Loop {
    std::uint64_t start;
    std::uint64_t period;
  };

  bool mapping_done() const { return tail_.has_value() || loop_.has_value(); }
  // Step `step` within the mapped steps: the same block as a step past a
  // loop's start one period on.
  std::uint64_t effective_step(std::uint64_t step) const;
  std::uint32_t block_of(std::uint64_t step) const;
  void on_next_field(std::uint64_t step, std::uint32_t next);
  void append_step(std::uint32_t block);
  // Reads blocks from the mapped step `first_step` on, copying what falls
  // in [pos, pos + out.size()); the bytes copied.
  DatResult<std::size_t> batch(std::uint64_t first_step, std::uint64_t pos,
                               std::span<std::uint8_t> out);
  DatResult<std::size_t> plain_block(std::uint64_t step, std::uint32_t block,
                                     std::uint64_t pos,
                                     std::span<std::uint8_t> out);
  DatResult<void> read_without_payload(std::uint64_t pos,
                                       std::span<std::uint8_t> out);

  const FileExtPolyfill& file_;
  const ChainLayout layout_;
  const std::uint32_t first_;
  const std::uint32_t size_;
  const std::uint64_t length_hint_;
  std::vector<Run> runs_;
  std::uint64_t mapped_ = 1;  // steps whose blocks are known; 0 is first_
  std::optional<std::uint64_t> tail_;  // the step whose next field is 0
  std::optional<Loop> loop_;
  // Blocks of the steps past the archive's length, by step.
  std::unordered_map<std::uint32_t, std::uint64_t> seen_;
  std::vector<std::uint8_t> scratch_;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_READ_CHAIN_CURSOR_H_
