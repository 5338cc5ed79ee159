#include "format/block_chain.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "format/chain_layout.h"
#include "format/records.h"
#include "quillstone_dat/error_context.h"

namespace quillstone_dat {

DatError payload_out_of_range(std::uint32_t block) {
  return DatError::corruption("block at offset " + std::to_string(block) +
                              " has no payload offset within 32 bits");
}

DatError block_too_small(std::uint32_t block_size) {
  return DatError::corruption("block size " + std::to_string(block_size) +
                              " leaves no room for payload");
}

namespace {

constexpr std::size_t kGrowthStep = std::size_t{1} << 20;
// Blocks fetched by one read when a chain looks contiguous.
constexpr std::size_t kBatchBlocks = 256;
// A batch is read with its next fields in place, four bytes a block, into
// the result just past what has been copied; this much room beyond the
// chain's size lets the last batch do the same.
constexpr std::size_t kBatchSlack = kNextFieldSize * kBatchBlocks;

// The result buffer: sized in full up front when the archive can hold it,
// otherwise grown as bytes actually arrive. Bytes are written before they
// are read, so growth need not zero them, but std::vector does; growing
// only when needed keeps that to the bytes really used.
class ChainBuffer {
 public:
  ChainBuffer(std::uint32_t size, std::uint64_t length_hint)
      : size_(size), sized_in_full_(size <= length_hint) {
    if (sized_in_full_) bytes_.reserve(std::size_t{size} + kBatchSlack);
    bytes_.resize(sized_in_full_ ? size
                                 : std::min<std::size_t>(size, kGrowthStep));
  }

  bool sized_in_full() const { return sized_in_full_; }

  // Room for `count` more bytes after `filled`, then `slack` bytes of
  // scratch; never beyond the chain's size plus the slack, and at most
  // double what is already held.
  std::uint8_t* room(std::size_t filled, std::size_t count,
                     std::size_t slack = 0) {
    const std::size_t wanted = filled + count + slack;
    if (bytes_.size() < wanted) {
      bytes_.resize(std::min<std::size_t>(size_ + slack,
                                          std::max(wanted, bytes_.size() * 2)));
    }
    return bytes_.data() + filled;
  }

  std::vector<std::uint8_t> take() {
    bytes_.resize(size_);
    return std::move(bytes_);
  }

 private:
  std::size_t size_;
  bool sized_in_full_;
  std::vector<std::uint8_t> bytes_;
};

class ChainWalk {
 public:
  ChainWalk(const FileExtPolyfill& file, std::uint32_t block_size,
            std::uint32_t offset, std::uint32_t size, std::uint64_t length_hint)
      : file_(file),
        layout_(block_size),
        size_(size),
        length_hint_(length_hint),
        current_(offset),
        buffer_(size, length_hint) {}

  DatResult<std::vector<std::uint8_t>> run() {
    while (copied_ < size_) {
      if (copied_ >= length_hint_ && repeat_if_looping()) break;
      auto step = layout_.has_payload() ? batch_step() : plain_step();
      if (!step) return std::unexpected(std::move(step.error()));
    }
    return buffer_.take();
  }

 private:
  std::size_t remaining() const { return size_ - copied_; }
  std::size_t payload() const { return layout_.payload(); }

  // A chain that has yielded more bytes than the archive holds is likely
  // to loop. Each step starts where the one before it jumped to, so once
  // such a start comes round again, every block of the loop has given its
  // whole payload and the walk would only repeat the bytes since then,
  // block for block, until `size` is reached. Those bytes are copied here
  // instead of being read again, one block a call, which for a block of 8
  // bytes and a size of 4 GiB would be a billion reads. Returns whether
  // the result is complete.
  bool repeat_if_looping() {
    const auto [seen, first_visit] =
        step_starts_.try_emplace(current_, copied_);
    if (first_visit) return false;
    const std::size_t loop_start = seen->second;
    // The whole size at once: doubling towards it would copy and briefly
    // hold half of it again.
    buffer_.room(copied_, remaining());
    while (copied_ < size_) {
      const std::size_t n = std::min(remaining(), copied_ - loop_start);
      std::uint8_t* const out = buffer_.room(copied_, n);
      std::memcpy(out, out - (copied_ - loop_start), n);
      copied_ += n;
    }
    return true;
  }

  // One block, read as the format describes it: the next field, then the
  // payload; a next field of 0 brings the whole rest.
  DatResult<void> plain_step() {
    if (!payload_offset_fits(current_)) {
      return std::unexpected(payload_out_of_range(current_));
    }
    std::array<std::uint8_t, kNextFieldSize> next_field;
    if (auto read = file_.read_exact_at_compat(next_field, current_); !read) {
      return std::unexpected(std::move(read.error()));
    }
    const std::uint32_t next = decode_next_field(next_field.data());
    if (next == 0)
      return read_rest_contiguously(std::uint64_t{current_} + kNextFieldSize);
    if (!layout_.has_payload())
      return std::unexpected(block_too_small(layout_.block_size()));
    const std::size_t n = std::min(remaining(), payload());
    if (auto read = file_.read_exact_at_compat({buffer_.room(copied_, n), n},
                                               current_ + kNextFieldSize);
        !read) {
      return std::unexpected(std::move(read.error()));
    }
    copied_ += n;
    current_ = next;
    return {};
  }

  // Reads up to batch_limit_ blocks in one read on the guess that they lie
  // back to back, straight into the result, then moves each payload down
  // over the next fields before it. Every block whose predecessor's next
  // field confirms the guess is kept; at the first that does not, the walk
  // moves to the true next offset. A short or interrupted read falls back
  // to one plain step, so that the end of the file is met exactly as the
  // plain walk meets it.
  DatResult<void> batch_step() {
    if (!payload_offset_fits(current_)) {
      return std::unexpected(payload_out_of_range(current_));
    }
    const std::uint32_t block_size = layout_.block_size();
    const std::size_t needed = layout_.blocks_for(remaining());
    const std::size_t fits = layout_.blocks_addressable_from(current_);
    const std::size_t blocks = std::min({needed, batch_limit_, fits});

    const std::size_t batch_bytes = std::min(remaining(), blocks * payload());
    const std::size_t total = batch_bytes + kNextFieldSize * blocks;
    std::uint8_t* const out =
        buffer_.room(copied_, batch_bytes, kNextFieldSize * blocks);
    auto read = file_.read_at({out, total}, current_);
    if (!read && read.error().kind() != IoErrorKind::kInterrupted) {
      return std::unexpected(std::move(read.error()));
    }
    if (!read || *read < total) return plain_step();

    // Block i lies at out + i * block_size and its payload goes to
    // out + i * payload(): below where it was read and short of block
    // i + 1, so each next field is read before anything overwrites it.
    std::size_t used = 0;
    while (used < blocks) {
      const std::uint32_t block = current_;
      const std::uint8_t* const raw = out + used * block_size;
      const std::uint32_t next = decode_next_field(raw);
      // The block's payload was read from block + 4 whatever its next field
      // says; with next 0 the rest follows it directly.
      const std::size_t n = std::min(remaining(), payload());
      std::memmove(out + used * payload(), raw + kNextFieldSize, n);
      ++used;
      copied_ += n;
      if (next == 0) {
        return read_rest_contiguously(std::uint64_t{block} + kNextFieldSize +
                                      n);
      }
      current_ = next;
      if (next != block + block_size) break;
    }
    // Guess no further ahead than twice the run just found, so a scattered
    // chain does not read many blocks to keep one.
    batch_limit_ = std::min(kBatchBlocks, 2 * used);
    return {};
  }

  // The rest follows contiguously. Without the whole result allocated, it
  // is read in pieces no larger than what has arrived, so a read past the
  // archive's end fails before the buffer outgrows the data behind it.
  DatResult<void> read_rest_contiguously(std::uint64_t at) {
    while (copied_ < size_) {
      const std::size_t n =
          buffer_.sized_in_full()
              ? remaining()
              : std::min(remaining(), std::max(kGrowthStep, copied_));
      if (auto read =
              file_.read_exact_at_compat({buffer_.room(copied_, n), n}, at);
          !read) {
        return std::unexpected(std::move(read.error()));
      }
      copied_ += n;
      at += n;
    }
    return {};
  }

  const FileExtPolyfill& file_;
  const ChainLayout layout_;
  const std::size_t size_;
  const std::uint64_t length_hint_;
  std::uint32_t current_;
  std::size_t batch_limit_ = kBatchBlocks;
  // Where steps began once the walk passed the archive's length, and how
  // many bytes had been copied then.
  std::unordered_map<std::uint32_t, std::size_t> step_starts_;
  std::size_t copied_ = 0;
  ChainBuffer buffer_;
};

}  // namespace

DatResult<std::vector<std::uint8_t>> read_block_chain(
    const FileExtPolyfill& file, std::uint32_t block_size, std::uint32_t offset,
    std::uint32_t size, std::uint64_t length_hint) {
  if (size == 0) return std::vector<std::uint8_t>{};
  return ChainWalk(file, block_size, offset, size, length_hint).run();
}

DatResult<std::vector<std::uint8_t>> read_entry_chain(
    const FileExtPolyfill& file, const DatHeader& header,
    const DatFileEntry& entry, std::uint64_t length_hint) {
  auto stored = read_block_chain(file, header.block_size, entry.offset,
                                 entry.size, length_hint);
  if (!stored) {
    ErrorContext context;
    context.archive_length = length_hint;
    context.header = header;
    context.entry = entry;
    stored.error().set_context(std::move(context));
  }
  return stored;
}

// ---------------------------------------------------------------------------
// Chain extents.

namespace {

void add_range(std::vector<ByteRange>& ranges, std::uint64_t begin,
               std::uint64_t end) {
  if (!ranges.empty() && ranges.back().end == begin) {
    ranges.back().end = end;
  } else {
    ranges.push_back({begin, end});
  }
}

ChainFault unreadable(const DatError& error) {
  return {ChainFault::Kind::kUnreadable, error.debug()};
}

}  // namespace

// The next fields of a chain's blocks, read through a window of the file
// that reaches as far as the chain still could, so that a chain whose
// blocks follow each other costs one read per window instead of one per
// block. A window read that fails or comes back short falls back to the
// exact read of the one field, so errors are those of that read.
class NextFieldReader {
 public:
  static constexpr std::size_t kWindowBytes = std::size_t{64} << 10;

  NextFieldReader(const FileExtPolyfill& file, std::uint64_t file_length,
                  std::uint32_t block_size)
      : file_(file), file_length_(file_length), layout_(block_size) {}

  // The next field of `block`, which holds `remaining` bytes of the chain
  // from its payload on. Precondition: block + 4 <= file_length.
  DatResult<std::uint32_t> read(std::uint32_t block, std::uint64_t remaining) {
    if (block < start_ ||
        block + std::uint64_t{kNextFieldSize} > start_ + window_.size()) {
      refill(block, remaining);
    }
    if (block >= start_ &&
        block + std::uint64_t{kNextFieldSize} <= start_ + window_.size()) {
      return decode_next_field(window_.data() + (block - start_));
    }
    std::array<std::uint8_t, kNextFieldSize> field{};
    if (auto read = file_.read_exact_at_compat(field, block); !read) {
      return std::unexpected(std::move(read.error()));
    }
    return decode_next_field(field.data());
  }

 private:
  void refill(std::uint32_t block, std::uint64_t remaining) {
    window_.clear();
    // Without payload, each block yields at most one byte of the rest.
    const std::uint64_t blocks =
        layout_.has_payload() ? layout_.blocks_for(remaining) : remaining;
    const std::uint64_t wanted =
        std::min({std::uint64_t{kWindowBytes}, blocks * layout_.block_size(),
                  file_length_ - block});
    if (wanted <= kNextFieldSize) return;
    window_.resize(static_cast<std::size_t>(wanted));
    const auto read = file_.read_at(window_, block);
    window_.resize(read ? *read : 0);
    start_ = block;
  }

  const FileExtPolyfill& file_;
  const std::uint64_t file_length_;
  const ChainLayout layout_;
  std::vector<std::uint8_t> window_;
  std::uint64_t start_ = 0;
};

namespace {

// The blocks a chain has reached, for telling a loop. A chain whose blocks
// only go forward, as writers lay them, cannot come back: it keeps a list
// until its first step back, and a set from then on.
class VisitedBlocks {
 public:
  // True the first time `block` is reached.
  bool first_visit(std::uint32_t block) {
    if (set_.empty()) {
      if (forward_.empty() || block > forward_.back()) {
        forward_.push_back(block);
        return true;
      }
      set_.insert(forward_.begin(), forward_.end());
      forward_ = {};
    }
    return set_.insert(block).second;
  }

 private:
  std::vector<std::uint32_t> forward_;
  std::unordered_set<std::uint32_t> set_;
};

}  // namespace

ChainExtent chain_extent(const FileExtPolyfill& file, std::uint64_t file_length,
                         std::uint32_t block_size, std::uint32_t offset,
                         std::uint32_t size) {
  const ChainLayout layout(block_size);
  ChainExtent extent;
  VisitedBlocks visited;
  NextFieldReader next_fields(file, file_length, block_size);
  std::uint64_t remaining = size;
  std::uint32_t block = offset;
  while (remaining > 0) {
    if (!visited.first_visit(block)) {
      extent.fault = {ChainFault::Kind::kLoop,
                      "chain comes back to its block at offset " +
                          std::to_string(block) + " with " +
                          std::to_string(remaining) + " bytes still to read"};
      break;
    }
    if (!payload_offset_fits(block)) {
      extent.fault = unreadable(payload_out_of_range(block));
      break;
    }
    if (block + std::uint64_t{kNextFieldSize} > file_length) {
      extent.fault = {ChainFault::Kind::kOutsideFile,
                      "block at offset " + std::to_string(block) +
                          " lies past the end of the archive (" +
                          std::to_string(file_length) + " bytes)"};
      break;
    }
    const auto next_field = next_fields.read(block, remaining);
    if (!next_field) {
      extent.fault = unreadable(next_field.error());
      break;
    }
    const std::uint32_t next = *next_field;
    if (next != 0 && !layout.has_payload()) {
      extent.fault = unreadable(block_too_small(block_size));
      break;
    }
    const std::uint64_t carried =
        next == 0 ? remaining
                  : std::min<std::uint64_t>(remaining, layout.payload());
    const std::uint64_t end = block + std::uint64_t{kNextFieldSize} + carried;
    if (end > file_length) {
      extent.fault = {ChainFault::Kind::kOutsideFile,
                      "block at offset " + std::to_string(block) +
                          " runs to offset " + std::to_string(end) +
                          ", past the end of the archive (" +
                          std::to_string(file_length) + " bytes)"};
      break;
    }
    add_range(extent.ranges, block, end);
    remaining -= carried;
    block = next;
  }
  return extent;
}

}  // namespace quillstone_dat
