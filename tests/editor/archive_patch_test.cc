// Patches made by make_patch from random pairs of archives and applied by
// apply_patch: after the patch the base compares equal to the new archive,
// storage and metadata included; a second application, another base or
// carried bytes that are not the listed ones are refused with the archive
// unchanged; and a power cut at any write of the commit leaves the old
// archive or the new one.

#include "quillstone_dat/archive_patch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>

#include "editor/archive_pairs.h"
#include "editor/edit_support.h"
#include "editor/power_cut_disk.h"
#include "quillstone_dat/dat_database.h"
#include "utils/shown_numbers.h"

namespace quillstone_dat::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kPairs = 30;
constexpr int kReorderings = 3;

Bytes read_whole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The stored bytes of the patch's files, as the new archive holds them.
CarriedBytes carried_from(const DatDatabase& archive) {
  return [&archive](const PatchedFile& put) {
    return archive.get_stored(put.entry.id);
  };
}

DatResult<CommitSummary> apply_to(const fs::path& path,
                                  const ArchivePatch& patch,
                                  const CarriedBytes& carried,
                                  ApplyOptions options = {}) {
  auto editor = DatEditor::open(path);
  if (!editor) return std::unexpected(editor.error());
  auto archive = DatDatabase::open(path);
  if (!archive) return std::unexpected(archive.error());
  return apply_patch(*editor, *archive, patch, carried, options);
}

ArchivePatch patch_of(const WrittenPair& w) {
  return make_patch(compare_archives(*w.old_archive, *w.new_archive),
                    w.old_archive->header(), w.new_archive->header())
      .value();
}

TEST(ArchivePatch, TurnsTheBaseIntoTheNewArchiveOnRandomPairs) {
  for (std::uint32_t seed = 1; seed <= kPairs; ++seed) {
    const WrittenPair w(seed, seed % 4 == 0);
    const ArchiveComparison comparison =
        compare_archives(*w.old_archive, *w.new_archive);
    const auto patch = make_patch(comparison, w.old_archive->header(),
                                  w.new_archive->header());
    const bool unreadable =
        std::ranges::any_of(comparison.files, &FileDifference::unreadable);
    ASSERT_EQ(patch.has_value(), !unreadable) << "seed " << seed;
    if (!patch) continue;

    const fs::path target = w.dir / "target.dat";
    fs::copy_file(w.old_path, target);
    const auto applied = apply_to(target, *patch, carried_from(*w.new_archive));
    ASSERT_TRUE(applied) << "seed " << seed << ": " << applied.error().debug();
    const auto patched = DatDatabase::open(target);
    ASSERT_TRUE(patched);
    const ArchiveComparison after = compare_archives(*patched, *w.new_archive);
    EXPECT_TRUE(after.same()) << "seed " << seed << "\n"
                              << describe(reported(after));
    EXPECT_EQ(damage_of(read_whole(target)), std::vector<std::string>{});

    const Bytes once = read_whole(target);
    const auto again = apply_to(target, *patch, carried_from(*w.new_archive));
    if (!comparison.same()) {
      ASSERT_FALSE(again) << "seed " << seed;
      EXPECT_EQ(again.error().message(),
                "not the patch's base: it looks already patched: every file "
                "and header field the patch changes is as the patch leaves "
                "it");
      EXPECT_EQ(read_whole(target), once);
    }
  }
}

// A pair whose patch puts, keeps bytes of, removes and sets something.
std::unique_ptr<WrittenPair> rich_pair() {
  for (std::uint32_t seed = 1; seed < 300; ++seed) {
    auto w = std::make_unique<WrittenPair>(seed, false);
    const ArchivePatch patch = patch_of(*w);
    const bool keeps = std::ranges::any_of(
        patch.puts, [](const PatchedFile& put) { return !put.carried; });
    const bool adds =
        std::ranges::any_of(patch.puts, [&](const PatchedFile& put) {
          return std::ranges::none_of(patch.base_files, [&](const BaseFile& b) {
            return b.entry.id == put.entry.id;
          });
        });
    if (keeps && adds && !patch.removals.empty() &&
        !patch.header_fields.empty()) {
      return w;
    }
  }
  ADD_FAILURE() << "no pair changes everything";
  return nullptr;
}

TEST(ArchivePatch, RefusesAnotherBaseNamingWhatDiffers) {
  const auto w = rich_pair();
  ASSERT_TRUE(w);
  const ArchivePatch patch = patch_of(*w);
  ArchiveModel other = w->pair.old_model;
  const std::uint32_t id = patch.base_files.front().entry.id;
  other.files.at(id).timestamp += 1;
  const fs::path target = w->dir / "other.dat";
  write_model(other, target, 5);
  const Bytes before = read_whole(target);

  const auto refused = apply_to(target, patch, carried_from(*w->new_archive));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "not the patch's base: file " +
                                           shown_id(id) +
                                           " differs in its timestamp");
  EXPECT_EQ(read_whole(target), before);

  // Without the check the patch's files are put all the same.
  ASSERT_TRUE(apply_to(target, patch, carried_from(*w->new_archive),
                       {.check_base = false}));
  EXPECT_TRUE(
      compare_archives(*DatDatabase::open(target), *w->new_archive).same());
}

TEST(ArchivePatch, CarriedBytesUnlikeTheListedOnesChangeNothing) {
  const auto w = rich_pair();
  ASSERT_TRUE(w);
  const ArchivePatch patch = patch_of(*w);
  const Bytes before = read_whole(w->old_path);
  const CarriedBytes altered = [&](const PatchedFile& put) {
    auto bytes = w->new_archive->get_stored(put.entry.id);
    if (bytes && !bytes->empty()) bytes->back() ^= 1;
    return bytes;
  };
  const auto refused = apply_to(w->old_path, patch, altered);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().message().find(
                "of the patch is not the one it lists: its bytes differ"),
            std::string::npos)
      << refused.error().message();
  EXPECT_EQ(read_whole(w->old_path), before);
}

// Whether `image` holds what `expected` holds, layout aside.
bool holds_the_same(const Bytes& image, const DatDatabase& expected) {
  const auto archive = open_in_memory(image);
  return archive && compare_archives(*archive, expected).same();
}

TEST(ArchivePatch, PowerCutDuringTheCommitLeavesTheOldArchiveOrTheNew) {
  const auto w = rich_pair();
  ASSERT_TRUE(w);
  const ArchivePatch patch = patch_of(*w);
  const Bytes base = read_whole(w->old_path);
  const auto run = [&](const std::shared_ptr<PowerCutDisk>& disk) {
    auto editor = DatEditor::open(disk);
    auto archive = DatDatabase::open(
        std::static_pointer_cast<const FileExtPolyfill>(disk));
    if (!editor || !archive) return false;
    return apply_patch(*editor, *archive, patch, carried_from(*w->new_archive))
        .has_value();
  };
  const auto whole = std::make_shared<PowerCutDisk>(base);
  ASSERT_TRUE(run(whole));
  ASSERT_TRUE(holds_the_same(whole->image(), *w->new_archive));

  std::mt19937 random(1);
  std::size_t checked = 0;
  for (std::size_t n = 1; n <= whole->writes(); ++n) {
    const auto disk = std::make_shared<PowerCutDisk>(base);
    disk->cut_at(n);
    (void)run(disk);
    ASSERT_TRUE(disk->power_lost());
    std::vector<Bytes> after;
    for (std::size_t tear = 0; tear < disk->tear_points(); ++tear) {
      after.push_back(disk->after_cut(tear));
    }
    for (int i = 0; i < kReorderings; ++i) {
      after.push_back(disk->after_cut_reordered(random));
    }
    for (const Bytes& image : after) {
      EXPECT_TRUE(holds_the_same(image, *w->old_archive) ||
                  holds_the_same(image, *w->new_archive))
          << "cut in write " << n;
      ++checked;
    }
  }
  EXPECT_GT(checked, whole->writes());
}

}  // namespace
}  // namespace quillstone_dat::testing
