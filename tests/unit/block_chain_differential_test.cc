// The chain reader fetches next fields and payloads together and looks
// ahead over contiguous blocks. These tests hold it to a plain walk that
// reads each block's next field, then its payload, one read at a time: the
// same bytes, or the same error.

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "format/block_chain.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {
namespace {

DatResult<Bytes> plain_chain_read(const FileExtPolyfill& file,
                                  std::uint32_t block_size,
                                  std::uint32_t offset, std::uint32_t size) {
  Bytes result(size);
  std::size_t copied = 0;
  std::uint32_t current = offset;
  while (copied < size) {
    if (current > std::numeric_limits<std::uint32_t>::max() - 4) {
      return std::unexpected(
          DatError::corruption("block at offset " + std::to_string(current) +
                               " has no payload offset within 32 bits"));
    }
    std::array<std::uint8_t, kNextFieldBytes> field;
    if (auto read = file.read_exact_at_compat(field, current); !read) {
      return std::unexpected(read.error());
    }
    const std::uint32_t next = get_le32(field, 0);
    const std::size_t n =
        next == 0 ? size - copied
                  : std::min<std::size_t>(size - copied, block_size - 4u);
    if (next != 0 && block_size <= 4) {
      return std::unexpected(
          DatError::corruption("block size " + std::to_string(block_size) +
                               " leaves no room for payload"));
    }
    if (auto read = file.read_exact_at_compat(
            std::span(result).subspan(copied, n), std::uint64_t{current} + 4);
        !read) {
      return std::unexpected(read.error());
    }
    copied += n;
    current = next;
  }
  return result;
}

// A file of random bytes whose blocks link in runs of contiguous blocks,
// jumps, loops, zero next fields and offsets past the end.
struct RandomChains {
  Bytes image;
  std::uint32_t block_size;
};

RandomChains make_chains(std::mt19937& random) {
  static constexpr std::uint32_t kBlockSizes[] = {5, 8, 13, 64, 256, 1024};
  const std::uint32_t block_size =
      kBlockSizes[random() % std::size(kBlockSizes)];
  const auto blocks = static_cast<std::uint32_t>(4 + random() % 300);
  Bytes image(std::size_t{blocks} * block_size);
  for (auto& byte : image) byte = static_cast<std::uint8_t>(random());
  for (std::uint32_t b = 0; b < blocks; ++b) {
    const std::uint32_t here = b * block_size;
    std::uint32_t next;
    switch (random() % 8) {
      case 0:
        next = 0;
        break;
      case 1:
        next = static_cast<std::uint32_t>(random() % blocks) * block_size;
        break;
      case 2:
        next = static_cast<std::uint32_t>(image.size() + random() % 4096);
        break;
      case 3:
        next = here;  // a loop onto itself
        break;
      default:
        next = here + block_size;  // contiguous
    }
    put_le32(image, here, next);
  }
  return {std::move(image), block_size};
}

TEST(BlockChainDifferential, SameBytesOrSameErrorAsThePlainWalk) {
  std::mt19937 random(20261209);
  for (int round = 0; round < 400; ++round) {
    const RandomChains chains = make_chains(random);
    const MemoryFile file(chains.image);
    for (int query = 0; query < 10; ++query) {
      const auto offset =
          static_cast<std::uint32_t>(
              random() % (chains.image.size() / chains.block_size)) *
          chains.block_size;
      const auto size =
          static_cast<std::uint32_t>(random() % (chains.image.size() * 2 + 1));
      SCOPED_TRACE("block size " + std::to_string(chains.block_size) +
                   ", offset " + std::to_string(offset) + ", size " +
                   std::to_string(size));
      const auto expected =
          plain_chain_read(file, chains.block_size, offset, size);
      const auto actual = read_block_chain(file, chains.block_size, offset,
                                           size, chains.image.size());
      ASSERT_EQ(actual.has_value(), expected.has_value());
      if (expected) {
        ASSERT_EQ(*actual, *expected);
      } else {
        ASSERT_EQ(actual.error().debug(), expected.error().debug());
      }
    }
  }
}

// A loop yields its bytes over and over until the size is reached. Read
// block by block, a 64 MiB entry over one 8-byte block that points at
// itself costs 16 million reads; the walk must repeat what it has instead.
TEST(BlockChainDifferential, LoopsAreRepeatedNotReadAgain) {
  struct Loop {
    std::uint32_t block_size;
    std::vector<std::uint32_t> blocks;  // the last points back at the first
    std::uint32_t size;
  };
  const Loop loops[] = {
      {8, {64}, 64u << 20},
      {16, {32, 48, 64, 128}, (48u << 20) + 5},
      {1024, {1024, 2048, 3072, 8192, 4096}, 40u << 20},
  };
  for (const Loop& loop : loops) {
    SCOPED_TRACE(loop.block_size);
    Bytes image(16384);
    std::mt19937 random(loop.block_size);
    for (auto& byte : image) byte = static_cast<std::uint8_t>(random());
    for (std::size_t i = 0; i < loop.blocks.size(); ++i) {
      put_le32(image, loop.blocks[i],
               loop.blocks[(i + 1) % loop.blocks.size()]);
    }
    // One pass round the loop, as the plain walk reads it.
    const auto memory = std::make_shared<MemoryFile>(image);
    const std::uint32_t period =
        static_cast<std::uint32_t>(loop.blocks.size()) * (loop.block_size - 4);
    const auto once =
        plain_chain_read(*memory, loop.block_size, loop.blocks[0], period);
    ASSERT_TRUE(once.has_value());

    const FaultyFile counted(
        memory, [](std::size_t, std::uint64_t) { return std::nullopt; });
    const auto read = read_block_chain(counted, loop.block_size, loop.blocks[0],
                                       loop.size, image.size());
    ASSERT_TRUE(read.has_value()) << read.error().debug();
    ASSERT_EQ(read->size(), loop.size);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < read->size(); ++i) {
      if ((*read)[i] != (*once)[i % period]) ++wrong;
    }
    EXPECT_EQ(wrong, 0u);
    // Guards against a runaway: reads grow with the archive, not the size.
    EXPECT_LT(counted.calls(), 512 + 8 * image.size() / (loop.block_size - 4));
  }
}

TEST(BlockChainDifferential, OffsetsNearTheTopOfThe32BitRange) {
  // Contiguous look-ahead must not step past 2^32 - 1.
  const MemoryFile file(Bytes(64, 0));
  for (const std::uint32_t offset :
       {0xFFFFFFFFu, 0xFFFFFFFCu, 0xFFFFFFFBu, 0xFFFFFF00u}) {
    const auto expected = plain_chain_read(file, 64, offset, 1000);
    const auto actual = read_block_chain(file, 64, offset, 1000, 64);
    ASSERT_FALSE(expected);
    ASSERT_FALSE(actual);
    EXPECT_EQ(actual.error().debug(), expected.error().debug());
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
