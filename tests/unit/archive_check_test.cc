// The integrity check: what it reports about each kind of damage, and for
// which entry or directory node.

#include "quillstone_dat/archive_check.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {
namespace {

using Kind = CheckProblem::Kind;
// A problem as (kind, id, offset, detail).
using Found =
    std::tuple<Kind, std::optional<std::uint32_t>, std::uint64_t, std::string>;

std::vector<Found> found_in(const DatResult<CheckReport>& report) {
  EXPECT_TRUE(report.has_value()) << report.error().debug();
  if (!report) return {};
  std::vector<Found> found;
  for (const CheckProblem& p : report->problems) {
    found.emplace_back(p.kind, p.id, p.offset, p.detail);
  }
  return found;
}

std::vector<Found> problems_of(const Bytes& image,
                               const CheckOptions& options = {}) {
  auto db = open_in_memory(image);
  EXPECT_TRUE(db.has_value()) << db.error().debug();
  if (!db) return {};
  return found_in(db->check(options));
}

TEST(ArchiveCheck, ASoundArchiveIsCleanAtEitherDepth) {
  std::vector<TestFile> files;
  for (std::uint32_t i = 0; i < 80; ++i) {  // a root with two leaves
    const Bytes data(i * 13 % 500, static_cast<std::uint8_t>(i));
    files.push_back(i % 3 == 0 ? TestFile{i, lrs_literals(data), 1}
                               : TestFile{i, data});
  }
  TempDir dir;
  const auto path = write_bytes(dir / "good.dat", build_archive(files, 64));
  for (const bool decode : {true, false}) {
    const auto report = check_archive(path, {.decode_payloads = decode});
    ASSERT_TRUE(report.has_value()) << report.error().debug();
    EXPECT_TRUE(report->clean());
    EXPECT_EQ(report->entries, 80u);
    EXPECT_EQ(report->nodes, 3u);
  }
  const auto missing = check_archive(dir / "none.dat");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), DatError::Kind::kPathError);
}

TEST(ArchiveCheck, ChainsThatLoopOrLeaveTheFile) {
  ArchiveBuilder builder(64);
  // Two blocks, the second leading back to the first, for 180 bytes.
  const std::uint32_t a = builder.end();
  const std::uint32_t blocks[] = {a, a + 128};
  builder.put_chain(blocks, Bytes(120, 3), a);
  // The last file lies past the root, so that cutting it leaves the
  // directory whole.
  const std::uint32_t root = a + 192;
  const std::uint32_t last = root + 1728;
  const std::uint32_t last_block[] = {last};
  builder.put_chain(last_block, Bytes(10, 2));
  builder.put_node(
      root,
      Node{{}, {{0, 1, a, 180, 0, 0}, {0, 2, last, 10, 0, 0}}, std::nullopt});
  builder.header().root_offset = root;
  const auto file = std::make_shared<MemoryFile>(builder.bytes());
  auto db = DatDatabase::open(file);
  ASSERT_TRUE(db.has_value()) << db.error().debug();
  // Cut after the open: the check measures the file as it is now.
  file->truncate(last + 8);
  EXPECT_EQ(
      found_in(db->check()),
      (std::vector<Found>{
          {Kind::kChainLoop, 1, a,
           "chain comes back to its block at offset " + std::to_string(a) +
               " with 60 bytes still to read"},
          {Kind::kOutsideFile, 2, last,
           "block at offset " + std::to_string(last) + " runs to offset " +
               std::to_string(last + 14) + ", past the end of the archive (" +
               std::to_string(last + 8) + " bytes)"}}));
}

// Chains that step back: one that never revisits a block is sound, one
// that comes back to a block it reached before its step back loops.
TEST(ArchiveCheck, ChainsThatStepBackLoopOnlyWhenTheyRevisit) {
  ArchiveBuilder builder(64);
  const std::uint32_t a = builder.end();
  const std::uint32_t sound[] = {a + 128, a, a + 256};
  builder.put_chain(sound, Bytes(150, 1));
  const std::uint32_t b = a + 384;
  const std::uint32_t looping[] = {b + 128, b, b + 256};
  builder.put_chain(looping, Bytes(120, 2), b + 128);
  builder.put(b + 384, {});
  const Bytes image = builder
                          .put_root(Node{{},
                                         {{0, 1, a + 128, 150, 0, 0},
                                          {0, 2, b + 128, 200, 0, 0}},
                                         std::nullopt})
                          .bytes();
  auto db = DatDatabase::open(std::make_shared<MemoryFile>(image));
  ASSERT_TRUE(db.has_value()) << db.error().debug();
  EXPECT_EQ(found_in(db->check()),
            (std::vector<Found>{{Kind::kChainLoop, 2, b + 128,
                                 "chain comes back to its block at offset " +
                                     std::to_string(b + 128) +
                                     " with 20 bytes still to read"}}));
}

TEST(ArchiveCheck, FilesSharingBytesAreReportedOncePerPair) {
  ArchiveBuilder builder(64);
  const std::uint32_t a = builder.end();
  const std::uint32_t first[] = {a, a + 128, a + 256};
  builder.put_chain(first, Bytes(180, 1));
  // The second file runs through the first file's last two blocks, which
  // are apart: two overlaps, one pair.
  const std::uint32_t second[] = {a + 384, a + 128, a + 256};
  builder.put_chain(second, Bytes(180, 1));
  builder.put(a + 448, {});
  const Bytes image =
      builder
          .put_root(Node{{},
                         {{0, 1, a, 180, 0, 0}, {0, 2, a + 384, 180, 0, 0}},
                         std::nullopt})
          .bytes();
  EXPECT_EQ(
      problems_of(image),
      (std::vector<Found>{{Kind::kSharedBlock, 2, a + 384,
                           "bytes at offset " + std::to_string(a + 128) +
                               " also belong to the chain of 00000001"}}));
}

TEST(ArchiveCheck, NodesSharingBytesWithTheHeaderFilesOrEachOther) {
  ArchiveBuilder builder;
  // The root starts 20 bytes before the header; the header's bytes land on
  // branches the root does not use.
  const std::uint32_t root = 300;
  const std::uint32_t leaf = root + 1732;
  // Empty leaves are all zeros, so one can start inside the other.
  const std::uint32_t inner = leaf + 100;
  // File 7's bytes lie in the root's unused entry slots.
  const Node top{{leaf, inner}, {{0, 7, root + 500, 10, 0, 0}}, std::nullopt};
  builder.put_node(root, top).put_node(leaf, {}).put_node(inner, {});
  builder.header().root_offset = root;
  EXPECT_EQ(problems_of(builder.bytes()),
            (std::vector<Found>{
                {Kind::kNodeOverlap, std::nullopt, root,
                 "chain's bytes at offset 320 overlap the header"},
                {Kind::kNodeOverlap, std::nullopt, inner,
                 "bytes at offset " + std::to_string(inner) +
                     " also belong to the directory node at offset " +
                     std::to_string(leaf)},
                {Kind::kNodeOverlap, 7, root + 500,
                 "bytes at offset " + std::to_string(root + 500) +
                     " also belong to the directory node at offset 300"}}));
}

TEST(ArchiveCheck, PayloadsAreCheckedOnlyWhenDecoding) {
  ArchiveBuilder builder(64);
  Bytes lying = lrs_literals(bytes_of("sixteen bytes..."));
  lying[0] = 200;  // declares 200 bytes, holds 16
  const DatFileEntry fine =
      builder.add_file(1, lrs_literals(bytes_of("ok")), 1);
  const DatFileEntry mismatch = builder.add_file(2, lying, 1);
  const DatFileEntry too_short = builder.add_file(3, bytes_of("ab"), 1);
  // Two blocks: with a block size of 4 the chain cannot be followed, which
  // a layout check finds too.
  const std::uint32_t a = builder.end();
  const std::uint32_t blocks[] = {a, a + 64};
  builder.put_chain(blocks, Bytes(100, 5));
  builder.header().block_size = 4;
  const Bytes image =
      builder
          .put_root(Node{{},
                         {fine, mismatch, too_short, {0, 4, a, 100, 0, 0}},
                         std::nullopt})
          .bytes();
  const Found unreadable{
      Kind::kReadError, 4, a,
      "Corruption(\"block size 4 leaves no room for payload\")"};
  EXPECT_EQ(problems_of(image),
            (std::vector<Found>{
                {Kind::kSizeMismatch, 2, mismatch.offset,
                 "payload declares 200 bytes but its stream decodes to 16"},
                {Kind::kShortPayload, 3, too_short.offset,
                 "compressed entry stores 2 bytes, too few for its 4-byte "
                 "size prefix"},
                unreadable}));
  EXPECT_EQ(problems_of(image, {.decode_payloads = false}),
            std::vector<Found>{unreadable});
}

// Free blocks at 2240 and 2304 on a list, two more that nothing uses: the
// free list and the leak are looked at only when asked, and each way of
// breaking the list is one problem.
TEST(ArchiveCheck, FreeListAndLeakedBlocksWhenAsked) {
  ArchiveBuilder builder(64);
  const DatFileEntry file = builder.add_file(1, Bytes(60, 1));
  builder.put_root(Node{{}, {file}, std::nullopt});
  const std::uint32_t free = 2240;
  builder.put_u32(free, free + 64).put(free + 255, Bytes{0});
  builder.header().free_head = free;
  builder.header().free_tail = free + 64;
  builder.header().free_count = 2;
  const CheckOptions asked{.check_free_space = true};
  EXPECT_EQ(problems_of(builder.bytes()), std::vector<Found>{});
  EXPECT_EQ(problems_of(builder.bytes(), asked),
            (std::vector<Found>{
                {Kind::kLeaked, std::nullopt, free + 128,
                 "128 bytes from offset 2368 are used by no file, directory "
                 "node or free block"}}));

  // The free-list problem of the archive with the list changed.
  const auto list_problem = [&](std::uint32_t head, std::uint32_t tail,
                                std::uint32_t count, std::uint32_t first_link) {
    ArchiveBuilder broken = builder;
    broken.put_u32(free, first_link);
    broken.header().free_head = head;
    broken.header().free_tail = tail;
    broken.header().free_count = count;
    std::string detail;
    for (const Found& found : problems_of(broken.bytes(), asked)) {
      if (std::get<0>(found) == Kind::kFreeList) detail += std::get<3>(found);
    }
    return detail;
  };
  EXPECT_EQ(list_problem(file.offset, file.offset, 1, free + 64),
            "free block 400 holds bytes a file or directory node uses");
  EXPECT_EQ(list_problem(free, free + 64, 3, free + 64),
            "free list ends after 2 blocks, but free_count is 3");
  EXPECT_EQ(list_problem(free, free, 2, free + 64),
            "free_tail 2240 is not the list's last block 2304");
  EXPECT_EQ(list_problem(free + 256, free + 256, 1, free + 64),
            "free block 2496 lies outside the file's blocks (2496 bytes)");
  EXPECT_EQ(list_problem(free, free + 64, 2, free + 72),
            "free block 2312 is not aligned as free_head 2240 is");
  EXPECT_EQ(list_problem(free, free + 72, 2, free + 64),
            "free_tail 2312 is not aligned as free_head 2240 is");
  EXPECT_EQ(list_problem(free, free, 2, free),
            "free list comes back to block 2240");
}

// A header whose block size leaves blocks no room still opens when every
// chain is one contiguous run; its free space is then not reckoned in
// blocks at all, and the check says so instead of dividing by the size.
TEST(ArchiveCheck, BlocksWithoutRoomHaveNoFreeSpaceToCheck) {
  for (const std::uint32_t block_size : {0u, 1u, 4u}) {
    ArchiveBuilder builder(64);
    const DatFileEntry file = builder.add_file(1, Bytes(300, 1));
    builder.put_root(Node{{}, {file}, std::nullopt});
    builder.header().block_size = block_size;
    builder.header().free_head = 1024;
    builder.header().free_tail = 1024;
    builder.header().free_count = 1;
    EXPECT_EQ(problems_of(builder.bytes()), std::vector<Found>{});
    EXPECT_EQ(
        problems_of(builder.bytes(), {.check_free_space = true}),
        (std::vector<Found>{{Kind::kFreeList, std::nullopt, 1024,
                             "block size " + std::to_string(block_size) +
                                 " leaves blocks no room, so free space is not "
                                 "counted in blocks"}}))
        << block_size;
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
