// One archive read from eight threads at once: fetches, metadata and
// existence checks of present and absent ids, each answer compared with
// what was stored, also while reads beneath fail at random. Run under
// ThreadSanitizer, it shows that a database needs no lock.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <latch>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "support/archive_builder.h"
#include "support/random_archive.h"
#include "utils/posix_file.h"

namespace quillstone_dat::testing {
namespace {

constexpr unsigned kThreads = 8;
// Enough for the threads' calls to overlap for a good while, even where
// thread start-up is slow; small enough for ThreadSanitizer.
constexpr unsigned kRoundsPerThread = 1500;
// The eight-thread test keeps going this long, however fast the build, so
// that ThreadSanitizer watches the calls interleave for a few seconds.
constexpr auto kSharedReadTime = std::chrono::seconds(3);

// Enough files for a root over leaves; sizes from empty to many blocks,
// every third one stored compressed. Ids are even, from 0x0A000000.
constexpr RandomFilesRecipe kSharedFiles = {.seed = 0xC0C0,
                                            .count = 130,
                                            .first_id = 0x0A000000,
                                            .id_step = 2,
                                            .max_size = 3000};
constexpr std::uint32_t kBlockSize = 256;

// What one thread saw go wrong, kept apart so that threads share nothing
// but the database.
struct Tally {
  std::uint64_t calls = 0;
  std::uint64_t wrong = 0;
};

// At least kRoundsPerThread rounds, and more until `until`.
Tally read_rounds(const DatDatabase& db, const RandomArchive& archive,
                  unsigned seed,
                  std::chrono::steady_clock::time_point until = {}) {
  std::mt19937 random(seed);
  Tally tally;
  for (unsigned round = 0;
       round < kRoundsPerThread || std::chrono::steady_clock::now() < until;
       ++round) {
    const std::size_t i = random() % archive.files.size();
    const TestFile& file = archive.files[i];
    // Odd ids lie between the stored ones, ids with the top bit set above
    // them all.
    const std::uint32_t absent =
        round % 2 == 0 ? file.id + 1 : file.id | 0x80000000;
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
  const RandomArchive archive(kSharedFiles, kBlockSize);
  const auto db = DatDatabase::open(archive.path);
  ASSERT_TRUE(db) << db.error();

  std::vector<Tally> tallies(kThreads);
  std::latch start(kThreads);
  const auto until = std::chrono::steady_clock::now() + kSharedReadTime;
  {
    std::vector<std::jthread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        tallies[t] = read_rounds(*db, archive, t, until);
      });
    }
  }
  for (unsigned t = 0; t < kThreads; ++t) {
    EXPECT_EQ(tallies[t].wrong, 0u) << "thread " << t;
    EXPECT_GE(tallies[t].calls, 6u * kRoundsPerThread) << "thread " << t;
  }
}

// A failed read ends only the call that made it: while about one read in
// seven fails, every fetch from any thread is its file's bytes or Io, and
// never another file's bytes or a part.
TEST(ConcurrentReads, FailingReadsSpoilNoOtherCall) {
  const RandomArchive archive(kSharedFiles, kBlockSize);
  auto posix = PosixFile::open(archive.path);
  ASSERT_TRUE(posix);
  std::atomic<bool> armed{false};
  const auto flaky = std::make_shared<FaultyFile>(
      std::make_shared<PosixFile>(std::move(*posix)),
      [&](std::size_t call, std::uint64_t) -> std::optional<IoError> {
        if (!armed) return std::nullopt;
        if (call % 7 == 3) return IoError::from_errno(EIO);
        if (call % 5 == 1) return IoError::from_errno(EINTR);
        return std::nullopt;
      },
      /*max_chunk=*/100);
  const auto db = DatDatabase::open(flaky);
  ASSERT_TRUE(db) << db.error();
  armed = true;

  struct FetchTally {
    std::uint64_t served = 0;
    std::uint64_t failed = 0;
    std::uint64_t wrong = 0;
  };
  std::vector<FetchTally> tallies(kThreads);
  std::latch start(kThreads);
  {
    std::vector<std::jthread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937 random(t);
        start.arrive_and_wait();
        for (unsigned round = 0; round < kRoundsPerThread / 4; ++round) {
          const std::size_t i = random() % archive.files.size();
          const auto bytes = db->get_file(archive.files[i].id);
          if (bytes) {
            tallies[t].wrong += *bytes != archive.contents[i];
            ++tallies[t].served;
          } else {
            tallies[t].wrong +=
                bytes.error() != DatError(IoError::from_errno(EIO));
            ++tallies[t].failed;
          }
        }
      });
    }
  }
  std::uint64_t served = 0;
  std::uint64_t failed = 0;
  for (unsigned t = 0; t < kThreads; ++t) {
    EXPECT_EQ(tallies[t].wrong, 0u) << "thread " << t;
    served += tallies[t].served;
    failed += tallies[t].failed;
  }
  // Small files need only a few reads, so some fetches get through.
  EXPECT_GT(served, 0u);
  EXPECT_GT(failed, 0u);
}

// Opening runs the directory walk and fills a table whose hash is seeded
// once per process; threads opening their own databases at once must each
// get the whole table.
TEST(ConcurrentReads, ThreadsOpenTheSameArchiveAtOnce) {
  const RandomArchive archive(kSharedFiles, kBlockSize);
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
}  // namespace quillstone_dat::testing
