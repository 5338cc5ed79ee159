// decompress_lrs decodes whole groups of tokens at once and copies
// back-references in wide steps. These tests hold it to the plain
// byte-by-byte decoder over long random token streams, real compressor
// output, and streams that are cut, corrupted or lie about their size: the
// same bytes every time.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

#include "quillstone_dat/lrs.h"
#include "support/archive_builder.h"
#include "support/lrs_reference.h"

namespace quillstone_dat::testing {
namespace {

// Shows where the two decoders first differ rather than two long dumps.
::testing::AssertionResult decoders_agree(const Bytes& input) {
  const Bytes expected = reference_decompress_lrs(input);
  const Bytes actual = decompress_lrs(input);
  if (actual == expected) return ::testing::AssertionSuccess();
  const auto [a, e] = std::mismatch(actual.begin(), actual.end(),
                                    expected.begin(), expected.end());
  return ::testing::AssertionFailure()
         << input.size() << " input bytes: " << actual.size()
         << " bytes decoded, " << expected.size() << " expected, first "
         << "difference at " << (a - actual.begin());
}

std::uint32_t below(std::mt19937& random, std::uint32_t n) {
  return static_cast<std::uint32_t>(random() % n);
}

// A token stream of `groups` flag bytes and their tokens, and how much of
// it decodes before any end mark. Distances mostly land inside the output:
// short ones (patterns that overlap their copy) as often as long ones, a
// few reaching past the start. A quarter of the streams carry an end mark
// somewhere, with tokens after it that must not be decoded.
Bytes random_stream(std::mt19937& random, std::uint32_t groups,
                    std::size_t& produced) {
  Bytes stream;
  // Streams of mostly literals, mostly references, or an even mix; some
  // with mostly the longest references, so that one flag byte's tokens
  // yield well over a hundred bytes.
  static constexpr std::uint32_t kReferenceOdds[] = {1, 2, 4, 6, 8, 8};
  const std::uint32_t reference_odds =
      kReferenceOdds[below(random, std::size(kReferenceOdds))];
  const bool longest = below(random, 2) == 0;
  const std::uint32_t end_group =
      below(random, 4) == 0 ? below(random, groups + 1) : groups;
  bool ended = false;
  for (std::uint32_t g = 0; g < groups; ++g) {
    unsigned flags = 0;
    for (unsigned mask = 0x80; mask != 0; mask >>= 1) {
      if (below(random, 8) < reference_odds) flags |= mask;
    }
    // A reference into the empty output would end the stream at once.
    if (g == 0) flags &= 0x7F;
    stream.push_back(static_cast<std::uint8_t>(flags));
    for (unsigned mask = 0x80; mask != 0; mask >>= 1) {
      if ((flags & mask) == 0) {
        stream.push_back(static_cast<std::uint8_t>(random()));
        if (!ended) ++produced;
        continue;
      }
      std::uint32_t distance;
      const std::uint32_t kind = below(random, 100);
      if (g == end_group && !ended) {
        distance = 0;
        ended = true;
      } else if (kind == 0) {
        distance = 1 + below(random, 4095);
      } else if (kind < 50) {
        distance = 1 + below(random, 20);
      } else {
        const auto reach = static_cast<std::uint32_t>(
            std::min<std::size_t>(produced + 1, 4095));
        distance = 1 + below(random, reach);
      }
      const std::uint32_t nibble =
          longest && below(random, 8) != 0 ? 15 : below(random, 16);
      stream.push_back(static_cast<std::uint8_t>(distance & 0xFF));
      stream.push_back(
          static_cast<std::uint8_t>((distance >> 8) << 4 | nibble));
      if (!ended) produced += nibble + 2;
    }
  }
  return stream;
}

TEST(LrsDifferential, LongRandomTokenStreams) {
  std::mt19937 random(0x10C0DE);
  for (int i = 0; i < 400; ++i) {
    std::size_t produced = 0;
    const std::uint32_t groups =
        i % 4 == 0 ? below(random, 40) : below(random, 6000);
    const Bytes stream = random_stream(random, groups, produced);
    // What the stream yields, less (cut inside a group), more (the stream
    // runs out first), and the largest size there is.
    std::uint32_t declared;
    switch (below(random, 5)) {
      case 0:
        declared = static_cast<std::uint32_t>(produced);
        break;
      case 1:
      case 2:
        declared = below(random, static_cast<std::uint32_t>(produced) + 1);
        break;
      case 3:
        declared = static_cast<std::uint32_t>(produced) + below(random, 300);
        break;
      default:
        declared = 0xFFFFFFFF;
    }
    ASSERT_TRUE(decoders_agree(lrs_payload(declared, stream))) << "case " << i;
  }
}

TEST(LrsDifferential, DeclaredSizeEndingAnywhereInLongestReferences) {
  // Eight literals, then groups of eight references of the longest length,
  // each group yielding 136 bytes; every declared size up to past the end.
  Bytes stream = {0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
  for (int g = 0; g < 6; ++g) {
    stream.push_back(0xFF);
    for (int t = 0; t < 8; ++t) {
      stream.push_back(static_cast<std::uint8_t>(1 + (g + t) % 8));
      stream.push_back(0x0F);
    }
  }
  for (std::uint32_t declared = 0; declared <= 8 + 6 * 136 + 10; ++declared) {
    ASSERT_TRUE(decoders_agree(lrs_payload(declared, stream)))
        << "declared " << declared;
  }
}

// Inputs the compressor sees in practice: text, runs, records, noise.
Bytes sample_input(std::mt19937& random, std::size_t size) {
  static constexpr const char* kWords[] = {
      "block ", "chain ", "entry ", "the ", "offset ", "\n", "node ", "of "};
  Bytes out;
  out.reserve(size);
  switch (below(random, 4)) {
    case 0:
      while (out.size() < size) {
        const std::string word = kWords[below(random, std::size(kWords))];
        out.insert(out.end(), word.begin(), word.end());
      }
      break;
    case 1:
      while (out.size() < size) {
        out.insert(out.end(), 1 + below(random, 40),
                   static_cast<std::uint8_t>(below(random, 3)));
      }
      break;
    case 2:
      for (std::uint32_t i = 0; out.size() < size; ++i) {
        Bytes record(12);
        put_le32(record, 0, i);
        put_le32(record, 4, 0x3F800000 + below(random, 64));
        put_le32(record, 8, below(random, 4));
        out.insert(out.end(), record.begin(), record.end());
      }
      break;
    default:
      while (out.size() < size)
        out.push_back(static_cast<std::uint8_t>(random()));
  }
  out.resize(size);
  return out;
}

TEST(LrsDifferential, CompressorOutputRoundTrips) {
  std::mt19937 random(0xC0111);
  for (int i = 0; i < 120; ++i) {
    const std::size_t size =
        i % 3 == 0 ? below(random, 300) : below(random, 200000);
    const Bytes input = sample_input(random, size);
    const Bytes packed = compress_lrs(input);
    ASSERT_EQ(decompress_lrs(packed), input) << "case " << i;
    ASSERT_TRUE(decoders_agree(packed)) << "case " << i;
  }
}

TEST(LrsDifferential, CompressorOutputCutAnywhere) {
  std::mt19937 random(0xC07);
  // Every cut of a short payload...
  const Bytes small = compress_lrs(sample_input(random, 600));
  for (std::size_t cut = 0; cut <= small.size(); ++cut) {
    ASSERT_TRUE(decoders_agree(
        Bytes(small.begin(), small.begin() + static_cast<std::ptrdiff_t>(cut))))
        << "cut at " << cut;
  }
  // ...and cuts spread over long ones.
  for (int i = 0; i < 60; ++i) {
    const Bytes packed = compress_lrs(sample_input(random, 100000));
    const std::size_t cut =
        below(random, static_cast<std::uint32_t>(packed.size()));
    ASSERT_TRUE(decoders_agree(Bytes(
        packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(cut))))
        << "case " << i << ", cut at " << cut;
  }
}

TEST(LrsDifferential, CompressorOutputWithWrongSizeOrFlippedBytes) {
  std::mt19937 random(0xF11);
  for (int i = 0; i < 150; ++i) {
    Bytes packed = compress_lrs(sample_input(random, below(random, 80000)));
    const std::uint32_t size = get_le32(packed, 0);
    if (i % 2 == 0) {
      // A declared size off by a little either way, or far off.
      const std::uint32_t declared =
          i % 6 == 0
              ? below(random, size + 1)
              : size + below(random, 40) - std::min<std::uint32_t>(size, 20);
      put_le32(packed, 0, declared);
    } else {
      // Flipped bytes turn literals into references and back, and change
      // distances, lengths and sizes.
      for (std::uint32_t flips = 1 + below(random, 8); flips > 0; --flips) {
        packed[below(random, static_cast<std::uint32_t>(packed.size()))] ^=
            static_cast<std::uint8_t>(1 + below(random, 255));
      }
    }
    ASSERT_TRUE(decoders_agree(packed)) << "case " << i;
  }
}

TEST(LrsDifferential, ShortStreamsAndEdgeSizes) {
  // Inputs too short for a size prefix come back as they are.
  for (const Bytes& input : {Bytes{}, Bytes{0x80}, Bytes{0x01, 0x00, 0x00}}) {
    ASSERT_TRUE(decoders_agree(input));
  }
  // Every stream of up to five bytes drawn from values that matter (zero,
  // the first literal and reference bits, small distances and lengths,
  // 0xFF) under declared sizes around the smallest and the largest.
  static constexpr std::uint8_t kValues[] = {0x00, 0x01, 0x02, 0x10,
                                             0x40, 0x80, 0xF0, 0xFF};
  static constexpr std::uint32_t kDeclared[] = {0, 1, 2, 3, 17, 0xFFFFFFFF};
  for (std::size_t length = 0; length <= 5; ++length) {
    std::size_t combinations = 1;
    for (std::size_t i = 0; i < length; ++i) combinations *= std::size(kValues);
    for (std::size_t n = 0; n < combinations; ++n) {
      Bytes stream;
      for (std::size_t i = 0, rest = n; i < length; ++i) {
        stream.push_back(kValues[rest % std::size(kValues)]);
        rest /= std::size(kValues);
      }
      for (const std::uint32_t declared : kDeclared) {
        ASSERT_TRUE(decoders_agree(lrs_payload(declared, stream)))
            << "declared " << declared << ", combination " << n;
      }
    }
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
