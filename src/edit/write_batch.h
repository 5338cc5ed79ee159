// WriteBatch gathers the writes of new chains before any is made: each
// block's next field and its share of the chain's bytes, a block that
// follows the one before it on disk joined to it (the rest of the earlier
// block zeroed), so chains laid out back to back go out in one write.

#ifndef QUILLSTONE_DAT_EDIT_WRITE_BATCH_H_
#define QUILLSTONE_DAT_EDIT_WRITE_BATCH_H_

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "edit/block_allocator.h"
#include "format/block_chain.h"
#include "quillstone_dat/io_error.h"
#include "utils/writable_file.h"

namespace quillstone_dat {

class WriteBatch {
 public:
  explicit WriteBatch(std::uint32_t block_size) : block_size_(block_size) {}

  // Lays `bytes` out over `chain`: every block but the last carries a
  // block's payload, the last the rest. Returns the byte ranges the
  // chain holds once written.
  std::vector<ByteRange> add_chain(const ChainPlacement& chain,
                                   std::span<const std::uint8_t> bytes);

  // Makes the writes, those furthest into the file first: appended blocks,
  // which a full disk refuses, go before any block inside the file changes.
  std::expected<void, IoError> write_to(WritableFile& file) const;

 private:
  struct Piece {
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> bytes;
    std::uint64_t last_block = 0;  // the block the piece ends in
  };

  std::uint32_t block_size_;
  std::vector<Piece> pieces_;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_EDIT_WRITE_BATCH_H_
