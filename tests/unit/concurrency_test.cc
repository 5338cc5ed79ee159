// One open database read from several threads at once.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
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

TEST(Concurrency, ThreadsSharingADatabaseGetTheRightBytes) {
  std::vector<TestFile> files;
  std::vector<Bytes> contents;
  for (std::uint32_t i = 0; i < 100; ++i) {
    Bytes data(37 * i + 1);
    for (std::size_t k = 0; k < data.size(); ++k) {
      data[k] = static_cast<std::uint8_t>(i + k * 3);
    }
    const bool compressed = i % 4 == 0;
    files.push_back({0x06000000 + i, compressed ? lrs_literals(data) : data,
                     compressed ? 1u : 0u});
    contents.push_back(std::move(data));
  }
  const TempDir dir;
  const auto db = DatDatabase::open(
      testing::write_bytes(dir / "shared.dat", build_archive(files)));
  ASSERT_TRUE(db) << db.error();

  std::atomic<int> wrong{0};
  {
    std::vector<std::jthread> threads;
    for (unsigned t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937 random(t);
        for (int round = 0; round < 400; ++round) {
          const std::size_t i = random() % files.size();
          const std::uint32_t id = files[i].id;
          const auto bytes = db->get_file(id);
          if (!bytes || *bytes != contents[i]) ++wrong;
          const auto metadata = db->get_metadata(id);
          if (!db->exists(id) || !metadata ||
              metadata->size != files[i].data.size()) {
            ++wrong;
          }
          const std::uint32_t absent = id + 0x100;
          const auto missing = db->get_file(absent);
          if (db->exists(absent) || missing ||
              missing.error() != DatError::not_found(absent)) {
            ++wrong;
          }
        }
      });
    }
  }
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace quillstone_dat
