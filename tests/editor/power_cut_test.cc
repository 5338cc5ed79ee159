// The editor's promise under power loss. Each edit below is committed once
// to count its writes, then again with the power cut at every one of them:
// the write it was cut in torn at every sector boundary, and a few random
// subsets of the sectors written since the last flush kept instead; once
// by an editor that proves and reuses the free list, once by one that
// appends. After
// each cut the archive must open, hold exactly the files from before the
// commit or exactly those after it, show no damage but leaked blocks, and
// take a further edit.

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "editor/edit_support.h"
#include "editor/power_cut_disk.h"
#include "quillstone_dat/dat_editor.h"

namespace quillstone_dat::testing {
namespace {

using Damage = std::vector<std::string>;

constexpr int kReorderings = 4;

struct Edit {
  std::vector<WriterFile> puts;
  std::vector<std::uint32_t> removals;
};

Contents applied(Contents files, const Edit& edit) {
  for (const std::uint32_t id : edit.removals) files.erase(id);
  for (const WriterFile& file : edit.puts) {
    files[file.id] = std::get<Bytes>(file.contents);
  }
  return files;
}

DatResult<CommitSummary> run(std::shared_ptr<PowerCutDisk> disk,
                             const Edit& edit, FreeBlockReuse reuse = {}) {
  auto editor = DatEditor::open(std::move(disk), {reuse});
  if (!editor) return std::unexpected(editor.error());
  for (const std::uint32_t id : edit.removals) {
    if (auto removed = editor->remove(id); !removed) {
      return std::unexpected(removed.error());
    }
  }
  for (const WriterFile& file : edit.puts) {
    if (auto put = editor->put(file); !put) return std::unexpected(put.error());
  }
  return editor->commit();
}

// The edit committed uncut; returns the archive after it.
Bytes commit_whole(const Bytes& image, const Edit& edit) {
  auto disk = std::make_shared<PowerCutDisk>(image);
  const auto summary = run(disk, edit);
  EXPECT_TRUE(summary) << summary.error().debug();
  return disk->image();
}

void expect_old_or_new(const Bytes& image, const Contents& before,
                       const Contents& after, const std::string& where) {
  const auto contents = contents_of(image);
  ASSERT_TRUE(contents) << where << ": " << contents.error().debug();
  EXPECT_TRUE(*contents == before || *contents == after) << where;
  EXPECT_EQ(damage_of(image), Damage{}) << where;
  const Edit more{{writer_file(0x7FFF0000, pattern(700, 77))}, {}};
  const Bytes next = commit_whole(image, more);
  EXPECT_EQ(contents_of(next), applied(*contents, more)) << where;
  EXPECT_EQ(damage_of(next), Damage{}) << where;
}

// Returns the number of archives checked.
std::size_t expect_every_cut_survived(const Bytes& base, const Edit& edit,
                                      FreeBlockReuse reuse) {
  const Contents before = contents_of(base).value();
  const Contents after = applied(before, edit);
  auto whole = std::make_shared<PowerCutDisk>(base);
  const auto summary = run(whole, edit, reuse);
  EXPECT_TRUE(summary) << summary.error().debug();
  EXPECT_EQ(contents_of(whole->image()), after);
  EXPECT_EQ(damage_of(whole->image()), Damage{});

  std::mt19937 random(1);
  std::size_t checked = 0;
  for (std::size_t n = 1; n <= whole->writes(); ++n) {
    auto disk = std::make_shared<PowerCutDisk>(base);
    disk->cut_at(n);
    (void)run(disk, edit, reuse);
    EXPECT_TRUE(disk->power_lost());
    for (std::size_t tear = 0; tear < disk->tear_points(); ++tear) {
      expect_old_or_new(disk->after_cut(tear), before, after,
                        "cut in write " + std::to_string(n) + ", torn at " +
                            std::to_string(tear));
      ++checked;
    }
    for (int i = 0; i < kReorderings; ++i) {
      expect_old_or_new(disk->after_cut_reordered(random), before, after,
                        "cut in write " + std::to_string(n) + ", reordering " +
                            std::to_string(i));
      ++checked;
    }
  }
  std::printf("%zu writes, %zu archives after a cut checked\n", whole->writes(),
              checked);
  return checked;
}

std::size_t expect_every_cut_survived(const Bytes& base, const Edit& edit) {
  return expect_every_cut_survived(base, edit, FreeBlockReuse::kAlways) +
         expect_every_cut_survived(base, edit, FreeBlockReuse::kNever);
}

Contents numbered(std::uint32_t count, std::size_t max_size) {
  Contents files;
  for (std::uint32_t i = 0; i < count; ++i) {
    files[0x01000000 + 16 * i] = pattern((i * 97) % max_size, i);
  }
  return files;
}

TEST(PowerCut, EditReusingTheFreeList) {
  const Contents files = numbered(40, 2000);
  // A first edit puts the blocks of ten files on the free list.
  Edit first;
  for (std::uint32_t i = 0; i < 10; ++i)
    first.removals.push_back(0x01000000 + 48 * i);
  const Bytes base = commit_whole(writer_archive(files, 256), first);

  Edit edit;
  for (std::uint32_t i = 0; i < 4; ++i) {
    edit.puts.push_back(
        writer_file(0x02000000 + i, pattern(900 * i, 100 + i),
                    i % 2 ? Storage::kCompressed : Storage::kPlain));
    edit.puts.push_back(
        writer_file(0x01000010 + 48 * i, pattern(300, 200 + i)));
    edit.removals.push_back(0x01000020 + 48 * i);
  }
  EXPECT_GT(expect_every_cut_survived(base, edit), 0u);
}

TEST(PowerCut, EditThatSplitsTheRootLeaf) {
  const Bytes base = writer_archive(numbered(61, 300), 1024);
  EXPECT_GT(
      expect_every_cut_survived(base, {{writer_file(7, pattern(50, 1))}, {}}),
      0u);
}

TEST(PowerCut, EditThatMergesLeaves) {
  const Bytes base = writer_archive(numbered(62, 300), 512);
  EXPECT_GT(expect_every_cut_survived(base, {{}, {0x01000000, 0x01000010}}),
            0u);
}

TEST(PowerCut, ArchiveGrowingAtItsEnd) {
  const Bytes base = writer_archive(numbered(5, 100), 64);
  Edit edit;
  for (std::uint32_t i = 0; i < 3; ++i) {
    edit.puts.push_back(writer_file(0x03000000 + i, pattern(3000, i)));
  }
  EXPECT_GT(expect_every_cut_survived(base, edit), 0u);
}

TEST(PowerCut, ScatteredArchiveOfAnotherWriter) {
  std::vector<TestFile> files;
  for (std::uint32_t i = 0; i < 12; ++i) {
    files.push_back({0x04000000 + i, pattern(37 * i, i)});
  }
  const Bytes base = build_archive(files, 128);
  const Edit edit{{writer_file(0x04000003, pattern(500, 3)),
                   writer_file(0x05000000, pattern(260, 4))},
                  {0x04000005, 0x04000008}};
  EXPECT_GT(expect_every_cut_survived(base, edit), 0u);
}

TEST(PowerCut, DirectoryOutOfOrderIsRewritten) {
  ArchiveBuilder builder(256);
  const DatFileEntry b = builder.add_file(20, pattern(90, 20));
  const DatFileEntry a = builder.add_file(10, pattern(400, 10));
  builder.put_root(Node{{}, {b, a}, std::nullopt});
  builder.header().file_size = builder.end();
  const Edit edit{{writer_file(15, pattern(30, 15))}, {20}};
  EXPECT_GT(expect_every_cut_survived(builder.bytes(), edit), 0u);
}

}  // namespace
}  // namespace quillstone_dat::testing
