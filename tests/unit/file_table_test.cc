// The table of entries: lookups, replacement and iteration over many ids.

#include "quillstone_dat/file_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace quillstone_dat {
namespace {

DatFileEntry entry(std::uint32_t id, std::uint32_t version) {
  return DatFileEntry{id & 1, id, ~id, id / 3, 0x5EED, version};
}

// About 100,000 distinct ids in the shapes archives and hashes find hard:
// both extremes, dense runs, ids that differ only in their high bits, and
// random ones.
std::vector<std::uint32_t> awkward_ids() {
  std::vector<std::uint32_t> ids = {0,          1,          0x7FFFFFFF,
                                    0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
  for (std::uint32_t i = 0; i < 30000; ++i) ids.push_back(0x06000000 + i);
  for (std::uint32_t i = 0; i < 65536; ++i) ids.push_back(i << 16);
  for (std::uint32_t i = 0; i < 4096; ++i) ids.push_back(i << 20 | 0xABC);
  std::mt19937 random(99);
  for (int i = 0; i < 5000; ++i)
    ids.push_back(static_cast<std::uint32_t>(random()));
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

TEST(FileTable, EmptyTableFindsNothing) {
  const FileTable table;
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.begin(), table.end());
  EXPECT_EQ(table.find(0), nullptr);
  EXPECT_FALSE(table.contains(0xFFFFFFFF));
}

// How many of `ids` are missing from `table` or hold another entry than
// entry(id, 1).
std::size_t wrong_lookups(const FileTable& table,
                          const std::vector<std::uint32_t>& ids) {
  std::size_t wrong = 0;
  for (const std::uint32_t id : ids) {
    const DatFileEntry* found = table.find(id);
    if (found == nullptr || *found != entry(id, 1)) ++wrong;
  }
  return wrong;
}

TEST(FileTable, HoldsEveryIdOnceAndIteratesOverAll) {
  const std::vector<std::uint32_t> ids = awkward_ids();
  ASSERT_GT(ids.size(), 100000u);
  FileTable table;
  for (const std::uint32_t id : ids) table.insert_or_replace(entry(id, 1));
  ASSERT_EQ(table.size(), ids.size());

  EXPECT_EQ(wrong_lookups(table, ids), 0u);

  std::vector<std::uint32_t> seen;
  for (const DatFileEntry& e : table) seen.push_back(e.id);
  std::sort(seen.begin(), seen.end());
  EXPECT_TRUE(seen == ids);

  // Ids next to the stored ones that are not stored themselves.
  std::size_t found_absent = 0;
  for (const std::uint32_t id : ids) {
    const std::uint32_t neighbour = id ^ 0x00008000;
    if (!std::binary_search(ids.begin(), ids.end(), neighbour) &&
        table.contains(neighbour)) {
      ++found_absent;
    }
  }
  EXPECT_EQ(found_absent, 0u);
}

TEST(FileTable, ReservingKeepsWhatIsThereAndLosesNothingAfter) {
  const std::vector<std::uint32_t> ids = awkward_ids();
  FileTable table;
  table.reserve(0);
  EXPECT_EQ(table.find(1), nullptr);
  // Half before the reservation, half after; reserving less than the table
  // holds changes nothing.
  const std::size_t half = ids.size() / 2;
  for (std::size_t i = 0; i < half; ++i) {
    table.insert_or_replace(entry(ids[i], 1));
  }
  table.reserve(ids.size());
  table.reserve(3);
  for (std::size_t i = half; i < ids.size(); ++i) {
    table.insert_or_replace(entry(ids[i], 1));
  }
  ASSERT_EQ(table.size(), ids.size());
  EXPECT_EQ(wrong_lookups(table, ids), 0u);
}

TEST(FileTable, InsertingAnIdAgainReplacesItsEntry) {
  const std::vector<std::uint32_t> ids = awkward_ids();
  FileTable table;
  for (const std::uint32_t id : ids) table.insert_or_replace(entry(id, 1));
  for (const std::uint32_t id : ids) table.insert_or_replace(entry(id, 2));
  EXPECT_EQ(table.size(), ids.size());

  std::size_t stale = 0;
  for (const DatFileEntry& e : table) {
    if (e != entry(e.id, 2)) ++stale;
  }
  EXPECT_EQ(stale, 0u);
  EXPECT_EQ(table.find(0)->version, 2u);
  EXPECT_EQ(table.find(0xFFFFFFFF)->version, 2u);
}

}  // namespace
}  // namespace quillstone_dat
