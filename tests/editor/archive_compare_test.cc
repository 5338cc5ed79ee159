// compare_archives against a model, on random pairs of archives: a base and
// a version of it with files added, removed, changed in contents, in
// storage alone or in metadata alone, header fields changed, another
// layout, and damaged files on either side; the archives read at once
// and in turn.

#include "quillstone_dat/archive_compare.h"

#include <gtest/gtest.h>

#include <random>

#include "editor/archive_pairs.h"
#include "quillstone_dat/dat_database.h"

namespace quillstone_dat::testing {
namespace {

constexpr std::uint32_t kPairs = 40;

TEST(CompareArchives, FindsWhatTheModelsSayOnRandomPairs) {
  for (std::uint32_t seed = 1; seed <= kPairs; ++seed) {
    const bool damage = seed % 3 == 0;
    const WrittenPair w(seed, damage);
    for (const bool contents_only : {false, true}) {
      const ArchiveComparison comparison = compare_archives(
          *w.old_archive, *w.new_archive,
          {.contents_only = contents_only, .concurrent = seed % 2 == 0});
      const auto expected = expected_differences(w.pair, contents_only);
      EXPECT_EQ(describe(reported(comparison)), describe(expected))
          << "seed " << seed << (contents_only ? ", contents only" : "");
      const std::vector<std::string> header(comparison.header.begin(),
                                            comparison.header.end());
      EXPECT_EQ(header, contents_only ? std::vector<std::string>{}
                                      : expected_header(w.pair))
          << "seed " << seed;
      for (const FileDifference& file : comparison.files) {
        // Each side's checksum is of the stored bytes the model gave it.
        const auto& models = {std::pair{&file.old_file, &w.pair.old_model},
                              std::pair{&file.new_file, &w.pair.new_model}};
        for (const auto& [side, model] : models) {
          if (!*side || !(*side)->stored) continue;
          EXPECT_EQ(*(*side)->stored,
                    checksum_of(model->files.at(file.id).stored))
              << "seed " << seed;
        }
      }
    }
  }
}

TEST(CompareArchives, ComparesOnlyTheSelectedIds) {
  for (std::uint32_t seed = 100; seed < 100 + kPairs / 4; ++seed) {
    const WrittenPair w(seed, true);
    std::mt19937 random(seed);
    std::vector<std::uint32_t> ids;
    for (std::uint32_t id = 0x0A000000; id < 0x0A000050; ++id) {
      if (random() % 3 == 0) ids.push_back(id);
    }
    ids.push_back(ids.empty() ? 0x0A000001 : ids.front());  // listed twice
    ids.push_back(0x0B000000);                              // in neither
    const ArchiveComparison comparison = compare_archives(
        *w.old_archive, *w.new_archive, {.files = FileSelection::of(ids)});
    EXPECT_EQ(describe(reported(comparison)),
              describe(expected_differences(w.pair, false, &ids)))
        << "seed " << seed;
  }
}

TEST(CompareArchives, AnArchiveEqualsItselfInAnyLayout) {
  const WrittenPair w(7, false);
  const TempDir dir;
  ArchiveModel relaid = w.pair.old_model;
  relaid.options.block_size = relaid.options.block_size == 64 ? 256 : 64;
  write_model(relaid, dir / "relaid.dat", 99);
  const auto again = DatDatabase::open(dir / "relaid.dat");
  ASSERT_TRUE(again);
  EXPECT_TRUE(compare_archives(*w.old_archive, *again).same());
  EXPECT_TRUE(compare_archives(*w.old_archive, *w.old_archive).same());
}

}  // namespace
}  // namespace quillstone_dat::testing
