// Edits through DatEditor read back through DatDatabase: what commits
// change and reuse, the lock, readers opened before a commit, commits that
// fail, archives of other writers and free lists not to be trusted.

#include "quillstone_dat/dat_editor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

#include "editor/edit_support.h"
#include "editor/power_cut_disk.h"
#include "quillstone_dat/dat_database.h"

namespace quillstone_dat::testing {
namespace {

namespace fs = std::filesystem;
using Damage = std::vector<std::string>;

Bytes read_whole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Contents some_files(std::uint32_t count) {
  Contents files;
  for (std::uint32_t i = 0; i < count; ++i) files[100 + i] = pattern(i * 61, i);
  return files;
}

class DatEditorTest : public ::testing::Test {
 protected:
  fs::path archive(const Bytes& image) {
    return write_bytes(dir_ / "a.dat", image);
  }
  TempDir dir_;
};

TEST_F(DatEditorTest, CommitsReadBackAndReuseFreedBlocks) {
  Contents files = some_files(30);
  const fs::path path = archive(writer_archive(files, 256));
  auto editor = DatEditor::open(path, {FreeBlockReuse::kAlways});
  ASSERT_TRUE(editor) << editor.error().debug();
  ASSERT_TRUE(
      editor->put(writer_file(7, pattern(5000, 7), Storage::kCompressed)));
  ASSERT_TRUE(editor->put(writer_file(110, {})));
  ASSERT_TRUE(editor->remove(120));
  auto summary = editor->commit();
  ASSERT_TRUE(summary) << summary.error().debug();
  EXPECT_EQ(summary->added, 1u);
  EXPECT_EQ(summary->replaced, 1u);
  EXPECT_EQ(summary->removed, 1u);
  EXPECT_GT(summary->blocks_freed, 0u);
  EXPECT_EQ(summary->blocks_leaked, 0u);
  files[7] = pattern(5000, 7);
  files[110] = {};
  files.erase(120);
  EXPECT_EQ(contents_of(read_whole(path)), files);

  // The same editor commits again, first into the blocks it freed.
  const auto size = fs::file_size(path);
  ASSERT_TRUE(editor->put(writer_file(8, pattern(300, 8))));
  summary = editor->commit();
  ASSERT_TRUE(summary) << summary.error().debug();
  EXPECT_GT(summary->blocks_reused, 0u);
  EXPECT_EQ(summary->blocks_appended, 0u);
  EXPECT_EQ(fs::file_size(path), size);
  files[8] = pattern(300, 8);
  EXPECT_EQ(contents_of(read_whole(path)), files);
  EXPECT_EQ(damage_of(read_whole(path)), Damage{});
}

// By default small commits append and their freed blocks join the list; a
// commit needing a sixteenth of the archive's blocks proves and uses it.
TEST_F(DatEditorTest, CommitsAppendUntilReusingIsWorthwhile) {
  Contents files = some_files(40);
  const fs::path path = archive(writer_archive(files, 256));
  const auto edit = [&](FreeBlockReuse reuse, std::uint32_t id,
                        std::size_t size) {
    auto editor = DatEditor::open(path, {reuse});
    EXPECT_TRUE(editor && editor->put(writer_file(id, pattern(size, id))));
    const auto summary = editor->commit();
    EXPECT_TRUE(summary);
    files[id] = pattern(size, id);
    EXPECT_EQ(contents_of(read_whole(path)), files);
    EXPECT_EQ(damage_of(read_whole(path)), Damage{});
    return summary.value_or(CommitSummary{});
  };
  const auto free_count = [&] {
    return DatDatabase::open(path)->header().free_count;
  };
  std::uint64_t freed = 0;
  for (const std::uint32_t id : {105u, 106u}) {
    const CommitSummary small = edit(FreeBlockReuse::kWhenWorthwhile, id, 300);
    EXPECT_EQ(small.blocks_reused, 0u);
    EXPECT_GT(small.blocks_freed, 0u);
    freed += small.blocks_freed;
    EXPECT_EQ(free_count(), freed);
    EXPECT_EQ(small.free_blocks, freed);
    EXPECT_EQ(small.archive_blocks, fs::file_size(path) / 256);
  }
  const CommitSummary never = edit(FreeBlockReuse::kNever, 1, 8000);
  EXPECT_EQ(never.blocks_reused, 0u);
  freed += never.blocks_freed;  // the directory nodes it replaced
  EXPECT_EQ(free_count(), freed);
  const CommitSummary large = edit(FreeBlockReuse::kWhenWorthwhile, 2, 8000);
  EXPECT_EQ(large.blocks_reused, freed);
  EXPECT_EQ(free_count(), large.blocks_freed);
}

// Another writer's two entries naming one chain: replacing one frees none
// of what the other reads, whether or not the editor followed every chain.
TEST_F(DatEditorTest, ChainSharedByTwoEntriesIsNeverFreed) {
  for (const FreeBlockReuse reuse :
       {FreeBlockReuse::kNever, FreeBlockReuse::kAlways}) {
    ArchiveBuilder builder(64);
    const DatFileEntry first = builder.add_file(1, pattern(300, 1));
    DatFileEntry second = first;
    second.id = 2;
    builder.put_root(Node{{}, {first, second}, std::nullopt});
    builder.header().file_size = builder.end();
    const fs::path path = archive(builder.bytes());
    {
      auto editor = DatEditor::open(path, {reuse});
      ASSERT_TRUE(editor && editor->put(writer_file(1, pattern(200, 9))));
      const auto summary = editor->commit();
      ASSERT_TRUE(summary);
      EXPECT_EQ(summary->blocks_freed, 0u);
      EXPECT_GT(summary->blocks_leaked, 0u);
    }
    auto editor = DatEditor::open(path, {FreeBlockReuse::kAlways});
    ASSERT_TRUE(editor && editor->put(writer_file(3, pattern(900, 3))));
    ASSERT_TRUE(editor->commit());
    const Contents expected = {
        {1, pattern(200, 9)}, {2, pattern(300, 1)}, {3, pattern(900, 3)}};
    EXPECT_EQ(contents_of(read_whole(path)), expected);
  }
}

TEST_F(DatEditorTest, StagingKeepsTheLastWordOnEachId) {
  Contents files = some_files(5);
  const fs::path path = archive(writer_archive(files, 64));
  auto editor = DatEditor::open(path);
  ASSERT_TRUE(editor);
  EXPECT_EQ(editor->remove(99), std::unexpected(DatError::not_found(99)));
  ASSERT_TRUE(editor->put(writer_file(1, pattern(10, 1))));
  ASSERT_TRUE(editor->put(writer_file(1, pattern(20, 2))));
  ASSERT_TRUE(editor->put(writer_file(2, pattern(10, 3))));
  ASSERT_TRUE(editor->remove(2));
  ASSERT_TRUE(editor->remove(101));
  EXPECT_FALSE(editor->remove(101));
  ASSERT_TRUE(editor->remove(102));
  ASSERT_TRUE(editor->put(writer_file(102, pattern(30, 4))));
  const auto summary = editor->commit();
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->added + summary->replaced + summary->removed, 3u);
  files[1] = pattern(20, 2);
  files[102] = pattern(30, 4);
  files.erase(101);
  EXPECT_EQ(contents_of(read_whole(path)), files);

  const Bytes before = read_whole(path);
  EXPECT_EQ(editor->commit()->added, 0u);
  EXPECT_EQ(read_whole(path), before);
}

TEST_F(DatEditorTest, HeaderFieldsCommitAloneOrWithFilesInTheHeaderWrite) {
  Contents files = some_files(3);
  const fs::path path = archive(writer_archive(files, 64));
  auto editor = DatEditor::open(path);
  ASSERT_TRUE(editor);
  const DatHeader before = DatDatabase::open(path)->header();
  WriterOptions fields = WriterOptions::from_header(before);
  fields.block_size = 128;
  EXPECT_EQ(editor->set_header_fields(fields).error().message(),
            "the block size cannot change in place: the archive's is 64, not "
            "128");

  // Alone: one write of the header, the layout fields left as they were.
  fields.block_size = 64;
  fields.game_version = 9;
  fields.version_string[0] = 'v';
  ASSERT_TRUE(editor->set_header_fields(fields));
  ASSERT_TRUE(editor->commit());
  DatHeader expected = before;
  fields.apply_to(expected);
  EXPECT_EQ(DatDatabase::open(path)->header(), expected);
  EXPECT_EQ(contents_of(read_whole(path)), files);

  // With files: the header that makes the commit carries them.
  fields.dataset = 4;
  ASSERT_TRUE(editor->set_header_fields(fields));
  ASSERT_TRUE(editor->put(writer_file(1, pattern(10, 1))));
  ASSERT_TRUE(editor->commit());
  files[1] = pattern(10, 1);
  const DatHeader after = DatDatabase::open(path)->header();
  EXPECT_EQ(after.dataset, 4u);
  EXPECT_EQ(after.game_version, 9u);
  EXPECT_EQ(contents_of(read_whole(path)), files);
  // Staged fields go with the commit that wrote them.
  const Bytes written = read_whole(path);
  EXPECT_TRUE(editor->commit());
  EXPECT_EQ(read_whole(path), written);
}

TEST_F(DatEditorTest, OneEditorAtATimeAndReadersKeepTheirSnapshot) {
  const Contents files = some_files(20);
  const fs::path path = archive(writer_archive(files, 128));
  const auto reader = DatDatabase::open(path);
  ASSERT_TRUE(reader);
  {
    auto editor = DatEditor::open(path);
    ASSERT_TRUE(editor);
    const auto second = DatEditor::open(path);
    ASSERT_FALSE(second);
    EXPECT_NE(second.error().message().find("being edited by another process"),
              std::string::npos);
    EXPECT_TRUE(DatDatabase::open(path));
    for (std::uint32_t id = 100; id < 110; ++id)
      ASSERT_TRUE(editor->remove(id));
    ASSERT_TRUE(editor->put(writer_file(110, pattern(999, 1))));
    ASSERT_TRUE(editor->commit());
  }
  EXPECT_TRUE(DatEditor::open(path));
  for (const auto& [id, bytes] : files) EXPECT_EQ(reader->get_file(id), bytes);
}

TEST_F(DatEditorTest, FailedCommitsLeaveTheArchiveAsItWas) {
  const Bytes image = writer_archive(some_files(10), 64);
  for (const int error : {ENOSPC, EIO, EROFS}) {
    for (std::size_t first_failing = 1;; ++first_failing) {
      auto disk = std::make_shared<PowerCutDisk>(image);
      auto editor = DatEditor::open(disk);
      ASSERT_TRUE(editor);
      ASSERT_TRUE(editor->put(writer_file(5, pattern(2000, 5))));
      ASSERT_TRUE(editor->remove(104));
      disk->fail_from(first_failing, error);
      const auto failed = editor->commit();
      if (failed) break;  // every write of the commit has failed once
      if (first_failing == 1) {
        EXPECT_EQ(failed.error().io_error()->os_error(), error);
        EXPECT_EQ(disk->image(), image);
      }
      EXPECT_EQ(contents_of(disk->image()), contents_of(image));
      disk->fail_from(0, 0);
      ASSERT_TRUE(editor->commit()) << "retried after write " << first_failing;
      Contents files = some_files(10);
      files[5] = pattern(2000, 5);
      files.erase(104);
      EXPECT_EQ(contents_of(disk->image()), files);
      EXPECT_EQ(damage_of(disk->image()), Damage{});
    }
  }
}

TEST_F(DatEditorTest, ReadOnlyArchiveIsLeftUntouched) {
  const Bytes image = writer_archive(some_files(4), 64);
  const fs::path path = archive(image);
  if (::geteuid() != 0) {
    fs::permissions(path, fs::perms::owner_read);
    EXPECT_EQ(DatEditor::open(path).error().kind(), DatError::Kind::kPathError);
    return;
  }
  auto editor = DatEditor::open(path);
  ASSERT_TRUE(editor);
  ASSERT_TRUE(editor->put(writer_file(1, pattern(100, 1))));
  // Root ignores permissions; an immutable file refuses even root's writes.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  int flags = 0;
  const bool immutable =
      ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
      (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
  if (immutable) {
    EXPECT_FALSE(editor->commit());
    flags &= ~FS_IMMUTABLE_FL;
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
  }
  ::close(fd);
  if (!immutable) GTEST_SKIP() << "the file system has no immutable flag";
  EXPECT_EQ(read_whole(path), image);
}

TEST_F(DatEditorTest, ChainsOfAnotherWriterAnywhereInTheFile) {
  // One chain through blocks out of order at no common alignment, one
  // whose bytes run on contiguously past its only block.
  ArchiveBuilder builder(64);
  const std::uint32_t blocks[] = {1000, 430, 777};
  builder.put_chain(blocks, pattern(150, 1));
  const DatFileEntry scattered{0, 1, 1000, 150, 0, 0};
  const DatFileEntry runs_on = builder.add_file(2, pattern(500, 2));
  builder.put_root(Node{{}, {scattered, runs_on}, std::nullopt});
  builder.header().file_size = builder.end();
  const fs::path path = archive(builder.bytes());

  Contents files = *contents_of(builder.bytes());
  for (const std::uint32_t id : {2u, 1u}) {
    auto editor = DatEditor::open(path);
    ASSERT_TRUE(editor);
    ASSERT_TRUE(editor->remove(id));
    ASSERT_TRUE(editor->put(writer_file(60 + id, pattern(400, id))));
    ASSERT_TRUE(editor->commit());
    files.erase(id);
    files[60 + id] = pattern(400, id);
    EXPECT_EQ(contents_of(read_whole(path)), files);
    EXPECT_EQ(damage_of(read_whole(path)), Damage{});
  }
}

// Archives whose free list, made sound by a first commit, is then broken
// one way each. An editor that appends leaves such a list as it is unless
// the header alone shows it broken.
TEST_F(DatEditorTest, UntrustedFreeListsAreNeverUsed) {
  Contents files = some_files(12);
  auto disk = std::make_shared<PowerCutDisk>(writer_archive(files, 64));
  {
    auto editor = DatEditor::open(disk);
    for (std::uint32_t id = 105; id < 108; ++id)
      ASSERT_TRUE(editor->remove(id));
    ASSERT_TRUE(editor->commit());
  }
  for (std::uint32_t id = 105; id < 108; ++id) files.erase(id);
  const Bytes sound = disk->image();
  const DatHeader header = open_in_memory(sound)->header();
  ASSERT_GE(header.free_count, 3u);
  const std::uint32_t live = open_in_memory(sound)->files().find(111)->offset;
  const auto second = [&](const Bytes& image) {
    return get_le32(image, header.free_head);
  };
  const std::vector<std::function<void(ArchiveBuilder&)>> breaks = {
      [&](ArchiveBuilder& a) { a.put_u32(second(sound), header.free_head); },
      [&](ArchiveBuilder& a) { a.header().free_head = live; },
      [&](ArchiveBuilder& a) { a.header().free_count += 1; },
      [&](ArchiveBuilder& a) { a.header().free_tail = header.free_head; },
      [&](ArchiveBuilder& a) { a.header().free_head = header.file_size; },
      [&](ArchiveBuilder& a) {
        a.put_u32(header.free_head, second(sound) + 4);
      },
  };
  const std::size_t shown_by_header = 4;
  for (std::size_t i = 0; i < breaks.size(); ++i) {
    for (const FreeBlockReuse reuse :
         {FreeBlockReuse::kAlways, FreeBlockReuse::kNever}) {
      ArchiveBuilder broken(64);
      broken.put(0, sound);
      broken.header() = header;
      breaks[i](broken);
      auto broken_disk = std::make_shared<PowerCutDisk>(broken.bytes());
      auto editor = DatEditor::open(broken_disk, {reuse});
      ASSERT_TRUE(editor) << i;
      ASSERT_TRUE(editor->put(writer_file(1, pattern(700, 1))));
      const auto summary = editor->commit();
      ASSERT_TRUE(summary) << i;
      EXPECT_EQ(summary->free_list_discarded,
                reuse == FreeBlockReuse::kAlways || i == shown_by_header)
          << i;
      EXPECT_EQ(summary->free_list_problem.empty(),
                !summary->free_list_discarded)
          << i;
      EXPECT_EQ(summary->blocks_reused, 0u) << i;
      Contents expected = files;
      expected[1] = pattern(700, 1);
      EXPECT_EQ(contents_of(broken_disk->image()), expected) << i;
    }
  }
}

TEST_F(DatEditorTest, DirectoryWithRepeatedIdsIsRewrittenAsReadersSeeIt) {
  ArchiveBuilder builder(256);
  const DatFileEntry parent = builder.add_file(9, bytes_of("parent"));
  const DatFileEntry child = builder.add_file(9, bytes_of("child"));
  const DatFileEntry other = builder.add_file(4, bytes_of("other"));
  const std::uint32_t leaf = builder.end();
  builder.put_node(leaf, Node{{}, {other, child}, std::nullopt});
  Node root{{}, {parent}, std::nullopt};
  root.branches[0] = leaf;
  builder.put_root(root);
  builder.header().file_size = builder.end();
  Contents files = *contents_of(builder.bytes());
  ASSERT_EQ(files[9], bytes_of("child"));

  auto disk = std::make_shared<PowerCutDisk>(builder.bytes());
  auto editor = DatEditor::open(disk);
  ASSERT_TRUE(editor->put(writer_file(5, pattern(10, 5))));
  const auto summary = editor->commit();
  ASSERT_TRUE(summary);
  EXPECT_TRUE(summary->directory_rebuilt);
  files[5] = pattern(10, 5);
  EXPECT_EQ(contents_of(disk->image()), files);
  EXPECT_EQ(damage_of(disk->image()), Damage{});
}

// Walks the directory and checks it is a B-tree of minimum degree 31:
// ids in order, at most 61 entries a node and at least 30 below the root,
// k + 1 children for k entries, every leaf at one depth.
void expect_btree(const Bytes& image) {
  const auto db = open_in_memory(image);
  ASSERT_TRUE(db);
  std::optional<std::uint32_t> last_id;
  std::optional<int> leaf_depth;
  std::function<void(std::uint32_t, int)> walk = [&](std::uint32_t at,
                                                     int depth) {
    const auto node = read_directory_node(*db, at);
    ASSERT_TRUE(node);
    ASSERT_LE(node->entry_count, 61u);
    if (depth > 0) {
      EXPECT_GE(node->entry_count, 30u);
    }
    if (node->is_leaf()) {
      EXPECT_EQ(leaf_depth.value_or(depth), depth);
      leaf_depth = depth;
    }
    for (std::uint32_t i = 0; i <= node->entry_count; ++i) {
      if (!node->is_leaf()) walk(node->branches[i], depth + 1);
      if (i == node->entry_count) break;
      if (last_id) {
        EXPECT_LT(*last_id, node->entries[i].id);
      }
      last_id = node->entries[i].id;
    }
  };
  if (db->header().root_offset != 0) walk(db->header().root_offset, 0);
}

TEST(DirectoryShape, RandomEditsKeepABalancedTree) {
  auto disk = std::make_shared<PowerCutDisk>(ArchiveBuilder(64).bytes());
  Contents files;
  std::mt19937 random(3);
  for (int round = 0; round < 24; ++round) {
    auto editor = DatEditor::open(disk);
    ASSERT_TRUE(editor);
    // Grow to a few thousand files, then shrink back.
    const bool grow = round < 12;
    for (int i = 0; i < 400; ++i) {
      const auto id = static_cast<std::uint32_t>(random() % 4000);
      if (grow) {
        files[id] = pattern(id % 9, id);
        ASSERT_TRUE(editor->put(writer_file(id, files[id])));
      } else if (files.erase(id) > 0) {
        ASSERT_TRUE(editor->remove(id));
      }
    }
    ASSERT_TRUE(editor->commit());
    ASSERT_EQ(contents_of(disk->image()), files) << round;
    expect_btree(disk->image());
  }
  EXPECT_EQ(damage_of(disk->image()), Damage{});
}

// A failed commit that split and merged nodes on the way is taken back
// whole: the editor's directory is the one before it, and the retry and a
// later commit build on that, not on the half-made one.
TEST(DirectoryShape, FailedCommitThatReshapesTheTreeIsTakenBack) {
  const Contents before = some_files(400);
  const Bytes image = writer_archive(before, 64);
  for (const bool later_commit_differs : {false, true}) {
    auto disk = std::make_shared<PowerCutDisk>(image);
    auto editor = DatEditor::open(disk);
    ASSERT_TRUE(editor);
    Contents after = before;
    for (std::uint32_t id = 100; id < 300; ++id) {
      ASSERT_TRUE(editor->remove(id));
      after.erase(id);
    }
    for (std::uint32_t id = 1000; id < 1300; ++id) {
      after[id] = pattern(id % 7, id);
      ASSERT_TRUE(editor->put(writer_file(id, after[id])));
    }
    disk->fail_from(1, ENOSPC);
    ASSERT_FALSE(editor->commit());
    EXPECT_EQ(disk->image(), image);
    const std::vector<DatFileEntry> listed = editor->files();
    ASSERT_EQ(listed.size(), before.size());
    EXPECT_EQ(listed.front().id, before.begin()->first);
    disk->fail_from(0, 0);
    if (later_commit_differs) {
      // Another change on top of the staged ones: the retry plans both
      // against the directory as it was.
      after[5000] = pattern(9, 5000);
      ASSERT_TRUE(editor->put(writer_file(5000, after[5000])));
    }
    ASSERT_TRUE(editor->commit());
    EXPECT_EQ(contents_of(disk->image()), after);
    expect_btree(disk->image());
    EXPECT_EQ(damage_of(disk->image()), Damage{});
  }
}

TEST(Limits, ArchivePastFourGiBFailsBeforeAnyWrite) {
  ArchiveBuilder builder(1024);
  builder.header().file_size = 0xFFFFFC00u;
  auto disk = std::make_shared<PowerCutDisk>(builder.bytes());
  auto editor = DatEditor::open(disk);
  ASSERT_TRUE(editor);
  ASSERT_TRUE(editor->put(writer_file(1, pattern(2000, 1))));
  const auto failed = editor->commit();
  ASSERT_FALSE(failed);
  EXPECT_NE(failed.error().message().find("4 GiB"), std::string::npos);
  EXPECT_EQ(disk->writes(), 0u);
}

}  // namespace
}  // namespace quillstone_dat::testing
