// LRS encoding at three levels, all over a 4095-byte window and matches of
// up to 17 bytes:
//
//   fast     the four latest positions of a hash of the next three bytes,
//            the longest match among them taken at once; over data that
//            does not compress, a probe every few bytes
//   default  hash chains of four-byte prefixes walked a few steps, the last
//            position of each three-byte prefix for shorter matches, and
//            one step of lazy evaluation
//   best     the cheapest token stream over the longest match at every
//            position: a literal costs 9 bits (its byte and its flag bit),
//            a reference 17 whatever its length, so a shortest path over
//            the positions is an optimal parse for the matches found

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "format/records.h"
#include "quillstone_dat/lrs.h"

namespace quillstone_dat {

namespace {

constexpr std::size_t kMaxDistance = 4095;
constexpr std::size_t kMaxMatch = 17;
// Two-byte references save one bit over two literals: only the best level,
// which counts bits, takes them.
constexpr std::size_t kMinMatch = 3;
constexpr std::uint32_t kNoPosition = std::numeric_limits<std::uint32_t>::max();

struct Match {
  std::size_t length = 0;
  std::size_t distance = 0;
};

std::uint32_t load24(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) |
         static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16;
}

std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// How many of the first `limit` (at most 17) bytes at `a` and `b` agree;
// `wide` says that 24 bytes can be read at both, so words compare at once.
std::size_t common_length(const std::uint8_t* a, const std::uint8_t* b,
                          std::size_t limit, bool wide) {
  if (wide) {
    for (std::size_t at = 0; at < limit; at += 8) {
      const std::uint64_t diff = load64(a + at) ^ load64(b + at);
      if (diff != 0) {
        const std::size_t same =
            at + static_cast<std::size_t>(std::countr_zero(diff)) / 8;
        return std::min(same, limit);
      }
    }
    return limit;
  }
  std::size_t length = 0;
  while (length < limit && a[length] == b[length]) ++length;
  return length;
}

// Hash bits for a table over `size` input bytes: small inputs, the many
// small files of an archive, do not each pay for a table sized for large.
unsigned hash_bits_for(std::size_t size, unsigned most) {
  return std::clamp<unsigned>(static_cast<unsigned>(std::bit_width(size)), 8,
                              most);
}

// Writes tokens into a buffer sized for the worst case, opening a flag
// byte only when a token needs it.
class TokenWriter {
 public:
  explicit TokenWriter(std::uint8_t* out) : out_(out) {}

  void literals(const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
      if (mask_ == 0 && count >= 8) {
        // A whole group of literals: a zero flag byte, then the bytes.
        *out_++ = 0;
        std::memcpy(out_, bytes, 8);
        out_ += 8;
        bytes += 8;
        count -= 8;
        continue;
      }
      flag(false);
      *out_++ = *bytes++;
      --count;
    }
  }

  void reference(std::size_t length, std::size_t distance) {
    flag(true);
    *out_++ = static_cast<std::uint8_t>(distance & 0xFF);
    *out_++ = static_cast<std::uint8_t>((distance >> 8) << 4 | (length - 2));
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

// ---------------------------------------------------------------------------
// fast

void compress_fast(std::span<const std::uint8_t> input, TokenWriter& out) {
  // Each hash keeps its latest kWays positions, newest first.
  constexpr std::size_t kWays = 4;
  const std::uint8_t* const in = input.data();
  const std::size_t size = input.size();
  const unsigned bits = hash_bits_for(size, 12);
  // Position + 1 of the last three bytes with each hash; 0: none yet.
  std::vector<std::uint32_t> table(kWays << bits, 0);
  const auto bucket_of = [&](std::size_t at) {
    return table.data() +
           kWays * ((load24(in + at) * 0x9E3779B1u) >> (32 - bits));
  };
  const auto insert = [](std::uint32_t* bucket, std::size_t at) {
    for (std::size_t way = kWays - 1; way > 0; --way) {
      bucket[way] = bucket[way - 1];
    }
    bucket[0] = static_cast<std::uint32_t>(at + 1);
  };
  std::size_t anchor = 0;  // the first byte not yet written
  std::size_t pos = 0;
  std::size_t misses = 0;
  while (pos + kMinMatch <= size) {
    std::uint32_t* const bucket = bucket_of(pos);
    const std::size_t limit = std::min(kMaxMatch, size - pos);
    const bool wide = pos + 24 <= size;
    Match best;
    // Once a match reaches the limit, no candidate can beat it (and the
    // byte past it may lie past the input).
    for (std::size_t way = 0; way < kWays && best.length < limit; ++way) {
      const std::size_t seen = bucket[way];
      if (seen == 0 || pos - (seen - 1) > kMaxDistance) break;
      const std::size_t from = seen - 1;
      if (in[from + best.length] != in[pos + best.length]) continue;
      const std::size_t length =
          common_length(in + from, in + pos, limit, wide);
      if (length > best.length) best = {length, pos - from};
    }
    insert(bucket, pos);
    if (best.length >= kMinMatch) {
      out.literals(in + anchor, pos - anchor);
      out.reference(best.length, best.distance);
      // The last two bytes of a match often start the next repeat: hash
      // them (all of its positions would cost more and find less, crowding
      // the buckets).
      const std::size_t end = pos + best.length;
      for (std::size_t at = std::max(pos + 1, end - 2);
           at < end && at + kMinMatch <= size; ++at) {
        insert(bucket_of(at), at);
      }
      pos = end;
      anchor = pos;
      misses = 0;
      continue;
    }
    // The longer nothing matches, the further each probe jumps; the bytes
    // jumped over are written as literals all the same.
    pos += 1 + (misses++ >> 5);
  }
  out.literals(in + anchor, size - anchor);
}

// ---------------------------------------------------------------------------
// default and best: hash chains

// Positions indexed by their first four bytes: head_ holds the latest
// position of each hash, prev_ links each position to the one before it with
// the same hash; far fewer positions share four bytes than three, so a walk
// of a few steps reaches the long matches. last_three_ holds the latest
// position of each three-byte prefix, for matches of three. A chain walk
// stops at `max_steps` or at a match of `enough` bytes. Positions must be
// inserted in increasing order.
class MatchFinder {
 public:
  MatchFinder(std::span<const std::uint8_t> input, std::size_t max_steps,
              std::size_t enough)
      : input_(input),
        hash_bits_(hash_bits_for(input.size(), 15)),
        // Positions below the input's size need no more slots than that.
        window_mask_(
            std::min<std::size_t>(
                4096, std::bit_ceil(std::max<std::size_t>(input.size(), 1))) -
            1),
        max_steps_(max_steps),
        enough_(enough),
        head_(std::size_t{1} << hash_bits_, kNoPosition),
        prev_(window_mask_ + 1, kNoPosition),
        last_three_(std::size_t{1} << kThreeBits, kNoPosition) {}

  // The longest match of kMinMatch bytes or more for the bytes at `pos`
  // among earlier inserted positions; length 0 when there is none. Then
  // inserts `pos`.
  Match find_and_insert(std::size_t pos) {
    if (input_.size() - pos < kMinMatch) return {};
    const std::size_t hash = hash_at(pos);
    Match match = longest(pos, head_[hash]);
    const std::size_t three = three_hash_at(pos);
    const std::uint32_t candidate = last_three_[three];
    if (match.length < 4 && candidate != kNoPosition &&
        pos - candidate <= kMaxDistance) {
      const std::size_t length = common_length(
          input_.data() + candidate, input_.data() + pos,
          std::min(kMaxMatch, input_.size() - pos), pos + 24 <= input_.size());
      if (length >= kMinMatch && length > match.length) {
        match = {length, pos - candidate};
      }
    }
    link(pos, hash, three);
    return match;
  }

  // Inserts the positions from `first` up to, not including, `end`.
  void insert(std::size_t first, std::size_t end) {
    end = std::min(end, input_.size() - std::min(input_.size(), kMinMatch - 1));
    for (std::size_t pos = first; pos < end; ++pos) {
      link(pos, hash_at(pos), three_hash_at(pos));
    }
  }

 private:
  static constexpr unsigned kThreeBits = 12;

  // Four bytes where there are, else the three left.
  std::size_t hash_at(std::size_t pos) const {
    const std::uint8_t* const p = input_.data() + pos;
    const std::uint32_t prefix = input_.size() - pos >= 4
                                     ? load24(p) | std::uint32_t{p[3]} << 24
                                     : load24(p);
    return (prefix * 0x9E3779B1u) >> (32 - hash_bits_);
  }

  std::size_t three_hash_at(std::size_t pos) const {
    return (load24(input_.data() + pos) * 0x9E3779B1u) >> (32 - kThreeBits);
  }

  void link(std::size_t pos, std::size_t hash, std::size_t three) {
    prev_[pos & window_mask_] = head_[hash];
    head_[hash] = static_cast<std::uint32_t>(pos);
    last_three_[three] = static_cast<std::uint32_t>(pos);
  }

  Match longest(std::size_t pos, std::uint32_t candidate) const {
    const std::uint8_t* const here = input_.data() + pos;
    const std::size_t limit = std::min(kMaxMatch, input_.size() - pos);
    const bool wide = pos + 24 <= input_.size();
    Match best;
    for (std::size_t steps = 0; candidate != kNoPosition && steps < max_steps_;
         ++steps) {
      const std::size_t distance = pos - candidate;
      if (distance > kMaxDistance) break;
      const std::uint8_t* const there = input_.data() + candidate;
      // Only a candidate that matches one byte past the best so far can
      // beat it.
      if (there[best.length] == here[best.length]) {
        const std::size_t length = common_length(there, here, limit, wide);
        if (length > best.length) {
          best = {length, distance};
          if (length >= std::min(limit, enough_)) break;
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
  std::size_t max_steps_;
  std::size_t enough_;
  std::vector<std::uint32_t> head_;
  std::vector<std::uint32_t> prev_;
  std::vector<std::uint32_t> last_three_;
};

void compress_lazy(std::span<const std::uint8_t> input, TokenWriter& out) {
  // A match this long is taken without looking one byte further for a
  // longer one, which rarely pays once a match is near the longest.
  constexpr std::size_t kLazyLimit = 6;
  // After this many positions in a row without a match, the search skips
  // ahead as the fast level does: data that does not compress costs
  // little.
  constexpr std::size_t kMissesBeforeSkipping = 128;
  const std::uint8_t* const in = input.data();
  const std::size_t size = input.size();
  MatchFinder finder(input, 12, 12);
  std::size_t anchor = 0;
  std::size_t pos = 0;
  std::size_t misses = 0;
  Match match = size > 0 ? finder.find_and_insert(0) : Match{};
  while (pos < size) {
    if (match.length == 0) {
      ++misses;
      pos += misses < kMissesBeforeSkipping
                 ? 1
                 : 1 + ((misses - kMissesBeforeSkipping) >> 4);
      if (pos < size) match = finder.find_and_insert(pos);
      continue;
    }
    misses = 0;
    if (match.length < kLazyLimit && pos + 1 < size) {
      // A longer match one byte on is worth a literal first.
      const Match next = finder.find_and_insert(pos + 1);
      if (next.length > match.length) {
        ++pos;
        match = next;
        continue;
      }
      finder.insert(pos + 2, pos + match.length);
    } else {
      finder.insert(pos + 1, pos + match.length);
    }
    out.literals(in + anchor, pos - anchor);
    out.reference(match.length, match.distance);
    pos += match.length;
    anchor = pos;
    match = pos < size ? finder.find_and_insert(pos) : Match{};
  }
  // Skipping may have jumped past the end: every byte left is a literal.
  out.literals(in + anchor, size - anchor);
}

// The optimal parse runs over segments of this many bytes, so that its
// tables stay small whatever the input's size; a reference never crosses
// a segment's end.
constexpr std::size_t kSegment = std::size_t{1} << 16;

void compress_optimal(std::span<const std::uint8_t> input, TokenWriter& out) {
  constexpr unsigned kLiteralBits = 9;
  constexpr unsigned kReferenceBits = 17;
  const std::uint8_t* const in = input.data();
  const std::size_t size = input.size();
  MatchFinder finder(input, 256, kMaxMatch);
  // Position + 1 of the last occurrence of each two-byte prefix, for the
  // two-byte references the chains of three do not find.
  std::vector<std::uint32_t> last_pair(std::size_t{1} << 16, 0);

  std::vector<Match> longest;
  std::vector<std::uint32_t> cost;
  std::vector<std::uint8_t> step;
  for (std::size_t start = 0; start < size; start += kSegment) {
    const std::size_t end = std::min(size, start + kSegment);
    const std::size_t count = end - start;
    longest.assign(count, Match{});
    for (std::size_t pos = start; pos < end; ++pos) {
      Match match = finder.find_and_insert(pos);
      if (pos + 2 <= size) {
        const std::size_t pair = in[pos] | std::size_t{in[pos + 1]} << 8;
        const std::size_t seen = last_pair[pair];
        last_pair[pair] = static_cast<std::uint32_t>(pos + 1);
        if (match.length == 0 && seen != 0 &&
            pos - (seen - 1) <= kMaxDistance) {
          match = {2, pos - (seen - 1)};
        }
      }
      match.length = std::min(match.length, end - pos);
      if (match.length < 2) match = {};
      longest[pos - start] = match;
    }
    // cost[i]: the fewest bits that encode the segment from start + i on;
    // step[i]: the token that starts such an encoding (1: a literal).
    cost.assign(count + 1, 0);
    step.assign(count, 1);
    for (std::size_t i = count; i-- > 0;) {
      std::uint32_t best = kLiteralBits + cost[i + 1];
      std::uint8_t choice = 1;
      for (std::size_t length = 2; length <= longest[i].length; ++length) {
        const std::uint32_t bits = kReferenceBits + cost[i + length];
        if (bits < best) {
          best = bits;
          choice = static_cast<std::uint8_t>(length);
        }
      }
      cost[i] = best;
      step[i] = choice;
    }
    std::size_t anchor = 0;
    for (std::size_t i = 0; i < count;) {
      if (step[i] == 1) {
        ++i;
        continue;
      }
      out.literals(in + start + anchor, i - anchor);
      out.reference(step[i], longest[i].distance);
      i += step[i];
      anchor = i;
    }
    out.literals(in + start + anchor, count - anchor);
  }
}

}  // namespace

std::vector<std::uint8_t> compress_lrs(std::span<const std::uint8_t> input,
                                       LrsLevel level) {
  const std::size_t size = input.size();
  if (size > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("LRS input over 4 GiB: its size has no encoding");
  }
  // Every token costs no more than its bytes as literals, so the payload
  // never outgrows the input plus the prefix and one flag byte per eight.
  std::vector<std::uint8_t> out(kSizePrefixSize + size + (size + 7) / 8);
  encode_size_prefix(out, static_cast<std::uint32_t>(size));
  TokenWriter tokens(out.data() + kSizePrefixSize);
  switch (level) {
    case LrsLevel::kFast:
      compress_fast(input, tokens);
      break;
    case LrsLevel::kDefault:
      compress_lazy(input, tokens);
      break;
    case LrsLevel::kBest:
      compress_optimal(input, tokens);
      break;
  }
  out.resize(static_cast<std::size_t>(tokens.end() - out.data()));
  out.shrink_to_fit();
  return out;
}

}  // namespace quillstone_dat
