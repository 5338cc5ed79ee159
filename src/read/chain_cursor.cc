#include "read/chain_cursor.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "format/block_chain.h"
#include "format/records.h"

namespace quillstone_dat {

namespace {

// The most bytes one guess over blocks that follow each other reads.
constexpr std::uint64_t kBatchBytes = std::uint64_t{1} << 20;

}  // namespace

ChainCursor::ChainCursor(const FileExtPolyfill& file, std::uint32_t block_size,
                         std::uint32_t first, std::uint32_t size,
                         std::uint64_t length_hint)
    : file_(file),
      layout_(block_size),
      first_(first),
      size_(size),
      length_hint_(length_hint) {
  runs_.push_back({0, first, 1});
}

std::uint64_t ChainCursor::effective_step(std::uint64_t step) const {
  if (!loop_ || step < loop_->start) return step;
  return loop_->start + (step - loop_->start) % loop_->period;
}

std::uint32_t ChainCursor::block_of(std::uint64_t step) const {
  step = effective_step(step);
  const auto run = std::ranges::upper_bound(runs_, step, {}, &Run::step) - 1;
  return static_cast<std::uint32_t>(
      run->block + (step - run->step) * layout_.block_size());
}

void ChainCursor::on_next_field(std::uint64_t step, std::uint32_t next) {
  if (mapping_done() || step + 1 != mapped_) return;
  if (next == 0) {
    tail_ = step;
  } else {
    append_step(next);
  }
}

void ChainCursor::append_step(std::uint32_t block) {
  // Only a loop takes a chain past the archive's length; from there on
  // each block is remembered by step until one comes round again.
  if (mapped_ * layout_.payload() >= length_hint_) {
    const auto [seen, fresh] = seen_.try_emplace(block, mapped_);
    if (!fresh) {
      loop_ = Loop{seen->second, mapped_ - seen->second};
      return;
    }
  }
  Run& last = runs_.back();
  if (std::uint64_t{last.block} +
              std::uint64_t{last.count} * layout_.block_size() ==
          block &&
      last.count < UINT32_MAX) {
    ++last.count;
  } else {
    runs_.push_back({mapped_, block, 1});
  }
  ++mapped_;
}

DatResult<void> ChainCursor::read(std::uint64_t pos,
                                  std::span<std::uint8_t> out) {
  if (out.empty()) return {};
  if (!layout_.has_payload()) return read_without_payload(pos, out);
  const std::uint64_t payload = layout_.payload();
  while (!out.empty()) {
    const std::uint64_t step = pos / payload;
    if (tail_ && step >= *tail_) {
      // From the block whose next field is 0, the rest follows it.
      const std::uint64_t at = std::uint64_t{block_of(*tail_)} +
                               kNextFieldSize + (pos - *tail_ * payload);
      if (auto read = file_.read_exact_at_compat(out, at); !read) {
        return std::unexpected(std::move(read.error()));
      }
      return {};
    }
    std::uint64_t first_step = mapped_ - 1;
    std::uint64_t from = pos;
    if (step < mapped_ || loop_) {
      first_step = effective_step(step);
      from = pos - (step - first_step) * payload;
    }
    auto copied = batch(first_step, from, out);
    if (!copied) return std::unexpected(std::move(copied.error()));
    pos += *copied;
    out = out.subspan(*copied);
  }
  return {};
}

DatResult<std::size_t> ChainCursor::batch(std::uint64_t first_step,
                                          std::uint64_t pos,
                                          std::span<std::uint8_t> out) {
  const std::uint32_t first_block = block_of(first_step);
  if (!payload_offset_fits(first_block)) {
    return std::unexpected(payload_out_of_range(first_block));
  }
  const std::uint64_t block_size = layout_.block_size();
  const std::uint64_t payload = layout_.payload();
  const std::uint64_t end = pos + out.size();
  const std::uint64_t last_step = (end - 1) / payload;
  const std::uint64_t blocks =
      std::min({last_step - first_step + 1,
                std::max<std::uint64_t>(1, kBatchBytes / block_size),
                layout_.blocks_addressable_from(first_block)});
  const std::uint64_t last_begin = (first_step + blocks - 1) * payload;
  const std::uint64_t last_needed =
      end > last_begin ? std::min(payload, end - last_begin) : 0;
  const std::size_t total = static_cast<std::size_t>(
      (blocks - 1) * block_size + kNextFieldSize + last_needed);
  if (scratch_.size() < total) scratch_.resize(total);
  auto read = file_.read_at({scratch_.data(), total}, first_block);
  if (!read && read.error().kind() != IoErrorKind::kInterrupted) {
    return std::unexpected(std::move(read.error()));
  }
  if (!read || *read < total) {
    return plain_block(first_step, first_block, pos, out);
  }

  std::size_t copied = 0;
  for (std::uint64_t i = 0; i < blocks; ++i) {
    const std::uint64_t step = first_step + i;
    const std::uint64_t block = first_block + i * block_size;
    const std::uint8_t* const raw = scratch_.data() + i * block_size;
    const std::uint64_t begin = step * payload;
    const std::uint64_t lo = std::max(pos, begin);
    const std::uint64_t hi = std::min(end, begin + payload);
    if (lo < hi) {
      std::memcpy(out.data() + (lo - pos), raw + kNextFieldSize + (lo - begin),
                  hi - lo);
      copied += hi - lo;
    }
    const std::uint32_t next = decode_next_field(raw);
    on_next_field(step, next);
    if (next == 0 || next != block + block_size) break;
  }
  return copied;
}

DatResult<std::size_t> ChainCursor::plain_block(std::uint64_t step,
                                                std::uint32_t block,
                                                std::uint64_t pos,
                                                std::span<std::uint8_t> out) {
  std::array<std::uint8_t, kNextFieldSize> field;
  if (auto read = file_.read_exact_at_compat(field, block); !read) {
    return std::unexpected(std::move(read.error()));
  }
  const std::uint64_t payload = layout_.payload();
  const std::uint64_t begin = step * payload;
  const std::uint64_t lo = std::max(pos, begin);
  const std::uint64_t hi = std::min(pos + out.size(), begin + payload);
  if (lo < hi) {
    if (auto read = file_.read_exact_at_compat(
            out.subspan(lo - pos, hi - lo),
            std::uint64_t{block} + kNextFieldSize + (lo - begin));
        !read) {
      return std::unexpected(std::move(read.error()));
    }
  }
  on_next_field(step, decode_next_field(field.data()));
  return lo < hi ? hi - lo : 0;
}

DatResult<void> ChainCursor::read_without_payload(std::uint64_t pos,
                                                  std::span<std::uint8_t> out) {
  if (!tail_) {
    if (!payload_offset_fits(first_)) {
      return std::unexpected(payload_out_of_range(first_));
    }
    std::array<std::uint8_t, kNextFieldSize> field;
    if (auto read = file_.read_exact_at_compat(field, first_); !read) {
      return std::unexpected(std::move(read.error()));
    }
    if (decode_next_field(field.data()) != 0) {
      return std::unexpected(block_too_small(layout_.block_size()));
    }
    tail_ = 0;
  }
  if (auto read = file_.read_exact_at_compat(
          out, std::uint64_t{first_} + kNextFieldSize + pos);
      !read) {
    return std::unexpected(std::move(read.error()));
  }
  return {};
}

}  // namespace quillstone_dat
