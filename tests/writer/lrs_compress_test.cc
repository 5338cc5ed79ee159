// compress_lrs at every level: every input comes back unchanged through
// decompress_lrs and through the plain reference decoder; a few encodings
// are pinned so that the stream format cannot drift; and text-like data
// shrinks well, the best level most.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "quillstone_dat/lrs.h"
#include "support/archive_builder.h"
#include "support/lrs_reference.h"

namespace quillstone_dat::testing {
namespace {

constexpr LrsLevel kLevels[] = {LrsLevel::kFast, LrsLevel::kDefault,
                                LrsLevel::kBest};

// Compresses at `level`, checks the declared size and that both decoders
// agree on the original bytes; returns the payload.
Bytes round_trip_at(const Bytes& input, LrsLevel level) {
  const Bytes packed = compress_lrs(input, level);
  EXPECT_GE(packed.size(), 4u);
  EXPECT_LE(packed.size(), 4 + input.size() + (input.size() + 7) / 8)
      << "payload above its stated worst case";
  EXPECT_EQ(decompress_lrs(packed), input);
  EXPECT_EQ(reference_decompress_lrs(packed), input);
  return packed;
}

// The same at every level; returns the default level's payload.
Bytes round_trip(const Bytes& input) {
  Bytes packed;
  for (const LrsLevel level : kLevels) {
    SCOPED_TRACE(static_cast<int>(level));
    Bytes at_level = round_trip_at(input, level);
    if (level == LrsLevel::kDefault) packed = std::move(at_level);
  }
  return packed;
}

Bytes random_bytes(std::mt19937& random, std::size_t size) {
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

// Words from a small vocabulary: repetitive the way text is.
Bytes text_like(std::mt19937& random, std::size_t size) {
  static constexpr const char* kWords[] = {
      "the ",    "archive ", "block ", "chain ", "of ",   "directory ",
      "entry ",  "node ",    "file ",  "size ",  "and ",  "offset ",
      "header ", "reads ",   "\n",     "with ",  "data ", "compressed "};
  std::string text;
  while (text.size() < size) text += kWords[random() % std::size(kWords)];
  text.resize(size);
  return Bytes(text.begin(), text.end());
}

TEST(LrsCompress, PinnedEncodings) {
  // Empty: the size prefix alone.
  EXPECT_EQ(compress_lrs({}), (Bytes{0, 0, 0, 0}));
  // Too short to match: one flag byte, then literals.
  EXPECT_EQ(compress_lrs(bytes_of("ab")), (Bytes{2, 0, 0, 0, 0x00, 'a', 'b'}));
  // A run: one literal, then a back-reference of distance 1 and length 9
  // (flag bit 0x40; distance low byte 1; high nibble 0, length - 2 = 7).
  EXPECT_EQ(compress_lrs(bytes_of("aaaaaaaaaa")),
            (Bytes{10, 0, 0, 0, 0x40, 'a', 0x01, 0x07}));
  // A repeat of four bytes at distance 4.
  EXPECT_EQ(compress_lrs(bytes_of("abcdabcd")),
            (Bytes{8, 0, 0, 0, 0x08, 'a', 'b', 'c', 'd', 0x04, 0x02}));
}

TEST(LrsCompress, RoundTripsEveryShortLengthAndShape) {
  std::mt19937 random(7);
  for (std::size_t size = 0; size <= 300; ++size) {
    SCOPED_TRACE(size);
    round_trip(random_bytes(random, size));
    round_trip(Bytes(size, 0x5A));
    round_trip(text_like(random, size));
    // Two-symbol data: short matches everywhere.
    Bytes binary(size);
    for (auto& byte : binary) byte = random() % 2 ? 0 : 0xFF;
    round_trip(binary);
  }
}

TEST(LrsCompress, RoundTripsAcrossTheWindowEdge) {
  std::mt19937 random(11);
  // A block repeated at exactly the longest distance, one past it, and
  // just inside it: a reference must never reach 4096 bytes back.
  for (const std::size_t gap : {4093u, 4094u, 4095u, 4096u, 4097u, 8191u}) {
    SCOPED_TRACE(gap);
    const Bytes block = random_bytes(random, 40);
    Bytes input = block;
    const Bytes filler = random_bytes(random, gap - block.size());
    input.insert(input.end(), filler.begin(), filler.end());
    input.insert(input.end(), block.begin(), block.end());
    round_trip(input);
  }
}

TEST(LrsCompress, RoundTripsLargeMixedInputs) {
  std::mt19937 random(3);
  for (int round = 0; round < 20; ++round) {
    Bytes input;
    const std::size_t pieces = 1 + random() % 40;
    for (std::size_t piece = 0; piece < pieces; ++piece) {
      const std::size_t size = random() % 20000;
      Bytes part;
      switch (random() % 4) {
        case 0:
          part = random_bytes(random, size);
          break;
        case 1:
          part = text_like(random, size);
          break;
        case 2:
          part = Bytes(size, static_cast<std::uint8_t>(random()));
          break;
        default:
          // An earlier stretch of the input again, near or far.
          if (!input.empty()) {
            const std::size_t from = random() % input.size();
            const std::size_t length = std::min(size, input.size() - from);
            part.assign(
                input.begin() + static_cast<std::ptrdiff_t>(from),
                input.begin() + static_cast<std::ptrdiff_t>(from + length));
          }
      }
      input.insert(input.end(), part.begin(), part.end());
    }
    round_trip(input);
  }
}

TEST(LrsCompress, TextShrinksWellAndNoiseBarelyGrows) {
  std::mt19937 random(5);
  const Bytes text = text_like(random, 1 << 20);
  const std::size_t fast = round_trip_at(text, LrsLevel::kFast).size();
  const std::size_t standard = round_trip(text).size();
  const std::size_t best = round_trip_at(text, LrsLevel::kBest).size();
  EXPECT_LT(standard, text.size() / 2);
  // Each level at least as good as the one below it, on text.
  EXPECT_LE(standard, fast);
  EXPECT_LE(best, standard);
  const Bytes noise = random_bytes(random, 1 << 16);
  EXPECT_LE(round_trip(noise).size(), noise.size() + noise.size() / 8 + 5);
}

}  // namespace
}  // namespace quillstone_dat::testing
