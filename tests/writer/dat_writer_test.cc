// DatWriter: archives it writes open with DatDatabase and give every file
// back unchanged, over block sizes, set sizes and storage choices; the
// layout is the one it promises (contiguous chains, a balanced B-tree with
// sorted, bounded nodes, file_size the archive's length); and failures
// leave the target as it was.

#include "quillstone_dat/dat_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <random>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/lrs.h"
#include "support/archive_builder.h"
#include "utils/posix_file.h"

namespace quillstone_dat::testing {
namespace {

namespace fs = std::filesystem;

struct Content {
  std::uint32_t id;
  Bytes data;
};

// Files of assorted sizes, text-like every other one, at spread-out ids.
std::vector<Content> make_contents(std::size_t count, std::size_t max_size,
                                   std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<Content> contents;
  std::uint32_t id = 0x01000000;
  for (std::size_t i = 0; i < count; ++i) {
    id += static_cast<std::uint32_t>(1 + random() % 1000);
    Bytes data(max_size == 0 ? 0 : random() % (max_size + 1));
    for (std::size_t at = 0; at < data.size(); ++at) {
      data[at] = i % 2 ? static_cast<std::uint8_t>(random())
                       : static_cast<std::uint8_t>("abcab  \n"[random() % 8]);
    }
    contents.push_back({id, std::move(data)});
  }
  // Added out of order: the writer sorts.
  std::shuffle(contents.begin(), contents.end(), random);
  return contents;
}

DatResult<ArchiveSummary> write_archive(const std::vector<Content>& contents,
                                        const fs::path& target,
                                        std::uint32_t block_size,
                                        Storage storage) {
  DatWriter writer({.block_size = block_size});
  for (const Content& content : contents) {
    auto added = writer.add({.id = content.id,
                             .contents = content.data,
                             .storage = storage,
                             .timestamp = content.id ^ 0x5555,
                             .version = content.id % 7});
    if (!added) return std::unexpected(added.error());
  }
  return writer.write(target);
}

// Opens `target` and checks it holds exactly `contents`.
void expect_archive_holds(const fs::path& target,
                          const std::vector<Content>& contents) {
  auto db = DatDatabase::open(target);
  ASSERT_TRUE(db.has_value()) << db.error().debug();
  EXPECT_EQ(db->files().size(), contents.size());
  EXPECT_EQ(db->header().file_size, fs::file_size(target));
  EXPECT_EQ(db->header().free_head, 0u);
  for (const Content& content : contents) {
    auto data = db->get_file(content.id);
    ASSERT_TRUE(data.has_value()) << data.error().debug();
    ASSERT_EQ(*data, content.data) << "id " << content.id;
    const DatFileEntry* entry = db->files().find(content.id);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->timestamp, content.id ^ 0x5555);
    EXPECT_EQ(entry->version, content.id % 7);
  }
}

class DatWriterTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(DatWriterTest, RoundTripsAtEveryBlockSizeAndStorage) {
  const std::vector<Content> contents = make_contents(90, 700, 1);
  for (std::uint32_t block_size = 8; block_size <= 72; ++block_size) {
    for (const Storage storage :
         {Storage::kPlain, Storage::kCompressed, Storage::kSmallest}) {
      SCOPED_TRACE(::testing::Message()
                   << "block size " << block_size << ", storage "
                   << static_cast<int>(storage));
      const fs::path target = dir_ / "small.dat";
      auto summary = write_archive(contents, target, block_size, storage);
      ASSERT_TRUE(summary.has_value()) << summary.error().debug();
      EXPECT_EQ(summary->file_count, contents.size());
      expect_archive_holds(target, contents);
      if (HasFatalFailure()) return;
    }
  }
}

TEST_F(DatWriterTest, RoundTripsLargeSetsAndBlocks) {
  // 4000 entries: three directory levels.
  const std::vector<Content> many = make_contents(4000, 300, 2);
  for (const std::uint32_t block_size : {256u, 1024u, 4096u, 65536u}) {
    SCOPED_TRACE(block_size);
    const fs::path target = dir_ / "many.dat";
    auto summary = write_archive(many, target, block_size, Storage::kSmallest);
    ASSERT_TRUE(summary.has_value()) << summary.error().debug();
    EXPECT_EQ(summary->directory_depth, 3u);
    expect_archive_holds(target, many);
  }
  // A few large files across many blocks.
  const std::vector<Content> large = make_contents(6, 3 << 20, 3);
  const fs::path target = dir_ / "large.dat";
  auto summary = write_archive(large, target, 1024, Storage::kSmallest);
  ASSERT_TRUE(summary.has_value()) << summary.error().debug();
  expect_archive_holds(target, large);
}

TEST_F(DatWriterTest, EmptySetAndEmptyFiles) {
  const fs::path target = dir_ / "empty.dat";
  auto summary = write_archive({}, target, 1024, Storage::kPlain);
  ASSERT_TRUE(summary.has_value()) << summary.error().debug();
  EXPECT_EQ(summary->header.root_offset, 0u);
  EXPECT_EQ(summary->directory_depth, 0u);
  expect_archive_holds(target, {});

  const std::vector<Content> empties = {{5, {}}, {6, {}}, {7, {1}}};
  for (const Storage storage : {Storage::kPlain, Storage::kCompressed}) {
    ASSERT_TRUE(write_archive(empties, target, 64, storage).has_value());
    expect_archive_holds(target, empties);
  }
}

TEST_F(DatWriterTest, StorageChoicesSetTheFlagsAndSizes) {
  const Bytes text(5000, 'x');
  Bytes noise(5000);
  std::mt19937 random(9);
  for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());

  DatWriter writer;
  ASSERT_TRUE(writer.add({.id = 1, .contents = text}).has_value());
  ASSERT_TRUE(
      writer.add({.id = 2, .contents = noise, .storage = Storage::kCompressed})
          .has_value());
  ASSERT_TRUE(
      writer.add({.id = 3, .contents = text, .storage = Storage::kSmallest})
          .has_value());
  ASSERT_TRUE(
      writer.add({.id = 4, .contents = noise, .storage = Storage::kSmallest})
          .has_value());
  // Already in stored form: written as given, flags included.
  const Bytes packed = compress_lrs(text);
  ASSERT_TRUE(writer
                  .add({.id = 5,
                        .contents = packed,
                        .storage = Storage::kPreStored,
                        .bit_flags = 0x10001})
                  .has_value());
  const fs::path target = dir_ / "storage.dat";
  auto summary = writer.write(target);
  ASSERT_TRUE(summary.has_value()) << summary.error().debug();
  EXPECT_EQ(summary->compressed_count, 3u);
  EXPECT_EQ(summary->content_bytes, 4 * 5000u + packed.size());

  auto db = DatDatabase::open(target);
  ASSERT_TRUE(db.has_value());
  const auto entry = [&](std::uint32_t id) { return *db->files().find(id); };
  EXPECT_EQ(entry(1).bit_flags, 0u);
  EXPECT_EQ(entry(1).size, 5000u);
  EXPECT_EQ(entry(2).bit_flags, 1u);  // compressed though it grew
  EXPECT_GT(entry(2).size, 5000u);
  EXPECT_EQ(entry(3).bit_flags, 1u);
  EXPECT_LT(entry(3).size, 5000u / 7);  // 17 bytes per reference at best
  EXPECT_EQ(entry(4).bit_flags, 0u);    // compression would not pay
  EXPECT_EQ(entry(5).bit_flags, 0x10001u);
  EXPECT_EQ(*db->get_file(5), text);
  EXPECT_EQ(*db->get_file(2), noise);
}

TEST_F(DatWriterTest, HeaderFieldsAreWrittenAsGiven) {
  WriterOptions options;
  options.block_size = 512;
  options.magic = 0x5442;
  options.dataset = 1;
  options.subset = 2;
  options.master_map_id = 3;
  options.engine_version = 4;
  options.game_version = 5;
  options.version_string = {0xAB, 0, 0, 0, 0, 0, 0, 0,
                            0,    0, 0, 0, 0, 0, 0, 0xCD};
  options.version_minor = 6;
  DatWriter writer(options);
  ASSERT_TRUE(writer.add({.id = 1, .contents = Bytes{1, 2, 3}}).has_value());
  const fs::path target = dir_ / "header.dat";
  ASSERT_TRUE(writer.write(target).has_value());
  auto db = DatDatabase::open(target);
  ASSERT_TRUE(db.has_value()) << db.error().debug();
  const DatHeader& header = db->header();
  EXPECT_EQ(header.magic, 0x5442u);
  EXPECT_EQ(header.block_size, 512u);
  EXPECT_EQ(header.dataset, 1u);
  EXPECT_EQ(header.subset, 2u);
  EXPECT_EQ(header.master_map_id, 3u);
  EXPECT_EQ(header.engine_version, 4u);
  EXPECT_EQ(header.game_version, 5u);
  EXPECT_EQ(header.version_string, options.version_string);
  EXPECT_EQ(header.version_minor, 6u);

  // Exactly those fields are the ones it takes as given; it fills in the
  // rest, and the block size is an option of its own.
  std::vector<std::string> taken;
  for_each_header_field(header, [&](const char* name, const auto&) {
    if (WriterOptions::takes_header_field(name)) taken.emplace_back(name);
  });
  EXPECT_EQ(taken,
            (std::vector<std::string>{
                "magic", "dataset", "subset", "master_map_id", "engine_version",
                "game_version", "version_string", "version_minor"}));
}

// The tree read straight from the archive's bytes.
struct TreeShape {
  std::vector<std::uint32_t> in_order_ids;
  std::vector<std::size_t> leaf_depths;
  std::size_t nodes = 0;
};

void walk_node(const DatDatabase& db, std::uint32_t offset, std::size_t depth,
               TreeShape& shape) {
  const auto node = read_directory_node(db, offset);
  ASSERT_TRUE(node.has_value()) << node.error().debug();
  ++shape.nodes;
  const std::uint32_t entry_count = *node->entry_count;
  ASSERT_GE(entry_count, 1u);
  ASSERT_LE(entry_count, kEntriesPerNode);
  const bool leaf = node->is_leaf();
  for (std::uint32_t i = 0; i <= entry_count; ++i) {
    const std::uint32_t child = node->branches[i];
    // An internal node with k entries has exactly k + 1 children.
    ASSERT_EQ(child == 0, leaf) << "branch " << i << " of node at " << offset;
    if (!leaf) walk_node(db, child, depth + 1, shape);
    if (i < entry_count) shape.in_order_ids.push_back(node->entries[i].id);
  }
  for (std::uint32_t i = entry_count + 1; i < kBranchesPerNode; ++i) {
    EXPECT_EQ(node->branches[i], 0u);
  }
  if (leaf) shape.leaf_depths.push_back(depth);
}

TEST_F(DatWriterTest, DirectoryIsABalancedSortedBTree) {
  for (const std::size_t count :
       {1u, 61u, 62u, 63u, 122u, 3843u, 3844u, 5000u}) {
    SCOPED_TRACE(count);
    const std::vector<Content> contents = make_contents(count, 0, 4);
    const fs::path target = dir_ / "tree.dat";
    auto summary = write_archive(contents, target, 256, Storage::kPlain);
    ASSERT_TRUE(summary.has_value());
    auto db = DatDatabase::open(target);
    ASSERT_TRUE(db.has_value());

    TreeShape shape;
    walk_node(*db, db->header().root_offset, 1, shape);
    if (HasFatalFailure()) return;
    std::vector<std::uint32_t> ids;
    for (const Content& content : contents) ids.push_back(content.id);
    std::sort(ids.begin(), ids.end());
    // In-order is sorted: every id in child i lies between entries i - 1
    // and i.
    EXPECT_EQ(shape.in_order_ids, ids);
    EXPECT_EQ(std::count(shape.leaf_depths.begin(), shape.leaf_depths.end(),
                         shape.leaf_depths.front()),
              static_cast<std::ptrdiff_t>(shape.leaf_depths.size()))
        << "leaves at different depths";
    EXPECT_EQ(shape.leaf_depths.front(), summary->directory_depth);
    EXPECT_EQ(shape.nodes, summary->directory_nodes);
    // The lowest tree: a full tree of one level less could not hold them.
    std::size_t capacity = 1;
    for (std::uint32_t level = 1; level < summary->directory_depth; ++level) {
      capacity *= 62;
    }
    EXPECT_GT(count, capacity - 1);
  }
}

TEST_F(DatWriterTest, ChainsAreContiguousAndEndInZero) {
  const std::vector<Content> contents = make_contents(30, 2000, 5);
  const fs::path target = dir_ / "chains.dat";
  const std::uint32_t block_size = 128;
  ASSERT_TRUE(
      write_archive(contents, target, block_size, Storage::kPlain).has_value());
  auto db = DatDatabase::open(target);
  ASSERT_TRUE(db.has_value());
  const auto file = PosixFile::open(target);
  ASSERT_TRUE(file.has_value());
  for (const DatFileEntry& entry : db->files()) {
    EXPECT_EQ(entry.offset % block_size, 0u);
    const std::uint32_t blocks = std::max<std::uint32_t>(
        1, (entry.size + block_size - 5) / (block_size - 4));
    for (std::uint32_t b = 0; b < blocks; ++b) {
      std::uint8_t next[kNextFieldBytes];
      ASSERT_TRUE(
          file->read_exact_at_compat(next, entry.offset + b * block_size)
              .has_value());
      const std::uint32_t expected =
          b + 1 == blocks ? 0 : entry.offset + (b + 1) * block_size;
      EXPECT_EQ(get_le32(next, 0), expected) << "id " << entry.id;
    }
  }
}

TEST_F(DatWriterTest, RefusesDuplicatesAndTinyBlocks) {
  DatWriter writer;
  ASSERT_TRUE(writer.add({.id = 9, .contents = Bytes{1}}).has_value());
  const auto duplicate = writer.add({.id = 9, .contents = Bytes{2}});
  ASSERT_FALSE(duplicate.has_value());
  EXPECT_EQ(duplicate.error().kind(), DatError::Kind::kDuplicateId);
  EXPECT_EQ(writer.file_count(), 1u);

  const fs::path target = dir_ / "tiny.dat";
  for (const std::uint32_t block_size : {0u, 4u, 7u}) {
    DatWriter tiny({.block_size = block_size});
    const auto written = tiny.write(target);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().kind(), DatError::Kind::kOther);
    EXPECT_FALSE(fs::exists(target));
  }
}

// Into a caller's file the writer puts the same bytes it puts under a
// path, replacing all the file held, and flushes them; a failing file
// gives its error.
TEST_F(DatWriterTest, WritesIntoAnyWritableFile) {
  DatWriter writer({.block_size = 128, .magic = 7});
  for (std::uint32_t id = 1; id <= 150; ++id) {
    ASSERT_TRUE(
        writer
            .add({.id = id,
                  .contents = Bytes(id * 5, static_cast<std::uint8_t>(id)),
                  .storage =
                      id % 3 == 0 ? Storage::kCompressed : Storage::kPlain})
            .has_value());
  }
  const fs::path target = dir_ / "on-disk.dat";
  const auto on_disk = writer.write(target);
  ASSERT_TRUE(on_disk.has_value()) << on_disk.error();

  // Longer junk than the archive, which must not survive anywhere in it.
  MemoryWritableFile memory(Bytes(3 * on_disk->header.file_size, 0xEE));
  const auto in_memory = writer.write(memory);
  ASSERT_TRUE(in_memory.has_value()) << in_memory.error();
  EXPECT_EQ(in_memory->header, on_disk->header);
  EXPECT_EQ(memory.bytes(), read_bytes(target));
  EXPECT_EQ(memory.syncs(), 1u);

  // Each write failing in turn, until the writer makes no more.
  std::size_t failing = 1;
  for (;; ++failing) {
    MemoryWritableFile broken;
    broken.fail_from(failing, ENOSPC);
    const auto failed = writer.write(broken);
    if (failed) break;
    EXPECT_EQ(failed.error().kind(), DatError::Kind::kIo) << failing;
    EXPECT_EQ(failed.error().io_error()->os_error(), ENOSPC) << failing;
  }
  // Emptying, the body, the header and the length at the least.
  EXPECT_GE(failing, 5u);
  // Refused before the file is touched, as on disk.
  MemoryWritableFile untouched(Bytes{1, 2, 3});
  EXPECT_FALSE(DatWriter({.block_size = 4}).write(untouched).has_value());
  EXPECT_EQ(untouched.bytes(), (Bytes{1, 2, 3}));
}

TEST_F(DatWriterTest, AFailureLeavesTheTargetUntouched) {
  const fs::path target = dir_ / "kept.dat";
  write_bytes(target, bytes_of("previous contents"));

  DatWriter writer;
  ASSERT_TRUE(writer.add({.id = 1, .contents = Bytes(100, 7)}).has_value());
  ASSERT_TRUE(
      writer.add({.id = 2, .contents = dir_ / "no such file"}).has_value());
  const auto written = writer.write(target);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind(), DatError::Kind::kPathError);
  EXPECT_NE(written.error().debug().find("no such file"), std::string::npos);

  // The old contents stand and no temporary file is left beside them.
  auto kept = PosixFile::open(target);
  ASSERT_TRUE(kept.has_value());
  Bytes previous(17);
  ASSERT_TRUE(kept->read_exact_at_compat(previous, 0).has_value());
  EXPECT_EQ(previous, bytes_of("previous contents"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()),
                          fs::directory_iterator()),
            1);

  // A folder that cannot be written to: PathError naming the target.
  const fs::path missing = dir_ / "missing" / "x.dat";
  const auto nowhere = writer.write(missing);
  ASSERT_FALSE(nowhere.has_value());
  EXPECT_EQ(nowhere.error().kind(), DatError::Kind::kPathError);
}

TEST_F(DatWriterTest, ReadsContentsFromFilesAtWriteTime) {
  const Bytes data = bytes_of("contents read from a file on disk");
  const fs::path source = write_bytes(dir_ / "source.bin", data);
  DatWriter writer({.block_size = 16});
  ASSERT_TRUE(
      writer.add({.id = 3, .contents = source, .storage = Storage::kSmallest})
          .has_value());
  ASSERT_TRUE(writer.add({.id = 4, .contents = dir_.path()}).has_value());
  // A folder is no file's contents.
  ASSERT_FALSE(writer.write(dir_ / "from_files.dat").has_value());

  DatWriter good({.block_size = 16});
  ASSERT_TRUE(good.add({.id = 3, .contents = source}).has_value());
  ASSERT_TRUE(good.write(dir_ / "from_files.dat").has_value());
  auto db = DatDatabase::open(dir_ / "from_files.dat");
  ASSERT_TRUE(db.has_value());
  EXPECT_EQ(*db->get_file(3), data);
}

// A reader is called once, while writing; its error fails the write.
TEST_F(DatWriterTest, ReadsContentsFromReadersAtWriteTime) {
  const Bytes data = bytes_of("contents a reader yields");
  std::atomic<int> calls = 0;
  const auto reader = [&]() -> DatResult<Bytes> {
    ++calls;
    return data;
  };
  DatWriter writer({.block_size = 16});
  ASSERT_TRUE(writer
                  .add({.id = 5,
                        .contents = ContentsReader{data.size(), reader},
                        .storage = Storage::kCompressed})
                  .has_value());
  EXPECT_EQ(calls, 0);
  ASSERT_TRUE(writer.write(dir_ / "from_reader.dat").has_value());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(*DatDatabase::open(dir_ / "from_reader.dat")->get_file(5), data);

  const DatError refusal = DatError::other("source archive unreadable");
  ASSERT_TRUE(writer
                  .add({.id = 6,
                        .contents = ContentsReader{4,
                                                   [&]() -> DatResult<Bytes> {
                                                     return std::unexpected(
                                                         refusal);
                                                   }}})
                  .has_value());
  EXPECT_EQ(writer.write(dir_ / "refused.dat"), std::unexpected(refusal));
  EXPECT_FALSE(fs::exists(dir_ / "refused.dat"));
}

}  // namespace
}  // namespace quillstone_dat::testing
