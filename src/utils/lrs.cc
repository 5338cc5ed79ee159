// LRS decoding. Tokens are decoded into a window on the stack that keeps the
// last 4095 bytes back-references can reach; the window is appended to the
// result in large pieces. The result is reserved once and never zero-filled,
// and the token loop works on plain pointers with room behind the output for
// copies that write a few bytes too many.

#include "quillstone_dat/lrs.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "utils/coding.h"

namespace quillstone_dat {

namespace {

constexpr std::size_t kMaxDistance = 4095;
constexpr std::size_t kMaxLength = 17;
// What the eight tokens of one flag byte can yield.
constexpr std::size_t kGroupOutput = 8 * kMaxLength;
// A group decoded without bounds checks reads its flag byte, at most seven
// back-references and then eight literal bytes at once: 1 + 14 + 8.
constexpr std::size_t kGroupInput = 23;
// Copies may write this many bytes past their last byte.
constexpr std::size_t kOverrun = 16;
constexpr std::size_t kWindowSize = 32 * 1024;
// A window filled past this is flushed, so a whole group and its overrun
// always fit behind the output.
constexpr std::size_t kFlushAt = kWindowSize - kGroupOutput - kOverrun;
static_assert(kFlushAt > kMaxDistance);

// Each token costs at least one stream byte and yields at most 17 output
// bytes per two stream bytes, so no stream of n bytes yields more than this.
std::size_t max_output_of_stream(std::size_t stream_size) {
  return stream_size / 2 * 17 + 17;
}

// Through a register, so source and destination may overlap.
inline void copy8(std::uint8_t* dst, const std::uint8_t* src) {
  std::uint64_t v;
  std::memcpy(&v, src, 8);
  std::memcpy(dst, &v, 8);
}

// Writes `count` (at most 17) bytes at `op`, each the byte `distance` back,
// which must already be written; may write kOverrun bytes past them.
inline void copy_back(std::uint8_t* op, std::size_t distance,
                      std::size_t count) {
  const std::uint8_t* src = op - distance;
  std::uint8_t* const end = op + count;
  // A distance under 8 is a short repeating pattern: double its copy until
  // the gap reaches 8, so that each 8-byte step reads only written bytes.
  while (op - src < 8) {
    copy8(op, src);
    op += op - src;
  }
  while (op < end) {
    copy8(op, src);
    op += 8;
    src += 8;
  }
}

class Decoder {
 public:
  Decoder(const std::uint8_t* stream, std::size_t stream_size,
          std::size_t limit)
      : stream_(stream), stream_size_(stream_size), limit_(limit) {
    out_.reserve(limit);
  }

  std::vector<std::uint8_t> run() {
    while (size() < limit_ && pos_ < stream_size_) {
      if (op_ - window_.data() > static_cast<std::ptrdiff_t>(kFlushAt)) {
        flush();
      }
      if (mask_ == 0) {
        if (stream_size_ - pos_ >= kGroupInput &&
            limit_ - size() >= kGroupOutput) {
          if (!fast_group()) break;
          continue;
        }
        flags_ = stream_[pos_++];
        mask_ = 0x80;
      }
      if (!checked_token()) break;
      mask_ >>= 1;
    }
    out_.insert(out_.end(), window_.data() + pending_, op_);
    return std::move(out_);
  }

 private:
  std::size_t size() const {
    return window_start_ + static_cast<std::size_t>(op_ - window_.data());
  }

  // Appends what the result lacks, then keeps only what references reach.
  void flush() {
    out_.insert(out_.end(), window_.data() + pending_, op_);
    std::memmove(window_.data(), op_ - kMaxDistance, kMaxDistance);
    window_start_ = size() - kMaxDistance;
    op_ = window_.data() + kMaxDistance;
    pending_ = kMaxDistance;
  }

  // A reference whose distance is 0 or exceeds the output so far; false
  // when it ends decoding. Only the first 4095 output bytes can see one,
  // and the window has not moved then, so its index 0 is the output's.
  bool far_reference(std::size_t distance, std::size_t count) {
    const std::size_t at = size();
    if (distance == 0 || at == 0) return false;
    // The source index is held at 0 until the output outgrows the distance.
    for (std::size_t i = 0; i < count; ++i) {
      op_[i] = window_[at + i >= distance ? at + i - distance : 0];
    }
    op_ += count;
    return true;
  }

  // One token with every bound checked; false when it ends decoding.
  bool checked_token() {
    if ((flags_ & mask_) == 0) {
      if (pos_ >= stream_size_) return false;
      *op_++ = stream_[pos_++];
      return true;
    }
    if (stream_size_ - pos_ < 2) return false;
    const unsigned b0 = stream_[pos_];
    const unsigned b1 = stream_[pos_ + 1];
    pos_ += 2;
    const std::size_t distance = b0 | (b1 >> 4) << 8;
    const std::size_t count =
        std::min<std::size_t>((b1 & 0x0Fu) + 2, limit_ - size());
    if (distance - 1 >= size()) return far_reference(distance, count);
    copy_back(op_, distance, count);
    op_ += count;
    return true;
  }

  // The eight tokens of one flag byte, when the stream holds all of them
  // and the declared size leaves room for all they can yield; false when
  // a token ends decoding.
  bool fast_group() {
    // The next token's bit is the top bit; literal bits are clear, so the
    // leading zeros count a run of literals.
    std::uint32_t bits = std::uint32_t{stream_[pos_++]} << 24;
    int left = 8;
    while (true) {
      const int run = std::min(std::countl_zero(bits), left);
      if (run > 0) {
        copy8(op_, stream_ + pos_);
        op_ += run;
        pos_ += static_cast<std::size_t>(run);
        left -= run;
        if (left == 0) return true;
        bits <<= run;
      }
      const unsigned b0 = stream_[pos_];
      const unsigned b1 = stream_[pos_ + 1];
      pos_ += 2;
      const std::size_t distance = b0 | (b1 >> 4) << 8;
      const std::size_t length = (b1 & 0x0Fu) + 2;
      if (distance - 1 >= size()) {
        if (!far_reference(distance, length)) return false;
      } else {
        copy_back(op_, distance, length);
        op_ += length;
      }
      bits <<= 1;
      if (--left == 0) return true;
    }
  }

  const std::uint8_t* const stream_;
  const std::size_t stream_size_;
  const std::size_t limit_;
  std::size_t pos_ = 0;
  unsigned flags_ = 0;
  unsigned mask_ = 0;
  std::vector<std::uint8_t> out_;
  // Left uninitialized: every byte is written before it is read.
  std::array<std::uint8_t, kWindowSize> window_;
  std::uint8_t* op_ = window_.data();
  // Output bytes before the window's first byte.
  std::size_t window_start_ = 0;
  // Window bytes before this index are already in out_.
  std::size_t pending_ = 0;
};

}  // namespace

std::vector<std::uint8_t> decompress_lrs(std::span<const std::uint8_t> input) {
  if (input.size() < 4) return {input.begin(), input.end()};
  const std::uint32_t declared = decode_fixed32(input.data());
  const std::size_t stream_size = input.size() - 4;
  // The result is reserved once to what it can reach; a declared size beyond
  // what the stream can yield reserves nothing extra.
  const std::size_t limit =
      std::min<std::size_t>(declared, max_output_of_stream(stream_size));
  return Decoder(input.data() + 4, stream_size, limit).run();
}

}  // namespace quillstone_dat
