// LRS decoding. Tokens are decoded into a window on the stack that keeps the
// last 4095 bytes back-references can reach; the window is appended to the
// result in large pieces, so the result is reserved once and never
// zero-filled. Away from the ends of the stream and of the declared size,
// whole flag groups are decoded without bounds checks: a table gives where
// each flag byte's references fall, literals are copied in runs and
// references in wide steps, with room behind the output for copies that
// write a few bytes too many.

#include "quillstone_dat/lrs.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "format/records.h"

namespace quillstone_dat {

namespace {

constexpr std::size_t kMaxDistance = 4095;
constexpr std::size_t kMaxLength = 17;
// What the eight tokens of one flag byte can yield.
constexpr std::size_t kGroupOutput = 8 * kMaxLength;
// A group decoded without bounds checks reads its flag byte, up to eight
// back-references and then eight literal bytes at once: 1 + 16 + 8.
constexpr std::size_t kGroupInput = 25;
// Copies may write this many bytes past their last byte.
constexpr std::size_t kOverrun = 32;
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

// Writes `count` (1 to 17) bytes at `op`, each the byte `distance` back,
// which must already be written; may write kOverrun bytes past them.
inline void copy_back(std::uint8_t* op, std::size_t distance,
                      std::size_t count) {
  const std::uint8_t* src = op - distance;
  if (distance >= 16) {
    // One 16-byte step reads only bytes written before it; a 17th byte
    // may repeat the first.
    std::memcpy(op, src, 16);
    op[16] = src[16];
    return;
  }
  if (distance >= 8) {
    // Each 8-byte step reads only bytes written before it.
    copy8(op, src);
    copy8(op + 8, src + 8);
    copy8(op + 16, src + 16);
    return;
  }
  // A short repeating pattern: double its copy until the gap reaches 8.
  std::uint8_t* const end = op + count;
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

// A reference from `op`, output index `at`, whose distance exceeds the
// output so far: the source index is held at 0 until the output outgrows
// the distance. Only the first 4095 output bytes can see one, and the
// window has not moved then, so its index 0 is the output's.
inline void copy_from_start(std::uint8_t* op, const std::uint8_t* window,
                            std::size_t at, std::size_t distance,
                            std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    op[i] = window[at + i >= distance ? at + i - distance : 0];
  }
}

// Where the references of a flag byte fall: the literals before each of
// them, then the literals after the last.
struct GroupShape {
  std::uint8_t references = 0;
  std::array<std::uint8_t, 9> literals{};
};

constexpr std::array<GroupShape, 256> make_group_shapes() {
  std::array<GroupShape, 256> shapes{};
  for (unsigned flags = 0; flags < 256; ++flags) {
    GroupShape& shape = shapes[flags];
    std::uint8_t run = 0;
    for (unsigned mask = 0x80; mask != 0; mask >>= 1) {
      if ((flags & mask) != 0) {
        shape.literals[shape.references++] = run;
        run = 0;
      } else {
        ++run;
      }
    }
    shape.literals[shape.references] = run;
  }
  return shapes;
}

constexpr std::array<GroupShape, 256> kGroupShapes = make_group_shapes();

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
        const Fast fast = fast_groups();
        if (fast == Fast::kEnded) break;
        // Back to the top, which flushes the window when it is full.
        if (fast == Fast::kProgressed) continue;
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
  enum class Fast { kNone, kProgressed, kEnded };

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
    const std::size_t at = size();
    const std::size_t count =
        std::min<std::size_t>((b1 & 0x0Fu) + 2, limit_ - at);
    // Distance 0 ends the stream; with nothing decoded yet there is no
    // byte to refer back to.
    if (distance == 0 || at == 0) return false;
    if (distance > at) {
      copy_from_start(op_, window_.data(), at, distance, count);
    } else {
      copy_back(op_, distance, count);
    }
    op_ += count;
    return true;
  }

  // Whole groups of eight tokens, for as long as the stream holds all of a
  // group's bytes, the declared size leaves room for all it can yield and
  // the window has room for it. The state lives in locals here: stores
  // through byte pointers could alias members, which would keep them out
  // of registers.
  Fast fast_groups() {
    if (stream_size_ - pos_ < kGroupInput || limit_ - size() < kGroupOutput) {
      return Fast::kNone;
    }
    std::uint8_t* const window = window_.data();
    const std::size_t window_start = window_start_;
    std::uint8_t* const op_stop =
        window + std::min(kFlushAt, limit_ - window_start - kGroupOutput);
    const std::uint8_t* const in_stop = stream_ + stream_size_ - kGroupInput;
    std::uint8_t* op = op_;
    const std::uint8_t* in = stream_ + pos_;
    Fast result = Fast::kNone;
    while (result != Fast::kEnded && op <= op_stop && in <= in_stop) {
      result = Fast::kProgressed;
      const GroupShape& shape = kGroupShapes[*in++];
      for (unsigned r = 0; r < shape.references; ++r) {
        // Eight bytes whatever the run: bytes past it are overwritten.
        copy8(op, in);
        op += shape.literals[r];
        in += shape.literals[r];
        const std::size_t token = std::size_t{in[0]} | std::size_t{in[1]} << 8;
        const std::size_t distance = (token & 0xFF) | (token >> 12) << 8;
        const std::size_t length = ((token >> 8) & 0x0F) + 2;
        in += 2;
        const std::size_t at =
            window_start + static_cast<std::size_t>(op - window);
        if (distance - 1 >= at) [[unlikely]] {
          if (distance == 0 || at == 0) {
            result = Fast::kEnded;
            break;
          }
          copy_from_start(op, window, at, distance, length);
        } else {
          copy_back(op, distance, length);
        }
        op += length;
      }
      if (result == Fast::kEnded) break;
      copy8(op, in);
      op += shape.literals[shape.references];
      in += shape.literals[shape.references];
    }
    op_ = op;
    pos_ = static_cast<std::size_t>(in - stream_);
    return result;
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
  if (input.size() < kSizePrefixSize) return {input.begin(), input.end()};
  const std::uint32_t declared = decode_size_prefix(input);
  const std::size_t stream_size = input.size() - kSizePrefixSize;
  // The result is reserved once to what it can reach; a declared size beyond
  // what the stream can yield reserves nothing extra.
  const std::size_t limit =
      std::min<std::size_t>(declared, max_output_of_stream(stream_size));
  return Decoder(input.data() + kSizePrefixSize, stream_size, limit).run();
}

std::optional<std::uint32_t> lrs_declared_size(
    std::span<const std::uint8_t> input) {
  if (input.size() < kSizePrefixSize) return std::nullopt;
  return decode_size_prefix(input);
}

std::uint32_t lrs_decoded_size(std::span<const std::uint8_t> input) {
  if (input.size() < kSizePrefixSize) {
    return static_cast<std::uint32_t>(input.size());
  }
  const std::uint64_t declared = decode_size_prefix(input);
  const std::span<const std::uint8_t> stream = input.subspan(kSizePrefixSize);
  // The decoder's walk over the tokens, counting instead of copying.
  std::uint64_t out = 0;
  std::size_t pos = 0;
  unsigned flags = 0;
  unsigned mask = 0;
  while (out < declared && pos < stream.size()) {
    if (mask == 0) {
      flags = stream[pos++];
      mask = 0x80;
    }
    if ((flags & mask) == 0) {
      if (pos >= stream.size()) break;
      ++pos;
      ++out;
    } else {
      if (stream.size() - pos < 2) break;
      const unsigned b0 = stream[pos];
      const unsigned b1 = stream[pos + 1];
      pos += 2;
      const unsigned distance = b0 | (b1 >> 4) << 8;
      if (distance == 0 || out == 0) break;
      out = std::min<std::uint64_t>(declared, out + (b1 & 0x0Fu) + 2);
    }
    mask >>= 1;
  }
  return static_cast<std::uint32_t>(out);
}

}  // namespace quillstone_dat
