#include "edit/write_batch.h"

#include <algorithm>

#include "format/chain_layout.h"

namespace quillstone_dat {

namespace {

// Blocks are joined across at most this many unused bytes, so that a huge
// block size does not make the batch hold a block's worth of zeros.
constexpr std::uint64_t kMaxJoinedGap = 64 * 1024;

}  // namespace

std::vector<ByteRange> WriteBatch::add_chain(
    const ChainPlacement& chain, std::span<const std::uint8_t> bytes) {
  const std::size_t payload = ChainLayout(block_size_).payload();
  std::vector<ByteRange> held;
  std::size_t copied = 0;
  for (std::size_t i = 0; i < chain.blocks.size(); ++i) {
    const std::uint64_t block = chain.blocks[i];
    const std::size_t n = i + 1 == chain.blocks.size()
                              ? bytes.size() - copied
                              : std::min(payload, bytes.size() - copied);
    if (pieces_.empty() || pieces_.back().last_block + block_size_ != block ||
        block - pieces_.back().offset - pieces_.back().bytes.size() >
            kMaxJoinedGap) {
      pieces_.push_back({block, {}, block});
    }
    Piece& piece = pieces_.back();
    // A block right after the piece's last one: that block's unused rest
    // joins the write as zeros.
    piece.bytes.resize(block - piece.offset);
    piece.last_block = block;
    std::uint8_t next[kNextFieldSize];
    encode_next_field(next, chain.nexts[i]);
    piece.bytes.insert(piece.bytes.end(), next, next + kNextFieldSize);
    const auto share = bytes.subspan(copied, n);
    piece.bytes.insert(piece.bytes.end(), share.begin(), share.end());
    held.push_back({block, block + kNextFieldSize + n});
    copied += n;
  }
  return held;
}

std::expected<void, IoError> WriteBatch::write_to(WritableFile& file) const {
  std::vector<const Piece*> order;
  for (const Piece& piece : pieces_) order.push_back(&piece);
  std::ranges::sort(order, std::ranges::greater{}, &Piece::offset);
  for (const Piece* piece : order) {
    if (auto written = file.write_at(piece->bytes, piece->offset); !written) {
      return written;
    }
  }
  return {};
}

}  // namespace quillstone_dat
