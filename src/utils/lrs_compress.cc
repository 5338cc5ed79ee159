// LRS encoding: greedy matching with one step of lazy evaluation, over hash
// chains of 3-byte prefixes kept for the last 4096 positions.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "quillstone_dat/lrs.h"
#include "format/records.h"

namespace quillstone_dat {

namespace {

constexpr std::size_t kMaxDistance = 4095;
// Two-byte references save an eighth of a byte over two literals: not worth
// a search of their own.
constexpr std::size_t kMinMatch = 3;
constexpr std::size_t kMaxMatch = 17;
// A match this long is taken without looking one byte further for a longer
// one; the lookahead rarely pays once a match is near the longest possible.
constexpr std::size_t kLazyLimit = 12;
constexpr std::size_t kMaxChainSteps = 32;
// The hash table grows with the input up to this many bits, so that the
// many small files of an archive do not each pay for a table sized for
// large ones.
constexpr unsigned kMinHashBits = 8;
constexpr unsigned kMaxHashBits = 15;
// A power of two above kMaxDistance, so a position's chain link survives
// as long as the position is within reach.
constexpr std::size_t kWindowSlots = 4096;
constexpr std::uint32_t kNoPosition = std::numeric_limits<std::uint32_t>::max();

struct Match {
  std::size_t length = 0;
  std::size_t distance = 0;
};

// Positions indexed by their first three bytes: head_ holds the latest
// position of each hash, prev_ links each position to the one before it with
// the same hash. Positions must be inserted in increasing order.
class MatchFinder {
 public:
  explicit MatchFinder(std::span<const std::uint8_t> input)
      : input_(input),
        hash_bits_(std::clamp<unsigned>(
            static_cast<unsigned>(std::bit_width(input.size())), kMinHashBits,
            kMaxHashBits)),
        // Positions below the input's size need no more slots than that.
        window_mask_(std::min(kWindowSlots, std::bit_ceil(std::max<std::size_t>(
                                                input.size(), 1))) -
                     1),
        head_(std::size_t{1} << hash_bits_, kNoPosition),
        prev_(window_mask_ + 1, kNoPosition) {}

  // The longest match for the bytes at `pos` among earlier inserted
  // positions; length 0 when there is none of kMinMatch bytes. Then inserts
  // `pos`, when three bytes start there.
  Match find_and_insert(std::size_t pos) {
    if (input_.size() - pos < kMinMatch) return {};
    const std::size_t hash = hash_at(pos);
    const Match match = longest(pos, head_[hash]);
    prev_[pos & window_mask_] = head_[hash];
    head_[hash] = static_cast<std::uint32_t>(pos);
    return match;
  }

  // Inserts the positions from `first` up to, not including, `end`.
  void insert(std::size_t first, std::size_t end) {
    end = std::min(end, input_.size() - std::min(input_.size(), kMinMatch - 1));
    for (std::size_t pos = first; pos < end; ++pos) {
      const std::size_t hash = hash_at(pos);
      prev_[pos & window_mask_] = head_[hash];
      head_[hash] = static_cast<std::uint32_t>(pos);
    }
  }

 private:
  std::size_t hash_at(std::size_t pos) const {
    const std::uint8_t* p = input_.data() + pos;
    const std::uint32_t prefix = static_cast<std::uint32_t>(p[0]) |
                                 static_cast<std::uint32_t>(p[1]) << 8 |
                                 static_cast<std::uint32_t>(p[2]) << 16;
    return (prefix * 0x9E3779B1u) >> (32 - hash_bits_);
  }

  Match longest(std::size_t pos, std::uint32_t candidate) const {
    const std::uint8_t* const here = input_.data() + pos;
    const std::size_t limit = std::min(kMaxMatch, input_.size() - pos);
    Match best;
    for (std::size_t steps = 0;
         candidate != kNoPosition && steps < kMaxChainSteps; ++steps) {
      const std::size_t distance = pos - candidate;
      if (distance > kMaxDistance) break;
      const std::uint8_t* const there = input_.data() + candidate;
      // Only a candidate that matches one byte past the best so far can
      // beat it.
      if (there[best.length] == here[best.length]) {
        std::size_t length = 0;
        while (length < limit && there[length] == here[length]) ++length;
        if (length > best.length) {
          best = {length, distance};
          if (length == limit) break;
        }
      }
      candidate = prev_[candidate & window_mask_];
    }
    if (best.length < kMinMatch) return {};
    return best;
  }

  std::span<const std::uint8_t> input_;
  unsigned hash_bits_;
  std::size_t window_mask_;
  std::vector<std::uint32_t> head_;
  std::vector<std::uint32_t> prev_;
};

// Writes tokens into a buffer sized for the worst case, opening a flag
// byte only when a token needs it.
class TokenWriter {
 public:
  explicit TokenWriter(std::uint8_t* out) : out_(out) {}

  void literal(std::uint8_t byte) {
    flag(false);
    *out_++ = byte;
  }

  void reference(const Match& match) {
    flag(true);
    *out_++ = static_cast<std::uint8_t>(match.distance & 0xFF);
    *out_++ = static_cast<std::uint8_t>((match.distance >> 8) << 4 |
                                        (match.length - 2));
  }

  std::uint8_t* end() const { return out_; }

 private:
  void flag(bool set) {
    if (mask_ == 0) {
      flags_ = out_++;
      *flags_ = 0;
      mask_ = 0x80;
    }
    if (set) *flags_ = static_cast<std::uint8_t>(*flags_ | mask_);
    mask_ >>= 1;
  }

  std::uint8_t* out_;
  std::uint8_t* flags_ = nullptr;
  unsigned mask_ = 0;
};

}  // namespace

std::vector<std::uint8_t> compress_lrs(std::span<const std::uint8_t> input) {
  const std::size_t size = input.size();
  if (size > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("LRS input over 4 GiB: its size has no encoding");
  }
  // Every token costs no more than its bytes as literals, so the payload
  // never outgrows the input plus the prefix and one flag byte per eight.
  std::vector<std::uint8_t> out(kSizePrefixSize + size + (size + 7) / 8);
  encode_size_prefix(out, static_cast<std::uint32_t>(size));
  TokenWriter tokens(out.data() + kSizePrefixSize);
  MatchFinder finder(input);

  std::size_t pos = 0;
  Match match = size > 0 ? finder.find_and_insert(0) : Match{};
  while (pos < size) {
    if (match.length == 0) {
      tokens.literal(input[pos]);
      ++pos;
      if (pos < size) match = finder.find_and_insert(pos);
      continue;
    }
    if (match.length < kLazyLimit) {
      // A longer match one byte on is worth a literal first.
      const Match next = finder.find_and_insert(pos + 1);
      if (next.length > match.length) {
        tokens.literal(input[pos]);
        ++pos;
        match = next;
        continue;
      }
      finder.insert(pos + 2, pos + match.length);
    } else {
      finder.insert(pos + 1, pos + match.length);
    }
    tokens.reference(match);
    pos += match.length;
    match = pos < size ? finder.find_and_insert(pos) : Match{};
  }
  out.resize(static_cast<std::size_t>(tokens.end() - out.data()));
  out.shrink_to_fit();
  return out;
}

}  // namespace quillstone_dat
