// One archive read from eight threads at once for a fixed time: fetches,
// metadata and existence checks of present and absent ids, each answer
// compared with what was stored. Run under ThreadSanitizer, it shows that
// a database needs no lock.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <latch>
#include <random>
#include <thread>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "support/archive_builder.h"

namespace quillstone_dat {
namespace {

using testing::build_archive;
using testing::Bytes;
using testing::lrs_literals;
using testing::TempDir;
using testing::TestFile;

constexpr unsigned kThreads = 8;
constexpr auto kRunTime = std::chrono::seconds(2);

// Enough files for a root over leaves; sizes from empty to many blocks,
// every third one stored compressed.
struct SharedArchive {
  SharedArchive() {
    std::mt19937 random(0xC0C0);
    for (std::uint32_t i = 0; i < 130; ++i) {
      Bytes data(random() % 3000);
      for (std::uint8_t& byte : data)
        byte = static_cast<std::uint8_t>(random());
      const bool compressed = i % 3 == 0;
      files.push_back({0x0A000000 + 2 * i,
                       compressed ? lrs_literals(data) : data,
                       compressed ? 1u : 0u});
      contents.push_back(std::move(data));
    }
    path = testing::write_bytes(dir / "shared.dat", build_archive(files));
  }

  TempDir dir;
  std::vector<TestFile> files;
  std::vector<Bytes> contents;
  std::filesystem::path path;
};

// What one thread saw go wrong, kept apart so that threads share nothing
// but the database.
struct Tally {
  std::uint64_t calls = 0;
  std::uint64_t wrong = 0;
};

Tally read_until(const DatDatabase& db, const SharedArchive& archive,
                 std::chrono::steady_clock::time_point deadline,
                 unsigned seed) {
  std::mt19937 random(seed);
  Tally tally;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::size_t i = random() % archive.files.size();
    const TestFile& file = archive.files[i];
    // Odd ids lie between the stored ones.
    const std::uint32_t absent = file.id + 1;
    const auto bytes = db.get_file(file.id);
    const auto metadata = db.get_metadata(file.id);
    const auto missing = db.get_file(absent);
    tally.wrong += !bytes || *bytes != archive.contents[i];
    tally.wrong += !metadata || metadata->size != file.data.size();
    tally.wrong += !db.exists(file.id) || db.exists(absent);
    tally.wrong += db.get_metadata(absent).has_value();
    tally.wrong += missing || missing.error() != DatError::not_found(absent);
    tally.calls += 6;
  }
  return tally;
}

TEST(ConcurrentReads, EightThreadsShareOneDatabase) {
  const SharedArchive archive;
  const auto db = DatDatabase::open(archive.path);
  ASSERT_TRUE(db) << db.error();

  std::vector<Tally> tallies(kThreads);
  std::latch start(kThreads);
  {
    std::vector<std::jthread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        tallies[t] = read_until(*db, archive,
                                std::chrono::steady_clock::now() + kRunTime, t);
      });
    }
  }
  for (unsigned t = 0; t < kThreads; ++t) {
    EXPECT_EQ(tallies[t].wrong, 0u) << "thread " << t;
    EXPECT_GT(tallies[t].calls, 0u) << "thread " << t;
  }
}

// Opening runs the directory walk and fills a table whose hash is seeded
// once per process; threads opening their own databases at once must each
// get the whole table.
TEST(ConcurrentReads, ThreadsOpenTheSameArchiveAtOnce) {
  const SharedArchive archive;
  std::vector<Tally> tallies(kThreads);
  std::latch start(kThreads);
  {
    std::vector<std::jthread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        for (int round = 0; round < 5; ++round) {
          const auto db = DatDatabase::open(archive.path);
          if (!db || db->files().size() != archive.files.size()) {
            ++tallies[t].wrong;
            continue;
          }
          tallies[t].calls += 1;
          for (std::size_t i = t; i < archive.files.size(); i += kThreads) {
            const auto bytes = db->get_file(archive.files[i].id);
            tallies[t].wrong += !bytes || *bytes != archive.contents[i];
          }
        }
      });
    }
  }
  for (unsigned t = 0; t < kThreads; ++t) {
    EXPECT_EQ(tallies[t].wrong, 0u) << "thread " << t;
    EXPECT_EQ(tallies[t].calls, 5u) << "thread " << t;
  }
}

}  // namespace
}  // namespace quillstone_dat
