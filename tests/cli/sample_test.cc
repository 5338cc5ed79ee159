// `quillstone-dat sample`: the same seed gives the same archive byte for
// byte; the default archive is one a reader can rely on: a three-level
// directory, no empty file, a mix of sizes and storage, and nothing for
// verify to find.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/folder_files.h"
#include "cli/tool_process.h"
#include "format/directory_walk.h"
#include "quillstone_dat/dat_database.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {
namespace {

namespace fs = std::filesystem;

// Levels from the root down its first branches to a leaf.
std::uint32_t directory_depth(const DatDatabase& db) {
  std::uint32_t depth = 0;
  for (std::uint32_t node = db.header().root_offset; node != 0; ++depth) {
    const auto decoded = read_directory_node(db, node);
    if (!decoded) ADD_FAILURE() << decoded.error().debug();
    if (!decoded || depth > kMaxDirectoryDepth) return 0;
    node = decoded->branches[0];
  }
  return depth;
}

class SampleTest : public ::testing::Test {
 protected:
  // Runs sample with `args` after the archive's path; must succeed.
  ProcessResult sample(const fs::path& archive,
                       std::vector<std::string> args = {}) const {
    args.insert(args.begin(), {"sample", archive.string()});
    ProcessResult result = run_tool(args);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return result;
  }

  TempDir dir_;
};

TEST_F(SampleTest, TheDefaultArchiveIsDeepVariedAndSound) {
  const fs::path archive = dir_ / "made" / "here" / "portal.dat";
  const ProcessResult result = sample(archive);
  EXPECT_TRUE(
      result.out.starts_with("wrote " + archive.string() + ": 4000 files,"))
      << result.out;
  EXPECT_TRUE(result.out.ends_with(", directory depth 3\n")) << result.out;

  const auto db = DatDatabase::open(archive);
  ASSERT_TRUE(db) << db.error().debug();
  EXPECT_EQ(db->files().size(), 4000u);
  EXPECT_GE(directory_depth(*db), 3u);

  std::size_t compressed = 0;
  std::size_t small = 0;
  std::size_t largest = 0;
  for (const DatFileEntry& entry : db->files()) {
    const auto bytes = db->get_file(entry.id);
    ASSERT_TRUE(bytes) << entry.id;
    ASSERT_FALSE(bytes->empty()) << entry.id;
    if (entry.is_compressed()) ++compressed;
    if (bytes->size() < 1024) ++small;
    largest = std::max(largest, bytes->size());
  }
  EXPECT_GT(compressed, 800u);
  EXPECT_LT(compressed, 1200u);
  EXPECT_GT(small, 2000u);
  EXPECT_GT(largest, 100'000u);
  EXPECT_LT(largest, 512u * 1024);

  const ProcessResult verified = run_tool({"verify", archive.string()});
  EXPECT_EQ(verified.exit_code, 0) << verified.out;
}

TEST_F(SampleTest, TheSameSeedGivesTheSameBytes) {
  sample(dir_ / "a.dat");
  sample(dir_ / "b.dat");
  EXPECT_EQ(read_bytes(dir_ / "a.dat"), read_bytes(dir_ / "b.dat"));

  sample(dir_ / "c.dat", {"--files", "300", "--seed", "77"});
  sample(dir_ / "d.dat", {"--seed", "77", "--files", "300"});
  sample(dir_ / "e.dat", {"--files", "300", "--seed", "78"});
  EXPECT_EQ(read_bytes(dir_ / "c.dat"), read_bytes(dir_ / "d.dat"));
  EXPECT_NE(read_bytes(dir_ / "c.dat"), read_bytes(dir_ / "e.dat"));
}

TEST_F(SampleTest, ReplacesAnExistingFileOnlyWithForce) {
  const fs::path archive = write_bytes(dir_ / "old.dat", bytes_of("old"));
  const ProcessResult refused = run_tool({"sample", archive.string()});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.err, "quillstone-dat: " + archive.string() +
                             ": exists; pass --force to replace it\n");
  EXPECT_EQ(read_bytes(archive), bytes_of("old"));

  sample(archive, {"--files", "1", "--force"});
  const auto db = DatDatabase::open(archive);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->files().size(), 1u);
  EXPECT_EQ(names_in(dir_.path()), (std::vector<std::string>{"old.dat"}));
}

TEST_F(SampleTest, BadArgumentsAreUsageErrors) {
  const std::string archive = (dir_ / "x.dat").string();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"sample"},
        {"sample", archive, "--files", "0"},
        {"sample", archive, "--files", "many"},
        {"sample", archive, "--seed", "0x"},
        {"sample", archive, "--seed", "-1"},
        {"sample", archive, "--seed", "18446744073709551616"}}) {
    const ProcessResult result = run_tool(args);
    EXPECT_EQ(result.exit_code, 2) << args.back() << ": " << result.err;
  }
  EXPECT_FALSE(fs::exists(archive));
}

}  // namespace
}  // namespace quillstone_dat::testing
