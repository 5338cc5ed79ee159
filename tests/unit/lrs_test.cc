// LRS decoding: worked examples, streams that end early or lie about their
// size, and a comparison with a plain byte-by-byte decoder.

#include "quillstone_dat/lrs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "support/archive_builder.h"
#include "support/lrs_reference.h"
#include "unit/allocation_probe.h"

namespace quillstone_dat::testing {
namespace {

Bytes decode(const Bytes& input) { return decompress_lrs(input); }

Bytes payload(std::uint32_t declared,
              std::initializer_list<std::uint8_t> stream) {
  return lrs_payload(declared, Bytes(stream));
}

TEST(Lrs, WorkedExamples) {
  EXPECT_EQ(
      decode({0x06, 0x00, 0x00, 0x00, 0x10, 0x61, 0x62, 0x63, 0x03, 0x01}),
      bytes_of("abcabc"));
  EXPECT_EQ(decode({0x05, 0x00, 0x00, 0x00, 0x40, 0x61, 0x01, 0x02}),
            bytes_of("aaaaa"));
  EXPECT_EQ(decode({0x61, 0x62}), bytes_of("ab"));
}

TEST(Lrs, InputWithoutSizePrefixComesBackUnchanged) {
  for (const Bytes& input :
       {Bytes{}, Bytes{0xFF}, Bytes{0x00, 0x80}, Bytes{0x10, 0x61, 0x01}}) {
    EXPECT_EQ(decode(input), input);
  }
}

TEST(Lrs, SizePrefixAloneOrDeclaringZeroIsEmpty) {
  EXPECT_TRUE(decode(payload(0, {})).empty());
  EXPECT_TRUE(decode(payload(100, {})).empty());
  EXPECT_TRUE(decode(payload(0xFFFFFFFF, {})).empty());
  EXPECT_TRUE(decode(payload(0, {0x00, 0x61, 0x62})).empty());
}

TEST(Lrs, DistanceZeroEndsDecoding) {
  // Literals a and b, the end mark, then a literal c that is never reached.
  EXPECT_EQ(decode(payload(10, {0x20, 0x61, 0x62, 0x00, 0x00, 0x63})),
            bytes_of("ab"));
  // Only the distance counts: a length in the end mark changes nothing.
  EXPECT_EQ(decode(payload(10, {0x20, 0x61, 0x62, 0x00, 0x0F, 0x63})),
            bytes_of("ab"));
}

TEST(Lrs, DistanceBeyondTheOutputCopiesFromItsStart) {
  // After "ab", distance 5 length 4: the source stays at index 0 until the
  // output is five bytes long.
  EXPECT_EQ(decode(payload(6, {0x20, 0x61, 0x62, 0x05, 0x02})),
            bytes_of("abaaaa"));
  // ...and moves on once it is: "abcd", distance 5 length 6.
  EXPECT_EQ(decode(payload(10, {0x08, 0x61, 0x62, 0x63, 0x64, 0x05, 0x04})),
            bytes_of("abcdaabcda"));
}

TEST(Lrs, DistanceTakesBitsEightToElevenFromTheHighNibble) {
  // 296 literals (37 full groups), then distance 0x101 (b0 0x01, high
  // nibble of b1 1) and length 3.
  constexpr std::size_t kLiterals = 296;
  Bytes stream;
  Bytes expected;
  for (std::size_t i = 0; i < kLiterals; ++i) {
    if (i % 8 == 0) stream.push_back(0x00);
    const auto b = static_cast<std::uint8_t>(i * 13 + 5);
    stream.push_back(b);
    expected.push_back(b);
  }
  stream.insert(stream.end(), {0x80, 0x01, 0x11});
  const Bytes input = lrs_payload(kLiterals + 3, stream);
  for (std::size_t i = 0; i < 3; ++i) {
    expected.push_back(expected[kLiterals - 257 + i]);
  }
  EXPECT_EQ(decode(input), expected);
}

TEST(Lrs, OutputStopsAtTheDeclaredSize) {
  // One literal, then distance 1 length 17 cut to four copies.
  EXPECT_EQ(decode(payload(5, {0x40, 0x61, 0x01, 0x0F})), bytes_of("aaaaa"));
  // Literals beyond the declared size are ignored.
  EXPECT_EQ(decode(payload(3, {0x00, 0x61, 0x62, 0x63, 0x64, 0x65})),
            bytes_of("abc"));
}

TEST(Lrs, StreamRunningOutEndsWithWhatWasDecoded) {
  // A flag byte as the last byte of the input.
  EXPECT_EQ(decode(payload(20, {0x00, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67,
                                0x68, 0x00})),
            bytes_of("abcdefgh"));
  // A back-reference bit with one byte left.
  EXPECT_EQ(decode(payload(20, {0x40, 0x61, 0x01})), bytes_of("a"));
  // A literal bit with no byte left.
  EXPECT_EQ(decode(payload(20, {0x00, 0x61})), bytes_of("a"));
}

TEST(Lrs, BackReferenceIntoEmptyOutputEndsDecoding) {
  // Nothing to copy from: decoding ends there, and the literal after it is
  // not decoded either.
  EXPECT_TRUE(decode(payload(5, {0x80, 0x01, 0x02, 0x61})).empty());
  EXPECT_TRUE(decode(payload(5, {0x80, 0xFF, 0xFF})).empty());
}

TEST(Lrs, HugeDeclaredSizeAllocatesNoHugeBuffer) {
  const LargestAllocation largest;
  const Bytes out =
      decode(payload(0xFFFFFFFF, {0x60, 0x61, 0x01, 0x0F, 0x01, 0x0F}));
  EXPECT_EQ(out, Bytes(35, 0x61));
  // Guards against a runaway: 4 GiB reserved on the word of a size prefix.
  EXPECT_LT(largest.bytes(), std::size_t{64} << 20);
}

// A payload of random tokens: mostly short back-references that reach into
// the output, sometimes far ones, end marks, lying sizes and cut streams.
Bytes random_payload(std::mt19937& random) {
  const auto below = [&](std::uint32_t n) {
    return static_cast<std::uint32_t>(random() % n);
  };
  std::uint32_t declared = 0;
  switch (below(4)) {
    case 0:
      declared = below(64);
      break;
    case 1:
      declared = below(600);
      break;
    case 2:
      declared = 0xFFFFFFFF;
      break;
    default:
      declared = static_cast<std::uint32_t>(random());
  }
  Bytes out;
  append_le32(out, declared);
  std::size_t produced = 0;
  const std::uint32_t groups = below(12);
  for (std::uint32_t g = 0; g < groups; ++g) {
    const auto flags = static_cast<std::uint8_t>(random());
    out.push_back(flags);
    for (unsigned mask = 0x80; mask != 0; mask >>= 1) {
      if ((flags & mask) == 0) {
        out.push_back(static_cast<std::uint8_t>(random()));
        ++produced;
        continue;
      }
      std::uint32_t distance;
      const std::uint32_t kind = below(40);
      if (kind == 0) {
        distance = 0;
      } else if (kind < 8) {
        distance = below(4096);
      } else {
        distance = 1 + below(static_cast<std::uint32_t>(produced) + 3);
        distance = std::min<std::uint32_t>(distance, 4095);
      }
      const std::uint32_t nibble = below(16);
      out.push_back(static_cast<std::uint8_t>(distance & 0xFF));
      out.push_back(static_cast<std::uint8_t>((distance >> 8) << 4 | nibble));
      produced += nibble + 2;
    }
  }
  if (below(4) == 0)
    out.resize(below(static_cast<std::uint32_t>(out.size()) + 1));
  return out;
}

TEST(Lrs, AgreesWithThePlainDecoderOnRandomStreams) {
  std::mt19937 random(0x4C5253);
  for (int i = 0; i < 20000; ++i) {
    const Bytes input = random_payload(random);
    const Bytes expected = reference_decompress_lrs(input);
    const Bytes actual = decompress_lrs(input);
    ASSERT_EQ(actual, expected)
        << "case " << i << ", " << input.size() << " input bytes";
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
