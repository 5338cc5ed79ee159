// The ranged read (RangeReader, DatDatabase::read_range, file_length)
// held to get_file and get_stored: on archives whose chains take every
// shape, any range of a file that get_file (get_stored) reads is that
// slice of its bytes; any range whose chain prefix reads is that slice of
// the prefix; a whole-file read fails exactly when get_file does; and the
// length is what get_file yields, for short LRS streams too.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "format/block_chain.h"
#include "quillstone_dat/dat_writer.h"
#include "quillstone_dat/lrs.h"
#include "support/archive_builder.h"
#include "support/random_archive.h"

namespace quillstone_dat::testing {
namespace {

// Ranges chosen for a file of `size` bytes: the whole, the start, the end,
// around block edges and at random; a few past the end.
std::vector<std::pair<std::uint64_t, std::size_t>> ranges_for(
    std::uint64_t size, std::uint32_t block_size, std::mt19937& random) {
  std::vector<std::pair<std::uint64_t, std::size_t>> ranges;
  const std::uint64_t near = std::min<std::uint64_t>(size, 1 << 20);
  ranges.emplace_back(0, static_cast<std::size_t>(near) + 7);
  ranges.emplace_back(size, 5);
  ranges.emplace_back(size + 100, 5);
  if (size == 0) return ranges;
  const std::uint64_t payload = block_size > 4 ? block_size - 4 : 1;
  for (int i = 0; i < 24; ++i) {
    std::uint64_t at = 0;
    switch (random() % 4) {
      case 0: at = random() % near; break;
      case 1: at = (random() % (near / payload + 1)) * payload; break;
      case 2: at = near - 1 - random() % std::min<std::uint64_t>(near, 64); break;
      default: at = (std::uint64_t{random()} << 16 ^ random()) % size; break;
    }
    const std::size_t length = 1 + random() % (random() % 3 == 0 ? 5000 : 300);
    ranges.emplace_back(at, length);
  }
  return ranges;
}

// Checks every range of `id` read through one reader, in the order given,
// and through read_range; the reference is the chain's prefix read as
// get_stored reads it, when that prefix is small enough to read.
void check_file(const DatDatabase& db, const FileExtPolyfill& file,
                std::uint64_t length_hint, const DatFileEntry& entry, bool raw,
                std::mt19937& random) {
  SCOPED_TRACE(::testing::Message() << "id " << entry.id << " raw " << raw
                                    << " size " << entry.size);
  const bool decodes = !raw && entry.is_compressed();
  const DatResult<Bytes> whole =
      raw ? db.get_stored(entry.id) : db.get_file(entry.id);
  auto length = db.file_length(entry.id, raw);
  if (whole) {
    ASSERT_TRUE(length.has_value());
    EXPECT_EQ(*length, whole->size());
  } else if (decodes) {
    EXPECT_FALSE(length.has_value());
  } else {
    EXPECT_EQ(*length, entry.size);
  }

  // A whole-file read succeeds exactly when get_file does.
  {
    auto reader = db.range_reader(entry.id, raw);
    ASSERT_TRUE(reader.has_value());
    Bytes all((decodes && whole ? whole->size()
                                    : std::min<std::size_t>(entry.size, 1 << 22)) +
              16);
    if (entry.size < (1u << 22) || decodes) {
      auto n = reader->read(0, all);
      EXPECT_EQ(n.has_value(), whole.has_value());
      if (n && whole) {
        all.resize(static_cast<std::size_t>(*n));
        EXPECT_EQ(all, *whole);
      }
    }
  }

  auto reader = db.range_reader(entry.id, raw);
  ASSERT_TRUE(reader.has_value());
  for (const auto& [at, count] : ranges_for(entry.size, db.header().block_size,
                                            random)) {
    Bytes got(count);
    auto n = reader->read(at, got);
    Bytes fresh(count);
    auto m = db.read_range(entry.id, at, fresh, raw);
    EXPECT_EQ(n.has_value(), m.has_value()) << "at " << at;
    if (n && m) {
      EXPECT_EQ(*n, *m);
      EXPECT_TRUE(std::equal(got.data(), got.data() + *n, fresh.data()));
    }
    if (whole) {
      ASSERT_TRUE(n.has_value()) << "at " << at << ": " << n.error().debug();
      const std::size_t expect_n =
          at >= whole->size() ? 0 : std::min<std::uint64_t>(count, whole->size() - at);
      ASSERT_EQ(*n, expect_n) << "at " << at;
      EXPECT_TRUE(std::equal(got.data(), got.data() + *n,
                             whole->data() + std::min<std::uint64_t>(at, whole->size())))
          << "at " << at;
      continue;
    }
    if (decodes || at >= entry.size) continue;
    // A damaged stored chain: the prefix up to the range's end, where that
    // reads, holds what the range must give.
    const std::uint64_t end = std::min<std::uint64_t>(entry.size, at + count);
    if (end > (std::uint64_t{1} << 22)) continue;
    auto prefix =
        read_block_chain(file, db.header().block_size, entry.offset,
                         static_cast<std::uint32_t>(end), length_hint);
    if (!prefix) continue;
    ASSERT_TRUE(n.has_value()) << "at " << at << ": " << n.error().debug();
    ASSERT_EQ(*n, end - at);
    EXPECT_TRUE(std::equal(got.data(), got.data() + *n, prefix->data() + at))
        << "at " << at;
  }
}

void check_archive(Bytes image, std::uint32_t seed) {
  MemoryFile file(image);
  const std::uint64_t length = image.size();
  auto db = open_in_memory(std::move(image));
  if (!db) return;
  std::mt19937 random(seed);
  for (const DatFileEntry& entry : db->files().sorted_entries()) {
    check_file(*db, file, length, entry, false, random);
    check_file(*db, file, length, entry, true, random);
  }
}

TEST(RangeReadDifferentialTest, ChainsOfEveryShape) {
  for (std::uint32_t seed = 1; seed <= 150; ++seed) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    ChainShapesArchive archive = random_chain_shapes(seed);
    check_archive(std::move(archive.image), seed);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(RangeReadDifferentialTest, ScatteredRandomArchives) {
  for (std::uint32_t block_size : {64u, 256u, 1024u}) {
    RandomFiles files = random_files({.seed = block_size,
                                      .count = 40,
                                      .max_size = 20000,
                                      .empty_every = 9,
                                      .compressed_every = 3});
    check_archive(build_archive(files.files, block_size), block_size);
  }
}

// Archives as DatWriter lays them out (contiguous chains), with LRS
// streams that end early: cut short, or ended by distance 0.
TEST(RangeReadDifferentialTest, WriterArchivesAndShortStreams) {
  TempDir dir;
  std::mt19937 random(7);
  DatWriter writer({.block_size = 512});
  std::uint32_t id = 1;
  for (int i = 0; i < 30; ++i) {
    Bytes contents(random() % 70000);
    for (auto& byte : contents) byte = static_cast<std::uint8_t>(random() % 7);
    Bytes stored = compress_lrs(contents);
    if (i % 3 == 1 && stored.size() > 8) stored.resize(4 + random() % (stored.size() - 4));
    if (i % 5 == 2) stored.insert(stored.begin() + static_cast<std::ptrdiff_t>(4 + (stored.size() - 4) / 2), {0x80, 0, 0});
    ASSERT_TRUE(writer.add({.id = id++, .contents = std::move(stored),
                            .storage = Storage::kPreStored, .bit_flags = 1}).has_value());
    ASSERT_TRUE(writer.add({.id = id++, .contents = contents}).has_value());
  }
  const auto path = dir / "w.dat";
  ASSERT_TRUE(writer.write(path).has_value());
  check_archive(read_bytes(path), 3);
  // And the length is the short stream's.
  auto db = DatDatabase::open(path);
  ASSERT_TRUE(db.has_value());
  int short_streams = 0;
  for (const DatFileEntry& entry : db->files()) {
    if (!entry.is_compressed()) continue;
    auto stored = db->get_stored(entry.id);
    if (lrs_decoded_size(*stored) < *lrs_declared_size(*stored)) ++short_streams;
  }
  EXPECT_GT(short_streams, 3);
}

TEST(RangeReadDifferentialTest, DecodedSizeMatchesTheDecoder) {
  std::mt19937 random(11);
  for (int i = 0; i < 20000; ++i) {
    Bytes input(random() % 64);
    for (auto& byte : input) byte = static_cast<std::uint8_t>(random());
    if (input.size() >= 4) input[2] = input[3] = 0;
    if (i % 2 == 0 && input.size() >= 4) input[1] = 0;
    ASSERT_EQ(lrs_decoded_size(input), decompress_lrs(input).size()) << i;
  }
  for (int i = 0; i < 200; ++i) {
    Bytes contents(random() % 5000);
    for (auto& byte : contents) byte = static_cast<std::uint8_t>(random() % 4);
    Bytes stored = compress_lrs(contents);
    stored.resize(4 + random() % (stored.size() - 3));
    ASSERT_EQ(lrs_decoded_size(stored), decompress_lrs(stored).size()) << i;
  }
}

// A contiguous chain read in sequence: the reader holds one record of its
// layout, and each read is one positioned read.
TEST(RangeReadDifferentialTest, SequentialReadsOfAContiguousChain) {
  TempDir dir;
  Bytes contents = pattern(3 << 20, 5);
  DatWriter writer({.block_size = 1024});
  ASSERT_TRUE(writer.add({.id = 9, .contents = contents}).has_value());
  ASSERT_TRUE(writer.write(dir / "c.dat").has_value());
  auto db = DatDatabase::open(dir / "c.dat");
  ASSERT_TRUE(db.has_value());
  auto reader = db->range_reader(9);
  ASSERT_TRUE(reader.has_value());
  Bytes piece(128 << 10);
  for (std::uint64_t at = 0; at < contents.size(); at += piece.size()) {
    auto n = reader->read(at, piece);
    ASSERT_TRUE(n.has_value());
    ASSERT_TRUE(std::equal(piece.data(), piece.data() + *n, contents.data() + at));
  }
  EXPECT_EQ(reader->layout_records(), 1u);
}

}  // namespace
}  // namespace quillstone_dat::testing
