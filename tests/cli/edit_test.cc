// `quillstone-dat add`, `rm` and `compact`: archives changed in place, one
// commit each, under the tool's overwrite rule and id notation; compact
// gives back the free blocks and keeps every stored byte and entry field.

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>

#include "cli/folder_files.h"
#include "cli/tool_process.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {
namespace {

namespace fs = std::filesystem;

class EditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<TestFile> files = {{0x0A000001, bytes_of("one")},
                                         {0x0A000002, bytes_of("two")},
                                         {0x0A000003, bytes_of("three")}};
    archive_ = write_bytes(dir_ / "a.dat", build_archive(files, 64)).string();
  }

  fs::path input(const std::string& name, std::string_view text) const {
    return write_bytes(dir_ / name, bytes_of(text));
  }

  std::string cat(const std::string& id) const {
    return run_tool({"cat", archive_, id}).out;
  }

  TempDir dir_;
  std::string archive_;
};

TEST_F(EditTest, AddPutsNewFilesAndReplacesOnlyWhenAsked) {
  const ProcessResult added =
      run_tool({"add", archive_, input("0A000009.bin", "nine").string(),
                "--compress", "all"});
  ASSERT_EQ(added.exit_code, 0) << added.err;
  EXPECT_EQ(cat("0A000009"), "nine");

  // Without --replace nothing is written, not even the files that are new.
  const Bytes before = read_bytes(archive_);
  fs::create_directory(dir_ / "more");
  write_bytes(dir_ / "more" / "0A000001", bytes_of("ONE"));
  write_bytes(dir_ / "more" / "0A00000A.bin", bytes_of("ten"));
  const ProcessResult refused =
      run_tool({"add", archive_, (dir_ / "more").string()});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.err, "quillstone-dat: " + archive_ +
                             ": already holds file 0x0A000001; pass "
                             "--replace to replace it\n");
  EXPECT_EQ(read_bytes(archive_), before);

  const ProcessResult replaced =
      run_tool({"add", archive_, (dir_ / "more").string(), "--replace"});
  ASSERT_EQ(replaced.exit_code, 0) << replaced.err;
  EXPECT_EQ(replaced.out,
            archive_ + ": 1 added, 1 replaced, 0 removed; blocks: " +
                replaced.out.substr(replaced.out.find("blocks: ") + 8));
  EXPECT_EQ(cat("0A000001"), "ONE");
  EXPECT_EQ(cat("0A00000A"), "ten");
  EXPECT_EQ(run_tool({"verify", archive_}).exit_code, 0);

  EXPECT_EQ(
      run_tool({"add", archive_, input("notes.txt", "x").string()}).exit_code,
      1);
}

TEST_F(EditTest, AddFillsFreeBlocksWhenAsked) {
  // In the writer's layout every chain the rm lets go can be freed.
  ASSERT_EQ(run_tool({"compact", archive_}).exit_code, 0);
  const ProcessResult removed = run_tool({"rm", archive_, "0A000002"});
  ASSERT_EQ(removed.exit_code, 0);
  // Much of this small archive is free now, and the tool says so.
  EXPECT_NE(removed.out.find(" blocks are free; compact gives them back"),
            std::string::npos)
      << removed.out;
  const ProcessResult added =
      run_tool({"add", archive_, input("0A000004", "four").string(),
                "--reuse-free-blocks"});
  ASSERT_EQ(added.exit_code, 0) << added.err;
  EXPECT_NE(added.out.find("blocks: "), std::string::npos) << added.out;
  EXPECT_EQ(added.out.find("blocks: 0 reused"), std::string::npos) << added.out;
  EXPECT_EQ(cat("0A000004"), "four");
  EXPECT_EQ(run_tool({"verify", archive_}).exit_code, 0);
}

TEST_F(EditTest, RmRemovesWhatItFindsAndReportsTheRest) {
  const ProcessResult removed =
      run_tool({"rm", archive_, "0A000001-0A000002", "0B000000"});
  EXPECT_EQ(removed.exit_code, 1);
  EXPECT_EQ(removed.err, "quillstone-dat: " + archive_ +
                             ": no file 0x0B000000 in the archive\n");
  EXPECT_EQ(run_tool({"ls", archive_}).out.substr(0, 8), "0A000003");
  EXPECT_EQ(cat("0A000003"), "three");
  EXPECT_EQ(run_tool({"rm", archive_, "zz"}).exit_code, 2);
}

TEST_F(EditTest, CompactOfAnUnreadableFileNamesItAndChangesNothing) {
  ArchiveBuilder builder(64);
  const DatFileEntry kept = builder.add_file(0x0A000001, bytes_of("one"));
  DatFileEntry lost = builder.add_file(0x0A000002, bytes_of("two"));
  lost.offset = 1u << 20;  // past the end of the archive
  builder.put_root(Node{{}, {kept, lost}, std::nullopt});
  builder.header().file_size = builder.end();
  write_bytes(archive_, builder.bytes());

  const ProcessResult compacted = run_tool({"compact", archive_});
  EXPECT_EQ(compacted.exit_code, 1);
  EXPECT_NE(compacted.err.find("0x0A000002"), std::string::npos)
      << compacted.err;
  EXPECT_EQ(read_bytes(archive_), builder.bytes());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()),
                          fs::directory_iterator()),
            1);
}

TEST_F(EditTest, CompactDropsFreeBlocksAndKeepsEveryFile) {
  ASSERT_EQ(run_tool({"rm", archive_, "0A000002"}).exit_code, 0);
  ASSERT_EQ(run_tool({"add", archive_, input("0A000001", "uno").string(),
                      "--replace"})
                .exit_code,
            0);
  const std::string listed = run_tool({"ls", archive_, "--json"}).out;
  const auto size_before = fs::file_size(archive_);

  const ProcessResult compacted = run_tool({"compact", archive_});
  ASSERT_EQ(compacted.exit_code, 0) << compacted.err;
  EXPECT_LT(fs::file_size(archive_), size_before);
  EXPECT_NE(run_tool({"info", archive_}).out.find("free_count:       0\n"),
            std::string::npos);
  EXPECT_EQ(cat("0A000001"), "uno");
  EXPECT_EQ(cat("0A000003"), "three");
  EXPECT_EQ(cat("0A000002"), "");
  // Every entry field but the offset is kept.
  const auto without_offsets = [](std::string json) {
    std::string out;
    for (std::size_t at = 0; at < json.size();) {
      const std::size_t key = json.find("\"offset\":", at);
      if (key == std::string::npos) return out + json.substr(at);
      out += json.substr(at, key - at);
      at = json.find_first_of(",}", key);
    }
    return out;
  };
  EXPECT_EQ(without_offsets(run_tool({"ls", archive_, "--json"}).out),
            without_offsets(listed));
}

}  // namespace
}  // namespace quillstone_dat::testing
