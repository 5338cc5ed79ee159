// for_each_file fetches neighbouring chains together through a window and
// compacts them there. These tests hold it to get_file and get_stored
// over archives whose chains take every shape: for each file the same
// bytes, or an error of the same kind and message.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "quillstone_dat/dat_writer.h"
#include "support/archive_builder.h"
#include "support/random_archive.h"
#include "unit/allocation_probe.h"

namespace quillstone_dat::testing {
namespace {

struct Expected {
  DatResult<Bytes> decoded;  // get_file
  DatResult<Bytes> stored;   // get_stored
};

std::map<std::uint32_t, Expected> expected_of(const DatDatabase& db) {
  std::map<std::uint32_t, Expected> expected;
  for (const DatFileEntry& entry : db.files()) {
    expected.emplace(entry.id,
                     Expected{db.get_file(entry.id), db.get_stored(entry.id)});
  }
  return expected;
}

DatResult<Bytes> copy_of(
    const DatResult<std::span<const std::uint8_t>>& bytes) {
  if (!bytes) return std::unexpected(bytes.error());
  return Bytes(bytes->begin(), bytes->end());
}

struct Visit {
  std::uint32_t id;
  const DatFileEntry* entry;
  DatResult<Bytes> bytes;
};

std::vector<Visit> visits_of(const DatDatabase& db,
                             const FileSelection& selection,
                             const BatchOptions& options) {
  std::vector<Visit> visits;
  db.for_each_file(selection, options, [&](const BatchFile& file) {
    visits.push_back({file.id, file.entry, copy_of(file.bytes)});
  });
  return visits;
}

void expect_same(const DatResult<Bytes>& actual,
                 const DatResult<Bytes>& expected) {
  ASSERT_EQ(actual.has_value(), expected.has_value())
      << (expected ? actual.error().debug() : expected.error().debug());
  if (expected) {
    ASSERT_EQ(*actual, *expected);
  } else {
    ASSERT_EQ(actual.error(), expected.error());  // kind and payload
    ASSERT_EQ(actual.error().message(), expected.error().message());
  }
}

// Checks one pass over `selection`: one visit per listed id (per file for
// all), absent ids first as NotFound, then chains in archive order, each
// with what the single-file calls give.
void check_pass(const DatDatabase& db,
                const std::map<std::uint32_t, Expected>& expected,
                const FileSelection& selection, const BatchOptions& options) {
  const std::vector<Visit> visits = visits_of(db, selection, options);
  std::vector<std::uint32_t> wanted;
  if (selection.is_all()) {
    for (const auto& [id, unused] : expected) wanted.push_back(id);
  } else {
    wanted.assign(selection.ids().begin(), selection.ids().end());
  }
  ASSERT_EQ(visits.size(), wanted.size());
  std::vector<std::uint32_t> visited;
  std::uint64_t last_offset = 0;
  bool absent_done = false;
  for (const Visit& visit : visits) {
    visited.push_back(visit.id);
    const auto found = expected.find(visit.id);
    if (found == expected.end()) {
      ASSERT_FALSE(absent_done) << "absent ids come first";
      ASSERT_EQ(visit.entry, nullptr);
      expect_same(visit.bytes, db.get_file(visit.id));
      continue;
    }
    absent_done = true;
    ASSERT_EQ(visit.entry, db.files().find(visit.id));
    ASSERT_GE(visit.entry->offset, last_offset) << "archive order";
    last_offset = visit.entry->offset;
    expect_same(visit.bytes,
                options.raw ? found->second.stored : found->second.decoded);
  }
  // The order is what batch_order promises, and a part of it read as a
  // selection of its own is visited in the same order.
  const std::vector<std::uint32_t> order = db.batch_order(selection);
  ASSERT_EQ(order, visited);
  if (!order.empty()) {
    const std::vector<std::uint32_t> half(
        order.begin() + static_cast<std::ptrdiff_t>(order.size() / 2),
        order.end());
    std::vector<std::uint32_t> half_visited;
    db.for_each_file(
        FileSelection::of(half), options,
        [&](const BatchFile& file) { half_visited.push_back(file.id); });
    ASSERT_EQ(half_visited, half);
  }
  std::sort(wanted.begin(), wanted.end());
  std::sort(visited.begin(), visited.end());
  ASSERT_EQ(visited, wanted);
}

BatchOptions random_options(std::mt19937& random) {
  static constexpr std::size_t kWindows[] = {0,    1,     64,      700,
                                             4096, 65536, 1u << 20};
  return {.raw = random() % 2 == 0,
          .window_bytes = kWindows[random() % std::size(kWindows)]};
}

// A list of present ids in shuffled order, some repeated, mixed with ids
// the archive lacks.
std::vector<std::uint32_t> random_list(
    const std::map<std::uint32_t, Expected>& expected, std::mt19937& random) {
  std::vector<std::uint32_t> ids;
  for (const auto& [id, unused] : expected) {
    if (random() % 2 == 0) ids.push_back(id);
    if (random() % 8 == 0) ids.push_back(id);
  }
  for (int i = random() % 4; i > 0; --i) {
    const auto id = static_cast<std::uint32_t>(random());
    if (!expected.contains(id)) ids.push_back(id);
  }
  std::shuffle(ids.begin(), ids.end(), random);
  return ids;
}

constexpr std::uint32_t kArchives = 400;

// Every file, lists, an empty list, and a pass the visitor stops.
TEST(BatchReadDifferential, EverySelectionGivesWhatSingleReadsGive) {
  for (std::uint32_t seed = 1; seed <= kArchives; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const ChainShapesArchive archive = random_chain_shapes(seed);
    auto db = open_in_memory(archive.image);
    ASSERT_TRUE(db) << db.error().debug();
    const auto expected = expected_of(*db);
    std::mt19937 random(seed);
    for (int pass = 0; pass < 3; ++pass) {
      const BatchOptions options = random_options(random);
      SCOPED_TRACE("window " + std::to_string(options.window_bytes) +
                   (options.raw ? ", raw" : ""));
      check_pass(*db, expected, FileSelection::all(), options);
      check_pass(*db, expected,
                 FileSelection::of(random_list(expected, random)), options);
    }
    check_pass(*db, expected, FileSelection::of({}), {});

    // Stopped anywhere, absent ids (which come first) included.
    const std::vector<std::uint32_t> list = random_list(expected, random);
    const std::size_t length = seed % 2 == 0 ? list.size() : expected.size();
    const std::size_t stop_after =
        1 + random() % std::max<std::size_t>(1, length);
    std::size_t visits = 0;
    db->for_each_file(
        seed % 2 == 0 ? FileSelection::of(list) : FileSelection::all(),
        random_options(random), [&](const BatchFile&) {
          return ++visits == stop_after ? BatchStep::kStop
                                        : BatchStep::kContinue;
        });
    ASSERT_EQ(visits, std::min(stop_after, length));
  }
}

// The archive loses its tail after the open: windows come back short, and
// every read that fails must fail as get_file's does.
TEST(BatchReadDifferential, ArchiveCutShortOrUnreadableAfterOpen) {
  for (std::uint32_t seed = 1; seed <= kArchives / 4; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const ChainShapesArchive archive = random_chain_shapes(seed);
    std::mt19937 random(seed);
    const auto file = std::make_shared<MemoryFile>(archive.image);
    auto db = DatDatabase::open(file);
    ASSERT_TRUE(db) << db.error().debug();
    file->truncate(400 + random() % (archive.image.size() - 400));
    check_pass(*db, expected_of(*db), FileSelection::all(),
               random_options(random));

    auto failing = open_then_fail_reads(archive.image);
    ASSERT_TRUE(failing) << failing.error().debug();
    check_pass(*failing, expected_of(*failing), FileSelection::all(),
               random_options(random));
  }
}

TEST(BatchReadDifferential, ThreadsSharingADatabaseAgree) {
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    auto db = open_in_memory(random_chain_shapes(seed).image);
    ASSERT_TRUE(db);
    const auto expected = expected_of(*db);
    std::mt19937 random(seed);
    std::vector<FileSelection> selections = {FileSelection::all()};
    for (int t = 0; t < 3; ++t) {
      selections.push_back(FileSelection::of(random_list(expected, random)));
    }
    std::vector<std::jthread> threads;
    for (const FileSelection& selection : selections) {
      threads.emplace_back([&] {
        check_pass(*db, expected, selection, {.window_bytes = 4096});
      });
    }
  }
}

// An archive as the writer lays it out is read through windows: few reads,
// and no buffer beyond the window and the file in hand.
TEST(BatchReadDifferential, WrittenArchivesAreReadInWindows) {
  DatWriter writer(WriterOptions{.block_size = 256});
  std::mt19937 random(3);
  for (std::uint32_t id = 1; id <= 2000; ++id) {
    Bytes contents(random() % 4000);
    for (auto& byte : contents) byte = static_cast<std::uint8_t>(random());
    ASSERT_TRUE(writer.add(
        {.id = id,
         .contents = std::move(contents),
         .storage = id % 3 == 0 ? Storage::kCompressed : Storage::kPlain}));
  }
  const TempDir dir;
  ASSERT_TRUE(writer.write(dir / "written.dat"));
  std::ifstream written(dir / "written.dat", std::ios::binary);
  Bytes image((std::istreambuf_iterator<char>(written)),
              std::istreambuf_iterator<char>());
  const auto counting = std::make_shared<FaultyFile>(
      std::make_shared<MemoryFile>(std::move(image)), nullptr);
  auto db = DatDatabase::open(counting);
  ASSERT_TRUE(db);
  check_pass(*db, expected_of(*db), FileSelection::all(), {});

  const std::size_t window = 64 << 10;
  const std::size_t reads_before = counting->calls();
  std::size_t failures = 0;
  const LargestAllocation largest;
  db->for_each_file({}, {.window_bytes = window}, [&](const BatchFile& file) {
    if (!file.bytes) ++failures;
  });
  EXPECT_EQ(failures, 0u);
  // About 4 MiB of chains in 64 KiB windows; one read a file would be 2000.
  EXPECT_LT(counting->calls() - reads_before, 100u);
  // A decompressed file stays under 4 KiB and the pass's own list of files
  // under 32 KiB: the window is the largest buffer.
  EXPECT_LE(largest.bytes(), window);
}

}  // namespace
}  // namespace quillstone_dat::testing
