// Block chains: how stored bytes are gathered block by block, and how
// malformed chains and failing files end the read.

#include "format/block_chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "support/archive_builder.h"
#include "support/expect_error.h"
#include "unit/allocation_probe.h"

namespace quillstone_dat::testing {
namespace {

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

// A MemoryFile that also notes the offset of every read.
struct RecordedFile {
  explicit RecordedFile(Bytes image)
      : file(std::make_shared<MemoryFile>(std::move(image)),
             [this](std::size_t, std::uint64_t offset) {
               offsets.push_back(offset);
               return std::optional<IoError>();
             }) {}
  std::vector<std::uint64_t> offsets;
  FaultyFile file;
};

void expect_eof(const DatResult<Bytes>& read) {
  ASSERT_FALSE(read) << what_succeeded(*read);
  ASSERT_EQ(read.error().kind(), DatError::Kind::kIo) << read.error();
  EXPECT_EQ(*read.error().io_error(), IoError::fill_whole_buffer());
}

// Whether the reads started at each of `blocks`, in this order. Reads may
// fetch a block's next field and payload together and look ahead on
// contiguous blocks, so other reads may come between.
bool visits_in_order(const std::vector<std::uint64_t>& offsets,
                     std::initializer_list<std::uint64_t> blocks) {
  auto at = offsets.begin();
  for (const std::uint64_t block : blocks) {
    at = std::find(at, offsets.end(), block);
    if (at == offsets.end()) return false;
  }
  return true;
}

TEST(BlockChain, SizeZeroIsEmptyWhateverTheOffset) {
  // A block at 0xFFFFFFFF has no payload offset within 32 bits: walking
  // there would be Corruption.
  const auto read = read_block_chain(MemoryFile(ArchiveBuilder().bytes()), 256,
                                     0xFFFFFFFF, 0, kNoLimit);
  ASSERT_TRUE(read) << read.error();
  EXPECT_TRUE(read->empty());
}

TEST(BlockChain, ShortChainIsOneBlockWhateverItsNextField) {
  ArchiveBuilder builder(16);
  const Bytes data = numbered(12);
  const std::uint32_t block[] = {1000};
  // Followed, the next field would lead past the end of the file.
  builder.put_chain(block, data, /*last_next=*/0xFFFFFF00);
  const MemoryFile file(builder.bytes());

  const auto whole = read_block_chain(file, 16, 1000, 12, kNoLimit);
  ASSERT_TRUE(whole) << whole.error();
  EXPECT_EQ(*whole, data);

  const auto part = read_block_chain(file, 16, 1000, 5, kNoLimit);
  ASSERT_TRUE(part) << part.error();
  EXPECT_EQ(*part, Bytes(data.begin(), data.begin() + 5));
}

TEST(BlockChain, FollowsNextFieldsWhereverTheyLead) {
  // 600 bytes through three blocks of 252 payload bytes, laid out out of
  // order; the last block's next field is garbage and is not followed.
  ArchiveBuilder builder(256);
  const Bytes data = numbered(600);
  const std::uint32_t blocks[] = {3000, 1000, 2000};
  builder.put_chain(blocks, data, /*last_next=*/0xFFFFFFF0);
  RecordedFile recorded(builder.bytes());

  const auto read = read_block_chain(recorded.file, 256, 3000, 600, kNoLimit);
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(*read, data);
  EXPECT_TRUE(visits_in_order(recorded.offsets, {3000, 1000, 2000}));
}

TEST(BlockChain, ZeroNextMeansTheRestFollowsContiguously) {
  ArchiveBuilder builder(32);
  const Bytes data = numbered(100);
  const std::uint32_t blocks[] = {1000, 2000};  // 28 bytes, then 72 at 2004.
  builder.put_chain(blocks, data);
  RecordedFile recorded(builder.bytes());

  const auto read = read_block_chain(recorded.file, 32, 1000, 100, kNoLimit);
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(*read, data);
  // Past 2000 the bytes follow contiguously: read as a block, 2032 would
  // lose four bytes to a next field and the bytes above would differ.
  EXPECT_TRUE(visits_in_order(recorded.offsets, {1000, 2000}));
}

TEST(BlockChain, EveryBitOfNextIsOffset) {
  // With its top bit masked off, the next field would lead to a valid block.
  ArchiveBuilder builder(16);
  builder.put_u32(1000, 0x80000000u | 2000).put(1004, numbered(12));
  builder.put_u32(2000, 0).put(2004, numbered(12));
  expect_eof(
      read_block_chain(MemoryFile(builder.bytes()), 16, 1000, 24, kNoLimit));
}

TEST(BlockChain, LoopingChainEndsAfterSize) {
  ArchiveBuilder builder(8);
  builder.put_u32(1000, 1016).put(1004, bytes_of("aaaa"));
  builder.put_u32(1016, 1000).put(1020, bytes_of("bbbb"));
  const MemoryFile file(builder.bytes());

  const auto two = read_block_chain(file, 8, 1000, 10, kNoLimit);
  ASSERT_TRUE(two) << two.error();
  EXPECT_EQ(*two, bytes_of("aaaabbbbaa"));

  builder.put_u32(1000, 1000);  // A block that is its own successor.
  const auto self =
      read_block_chain(MemoryFile(builder.bytes()), 8, 1000, 9, kNoLimit);
  ASSERT_TRUE(self) << self.error();
  EXPECT_EQ(*self, bytes_of("aaaaaaaaa"));
}

TEST(BlockChain, ReadingPastTheEndIsEof) {
  ArchiveBuilder builder(16);
  builder.put_u32(1000, 5000).put(1004, numbered(12));  // Next past the end.
  builder.put_u32(2000, 0).put(2004, numbered(12));     // Rest runs out.
  builder.put(2100, numbered(3));                       // End of the image.
  const MemoryFile file(builder.bytes());
  const std::uint64_t end = builder.bytes().size();

  expect_eof(read_block_chain(file, 16, 1000, 13, kNoLimit));
  expect_eof(read_block_chain(file, 16, 2000, 200, kNoLimit));
  expect_eof(read_block_chain(file, 16, 1 << 20, 1, kNoLimit));
  // The next field itself cut short, and a payload cut short.
  expect_eof(read_block_chain(file, 16, static_cast<std::uint32_t>(end - 2), 1,
                              kNoLimit));
  expect_eof(read_block_chain(file, 16, static_cast<std::uint32_t>(end - 6), 3,
                              kNoLimit));
}

TEST(BlockChain, BlockSizeWithoutPayloadIsCorruptionWhereTheChainGoesOn) {
  for (const std::uint32_t block_size : {0u, 1u, 3u, 4u}) {
    SCOPED_TRACE("block size " + std::to_string(block_size));
    ArchiveBuilder builder(block_size);
    builder.put_u32(1000, 1000).put(1004, numbered(8));  // Loops on itself.
    builder.put_u32(2000, 0).put(2004, numbered(8));
    const MemoryFile file(builder.bytes());

    expect_corruption(read_block_chain(file, block_size, 1000, 8, kNoLimit));
    // A next field of 0 needs no block size: the rest is contiguous.
    const auto rest = read_block_chain(file, block_size, 2000, 8, kNoLimit);
    ASSERT_TRUE(rest) << rest.error();
    EXPECT_EQ(*rest, numbered(8));
  }
}

// Reads as zeros except where bytes are placed; its length may pass 4 GiB.
class SparseFile : public FileExtPolyfill {
 public:
  SparseFile(std::uint64_t length, std::map<std::uint64_t, Bytes> regions)
      : length_(length), regions_(std::move(regions)) {}

  std::expected<std::size_t, IoError> read_at(
      std::span<std::uint8_t> buffer, std::uint64_t offset) const override {
    if (offset >= length_) return 0;
    std::size_t n = static_cast<std::size_t>(
        std::min<std::uint64_t>(buffer.size(), length_ - offset));
    auto after = regions_.upper_bound(offset);
    if (after != regions_.begin()) {
      const auto& [start, bytes] = *std::prev(after);
      if (offset < start + bytes.size()) {
        n = std::min<std::size_t>(n, start + bytes.size() - offset);
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset - start),
                    n, buffer.begin());
        return n;
      }
    }
    if (after != regions_.end()) {
      n = std::min<std::size_t>(n, after->first - offset);
    }
    std::fill_n(buffer.begin(), n, std::uint8_t{0});
    return n;
  }
  std::expected<std::uint64_t, IoError> length() const override {
    return length_;
  }

 private:
  std::uint64_t length_;
  std::map<std::uint64_t, Bytes> regions_;
};

TEST(BlockChain, PayloadOffsetPastThirtyTwoBitsIsCorruptionNotWrapAround) {
  // Were offset + 4 wrapped to 32 bits, the payload would come from the
  // start of the file.
  Bytes next_field(kNextFieldBytes);
  put_le32(next_field, 0, 1000);
  const SparseFile file((std::uint64_t{1} << 32) + 4096,
                        {{0, numbered(64)},
                         {0xFFFFFFFCu, next_field},
                         {std::uint64_t{1} << 32, numbered(64, 0x80)}});

  expect_corruption(read_block_chain(file, 16, 0xFFFFFFFC, 20, kNoLimit));
  expect_corruption(read_block_chain(file, 16, 0xFFFFFFFF, 20, kNoLimit));

  // The same through a chain whose next field leads up there.
  ArchiveBuilder builder(16);
  builder.put_u32(1000, 0xFFFFFFFD).put(1004, numbered(12));
  expect_corruption(
      read_block_chain(MemoryFile(builder.bytes()), 16, 1000, 20, kNoLimit));

  // The last offset whose payload offset still fits reads normally.
  const auto fits = read_block_chain(file, 16, 0xFFFFFFFB, 4, kNoLimit);
  ASSERT_TRUE(fits) << fits.error();
}

TEST(BlockChain, HugeSizeFailsBeforeItCanExhaustMemory) {
  ArchiveBuilder builder(64);
  builder.put_u32(1000, 0).put(1004, numbered(60));  // Rest runs past end.
  const std::uint32_t blocks[] = {2000, 3000, 4000};
  builder.put_chain(blocks, numbered(180), /*last_next=*/1 << 24);
  const auto db = open_in_memory(builder.bytes());
  ASSERT_TRUE(db) << db.error();

  const LargestAllocation largest;
  expect_eof(db->read_file_data(1000, 0xFFFFFFF0));
  expect_eof(db->read_file_data(2000, 0xFFFFFFF0));
  // Guards against a runaway: 4 GiB allocated on the word of one entry.
  EXPECT_LT(largest.bytes(), std::size_t{64} << 20);
}

TEST(BlockChain, LoopingChainLongerThanTheFileYieldsAllItsBytes) {
  // Two 60-byte payloads that lead to each other, read as 8 MiB.
  ArchiveBuilder builder(64);
  const Bytes first = numbered(60, 1);
  const Bytes second = numbered(60, 100);
  builder.put_u32(1000, 2000).put(1004, first);
  builder.put_u32(2000, 1000).put(2004, second);
  const auto db = open_in_memory(builder.bytes());
  ASSERT_TRUE(db) << db.error();

  const std::uint32_t size = 8u << 20;
  const auto read = db->read_file_data(1000, size);
  ASSERT_TRUE(read) << read.error();
  ASSERT_EQ(read->size(), size);
  std::size_t mismatches = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const std::size_t in_period = i % 120;
    const std::uint8_t expected =
        in_period < 60 ? first[in_period] : second[in_period - 60];
    if ((*read)[i] != expected) ++mismatches;
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(BlockChain, ContiguousRestBeyondTheLengthSeenAtOpenIsReadInFull) {
  // The file grew after the length was taken: the rest is read in growing
  // pieces and must still arrive whole and in order.
  ArchiveBuilder builder(64);
  const Bytes data = numbered((3u << 20) + 12345);
  const std::uint32_t blocks[] = {400, 1000};
  builder.put_chain(blocks, data);
  const auto read = read_block_chain(MemoryFile(builder.bytes()), 64, 400,
                                     static_cast<std::uint32_t>(data.size()),
                                     /*length_hint=*/0);
  ASSERT_TRUE(read) << read.error();
  EXPECT_TRUE(*read == data);
}

std::vector<TestFile> sample_files() {
  return {{1, numbered(0)},    {2, numbered(1)},
          {3, numbered(252)},  {4, numbered(253)},
          {5, numbered(5000)}, {6, lrs_literals(numbered(700)), 1}};
}

TEST(BlockChain, InterruptedAndShortReadsGiveTheSameBytes) {
  const Bytes image = build_archive(sample_files());
  const auto flaky = std::make_shared<FaultyFile>(
      std::make_shared<MemoryFile>(image),
      [](std::size_t call, std::uint64_t) -> std::optional<IoError> {
        if (call % 2 == 0) return IoError::from_errno(EINTR);
        return std::nullopt;
      },
      /*max_chunk=*/1);
  const auto db = DatDatabase::open(flaky);
  ASSERT_TRUE(db) << db.error();
  const auto clean = open_in_memory(image);
  ASSERT_TRUE(clean) << clean.error();

  EXPECT_EQ(db->header(), clean->header());
  EXPECT_EQ(db->files().size(), clean->files().size());
  for (const TestFile& file : sample_files()) {
    const auto bytes = db->get_file(file.id);
    ASSERT_TRUE(bytes) << bytes.error();
    EXPECT_EQ(*bytes, *clean->get_file(file.id)) << "id " << file.id;
  }
}

TEST(BlockChain, ReadErrorIsIoAndTheDatabaseStaysUsable) {
  const Bytes data = numbered(600);  // Three blocks.
  const Bytes image = build_archive(std::vector<TestFile>{{9, data}});
  std::atomic<std::size_t> failing_call{SIZE_MAX};
  const auto file = std::make_shared<FaultyFile>(
      std::make_shared<MemoryFile>(image),
      [&](std::size_t call, std::uint64_t) -> std::optional<IoError> {
        if (call == failing_call) return IoError::from_errno(EIO);
        return std::nullopt;
      });
  const auto db = DatDatabase::open(file);
  ASSERT_TRUE(db) << db.error();

  const std::size_t before = file->calls();
  ASSERT_TRUE(db->get_file(9));
  const std::size_t reads = file->calls() - before;
  for (std::size_t n = 0; n < reads; ++n) {
    SCOPED_TRACE("read " + std::to_string(n) + " fails");
    failing_call = file->calls() + n;
    const auto failed = db->get_file(9);
    ASSERT_FALSE(failed);
    ASSERT_EQ(failed.error().kind(), DatError::Kind::kIo) << failed.error();
    EXPECT_EQ(*failed.error().io_error(), IoError::from_errno(EIO));

    failing_call = SIZE_MAX;
    const auto again = db->get_file(9);
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ(*again, data);
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
