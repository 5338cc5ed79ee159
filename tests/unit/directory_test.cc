// The directory walk at open: which branches are followed, which entries
// end up in the table, and how malformed trees end the open.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "support/archive_builder.h"
#include "support/expect_error.h"

namespace quillstone_dat::testing {
namespace {

constexpr std::uint32_t kPastEnd = 1u << 24;

DatFileEntry entry(std::uint32_t id, std::uint32_t version = 0) {
  return DatFileEntry{0, id, 0x1000 + id, 10, 0x5EED, version};
}

std::vector<DatFileEntry> entries(std::uint32_t first, std::uint32_t count) {
  std::vector<DatFileEntry> out;
  for (std::uint32_t i = 0; i < count; ++i) out.push_back(entry(first + i));
  return out;
}

std::vector<std::uint32_t> ids_of(const DatDatabase& db) {
  std::vector<std::uint32_t> ids;
  for (const DatFileEntry& e : db.files()) ids.push_back(e.id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::vector<std::uint32_t> ids_from(std::uint32_t first, std::uint32_t count) {
  std::vector<std::uint32_t> ids(count);
  for (std::uint32_t i = 0; i < count; ++i) ids[i] = first + i;
  return ids;
}

// An archive whose root node is `root` at offset 1000 and whose other nodes
// are placed by the caller.
ArchiveBuilder with_root(const Node& root) {
  ArchiveBuilder builder;
  builder.put_node(1000, root);
  builder.header().root_offset = 1000;
  return builder;
}

TEST(Directory, LeafIgnoresItsOtherBranches) {
  Node root{{}, entries(1, 3), std::nullopt};
  Node overfull{{}, entries(50, 1), 62};
  for (std::size_t i = 1; i < 62; ++i) {
    root.branches[i] = i % 2 == 0 ? kPastEnd : 4000;
  }
  ArchiveBuilder builder = with_root(root);
  builder.put_node(4000, overfull);
  const auto db = open_in_memory(builder.bytes());
  ASSERT_TRUE(db) << db.error();

  ASSERT_EQ(db->files().size(), 3u);
  for (const DatFileEntry& e : root.entries) {
    ASSERT_NE(db->files().find(e.id), nullptr);
    EXPECT_EQ(*db->files().find(e.id), e);
  }
}

TEST(Directory, InternalNodeFollowsItsFirstEntryCountPlusOneBranches) {
  // Branch 1 is zero and skipped; branch 3 would fail and is not followed.
  Node root{{3000, 0, 5000, kPastEnd, kPastEnd}, entries(1, 2), std::nullopt};
  ArchiveBuilder builder = with_root(root);
  builder.put_node(3000, Node{{}, entries(10, 4), std::nullopt});
  builder.put_node(5000, Node{{}, entries(20, 5), std::nullopt});
  const auto db = open_in_memory(builder.bytes());
  ASSERT_TRUE(db) << db.error();

  std::vector<std::uint32_t> expected = ids_from(1, 2);
  for (std::uint32_t id : ids_from(10, 4)) expected.push_back(id);
  for (std::uint32_t id : ids_from(20, 5)) expected.push_back(id);
  EXPECT_EQ(ids_of(*db), expected);

  // Branch 2 is among those followed: leading nowhere, it fails the open.
  root.branches[2] = kPastEnd;
  builder.put_node(1000, root);
  EXPECT_FALSE(open_in_memory(builder.bytes()));
}

TEST(Directory, EntryCountZeroFollowsExactlyTheFirstBranch) {
  ArchiveBuilder builder =
      with_root(Node{{3000, kPastEnd, kPastEnd}, {}, std::nullopt});
  builder.put_node(3000, Node{{}, entries(7, 2), std::nullopt});
  const auto db = open_in_memory(builder.bytes());
  ASSERT_TRUE(db) << db.error();
  EXPECT_EQ(ids_of(*db), ids_from(7, 2));
}

TEST(Directory, FullNodeFollowsAllSixtyTwoBranches) {
  Node root{{}, entries(1000, 61), std::nullopt};
  ArchiveBuilder builder;
  for (std::uint32_t i = 0; i < 62; ++i) {
    root.branches[i] = 4000 + i * 2000;
    builder.put_node(root.branches[i], Node{{}, {entry(i)}, std::nullopt});
  }
  builder.put_node(1000, root);
  builder.header().root_offset = 1000;
  const auto db = open_in_memory(builder.bytes());
  ASSERT_TRUE(db) << db.error();

  std::vector<std::uint32_t> expected = ids_from(0, 62);
  for (std::uint32_t id : ids_from(1000, 61)) expected.push_back(id);
  EXPECT_EQ(ids_of(*db), expected);
}

TEST(Directory, EntryCountPastSixtyOneFailsAtTheEntryBeyondTheNode) {
  for (const std::uint32_t count : {62u, 0xFFFFFFFFu}) {
    SCOPED_TRACE("entry_count " + std::to_string(count));
    const auto db =
        open_in_memory(with_root(Node{{}, entries(1, 61), count}).bytes());
    ASSERT_FALSE(db);
    ASSERT_EQ(db.error().kind(), DatError::Kind::kBinRead) << db.error();
    const BinReadError& bin = *db.error().bin_read_error();
    EXPECT_EQ(bin.cause(), IoError::fill_whole_buffer());
    ASSERT_EQ(bin.frames().size(), 1u);
    EXPECT_EQ(bin.frames()[0].message,
              "While parsing field 'bit_flags' in DatFileEntry");
  }
}

TEST(Directory, NodeIsReadThroughItsBlockChain) {
  // A full node spread over seven scattered 256-byte blocks, so that
  // entries straddle block boundaries.
  ArchiveBuilder builder(256);
  const Node node{{}, entries(300, 61), std::nullopt};
  const std::uint32_t blocks[] = {9000, 2000, 7000, 1000, 5000, 3000, 11000};
  builder.put_chain(blocks, encode_node(node));
  builder.header().root_offset = 9000;
  const auto db = open_in_memory(builder.bytes());
  ASSERT_TRUE(db) << db.error();
  EXPECT_EQ(ids_of(*db), ids_from(300, 61));
  EXPECT_EQ(*db->files().find(360), entry(360));
}

TEST(Directory, LaterEntryInTheWalkWins) {
  // Pre-order: the root's entries, then branch 0's subtree, then branch 1's.
  Node root{{3000, 5000}, {entry(5, 1), entry(6, 1)}, std::nullopt};
  root.entry_count = 1;  // Only entry(5, 1) counts.
  ArchiveBuilder builder = with_root(root);
  builder.put_node(3000,
                   Node{{},
                        {entry(5, 2), entry(6, 2), entry(7, 1), entry(7, 2)},
                        std::nullopt});
  builder.put_node(5000, Node{{}, {entry(6, 3)}, std::nullopt});
  const auto db = open_in_memory(builder.bytes());
  ASSERT_TRUE(db) << db.error();

  EXPECT_EQ(db->files().size(), 3u);
  EXPECT_EQ(db->files().find(5)->version, 2u);  // Child over parent.
  EXPECT_EQ(db->files().find(6)->version, 3u);  // Later sibling.
  EXPECT_EQ(db->files().find(7)->version, 2u);  // Later in the same node.
}

TEST(Directory, BranchBackToAnAncestorIsCorruption) {
  ArchiveBuilder to_self = with_root(Node{{1000}, {}, std::nullopt});
  expect_corruption(open_in_memory(to_self.bytes()));

  ArchiveBuilder to_root = with_root(Node{{3000}, {entry(1)}, std::nullopt});
  to_root.put_node(3000, Node{{5000}, {entry(2)}, std::nullopt});
  to_root.put_node(5000, Node{{1000}, {entry(3)}, std::nullopt});
  expect_corruption(open_in_memory(to_root.bytes()));
}

TEST(Directory, TwoBranchesToOneSubtreeAreCorruption) {
  // Shared subtrees nested a few levels deep would make the walk exponential.
  ArchiveBuilder builder =
      with_root(Node{{3000, 3000}, {entry(1)}, std::nullopt});
  builder.put_node(3000, Node{{}, {entry(2)}, std::nullopt});
  expect_corruption(open_in_memory(builder.bytes()));
}

TEST(Directory, AbsurdDepthIsCorruptionNotStackOverflow) {
  ArchiveBuilder builder;
  builder.put_nested_nodes(10000, [](std::uint32_t level, std::uint32_t child) {
    return Node{{child}, {entry(level)}, 0};
  });
  expect_corruption(open_in_memory(builder.bytes()));
}

TEST(Directory, ModestDepthLoads) {
  constexpr std::uint32_t kLevels = 24;
  ArchiveBuilder builder;
  builder.put_nested_nodes(kLevels,
                           [](std::uint32_t level, std::uint32_t child) {
                             return Node{{child}, {entry(level)}, std::nullopt};
                           });
  const auto db = open_in_memory(builder.bytes());
  ASSERT_TRUE(db) << db.error();
  EXPECT_EQ(ids_of(*db), ids_from(0, kLevels));
}

TEST(Directory, NodeBeyondTheFileIsEof) {
  ArchiveBuilder past_end;
  past_end.header().root_offset = kPastEnd;

  ArchiveBuilder cut_short = with_root(Node{{}, entries(1, 3), std::nullopt});
  Bytes cut = cut_short.bytes();
  cut.resize(1000 + 4 + 1000);  // The root's 1716 bytes are not all there.

  ArchiveBuilder child_past_end =
      with_root(Node{{kPastEnd}, {entry(1)}, std::nullopt});

  for (const Bytes& image : {past_end.bytes(), cut, child_past_end.bytes()}) {
    const auto db = open_in_memory(image);
    ASSERT_FALSE(db);
    ASSERT_EQ(db.error().kind(), DatError::Kind::kIo) << db.error();
    EXPECT_EQ(*db.error().io_error(), IoError::fill_whole_buffer());
  }
}

TEST(Directory, FailingChildEndsTheWalkWithItsError) {
  ArchiveBuilder builder =
      with_root(Node{{3000, 5000}, {entry(1)}, std::nullopt});
  builder.put_node(3000, Node{{}, {entry(2)}, std::nullopt});
  builder.put_node(5000, Node{{}, {entry(3)}, std::nullopt});
  std::vector<std::uint64_t> offsets;
  const auto file = std::make_shared<FaultyFile>(
      std::make_shared<MemoryFile>(builder.bytes()),
      [&](std::size_t, std::uint64_t offset) -> std::optional<IoError> {
        offsets.push_back(offset);
        if (offset == 3000) return IoError::from_errno(EIO);
        return std::nullopt;
      });

  const auto db = DatDatabase::open(file);
  ASSERT_FALSE(db);
  ASSERT_EQ(db.error().kind(), DatError::Kind::kIo) << db.error();
  EXPECT_EQ(*db.error().io_error(), IoError::from_errno(EIO));
  EXPECT_EQ(std::count_if(offsets.begin(), offsets.end(),
                          [](std::uint64_t at) { return at >= 5000; }),
            0);
}

TEST(Directory, EmptyDirectoryReadsNoNode) {
  std::vector<std::uint64_t> offsets;
  const auto file = std::make_shared<FaultyFile>(
      std::make_shared<MemoryFile>(ArchiveBuilder().bytes()),
      [&](std::size_t, std::uint64_t offset) -> std::optional<IoError> {
        offsets.push_back(offset);
        return std::nullopt;
      });
  const auto db = DatDatabase::open(file);
  ASSERT_TRUE(db) << db.error();
  EXPECT_TRUE(db->files().empty());
  for (const std::uint64_t at : offsets) {
    EXPECT_GE(at, kHeaderAt);
    EXPECT_LT(at, kHeaderEndAt);
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
