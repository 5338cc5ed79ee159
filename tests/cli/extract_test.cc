// `quillstone-dat extract`: every file or the named ones, decompressed or
// raw, to XXXXXXXX.bin files; an entry that cannot be read is reported
// while the rest are still written, and nothing is left under a temporary
// or partial name.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/folder_files.h"
#include "cli/tool_process.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {
namespace {

namespace fs = std::filesystem;

class ExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 900; ++i) {
      binary_.push_back(static_cast<std::uint8_t>(i * 13));
    }
    text_ = bytes_of("stored compressed, as literals only");
    const std::vector<TestFile> files = {
        {42, binary_},
        {0x06000001, lrs_literals(text_), 1},
        {7, {}},
    };
    archive_ = write_bytes(dir_ / "a.dat", build_archive(files, 64)).string();
  }

  ToolResult extract(std::vector<std::string> more) const {
    std::vector<std::string> args = {"extract", archive_, out_.string()};
    args.insert(args.end(), more.begin(), more.end());
    return run_tool(args);
  }

  TempDir dir_;
  std::string archive_;
  const fs::path out_ = dir_ / "out" / "nested";
  Bytes binary_;
  Bytes text_;
};

TEST_F(ExtractTest, WritesEveryFileDecompressed) {
  for (const char* jobs : {"1", "3"}) {
    fs::remove_all(out_);
    const ToolResult result = extract({"--jobs", jobs});
    ASSERT_EQ(result.exit_code, 0) << jobs << ": " << result.err;
    // Standard error is no terminal here: no progress bar.
    EXPECT_EQ(result.err, "") << jobs;
    EXPECT_EQ(result.out, "") << jobs;
    EXPECT_EQ(names_in(out_),
              (std::vector<std::string>{"00000007.bin", "0000002A.bin",
                                        "06000001.bin"}));
    EXPECT_EQ(read_bytes(out_ / "0000002A.bin"), binary_);
    EXPECT_EQ(read_bytes(out_ / "06000001.bin"), text_);
    EXPECT_EQ(read_bytes(out_ / "00000007.bin"), Bytes{});
  }
}

TEST_F(ExtractTest, ReplacesFilesAlreadyThere) {
  fs::create_directories(out_);
  write_bytes(out_ / "0000002A.bin", Bytes(5000, 1));
  ASSERT_EQ(extract({"42"}).exit_code, 0);
  EXPECT_EQ(read_bytes(out_ / "0000002A.bin"), binary_);
}

TEST_F(ExtractTest, NamedIdsOnlyAndRawBytes) {
  const ToolResult result = extract({"--raw", "0x06000001", "42", "0x2A"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(names_in(out_),
            (std::vector<std::string>{"0000002A.bin", "06000001.bin"}));
  EXPECT_EQ(read_bytes(out_ / "06000001.bin"), lrs_literals(text_));
  EXPECT_EQ(read_bytes(out_ / "0000002A.bin"), binary_);
}

TEST_F(ExtractTest, AnUnknownIdIsNotFoundAndTheOthersAreWritten) {
  const ToolResult result = extract({"0x1234", "7"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "error: NotFound(4660)\n");
  EXPECT_EQ(names_in(out_), (std::vector<std::string>{"00000007.bin"}));
}

TEST_F(ExtractTest, AnOutputFolderThatIsAFileIsAPathError) {
  fs::create_directories(out_.parent_path());
  write_bytes(out_, bytes_of("a file"));
  const ToolResult result = extract({});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(result.err.starts_with("error: PathError")) << result.err;
}

TEST_F(ExtractTest, BadArgumentsAreUsageErrors) {
  for (const std::vector<std::string>& more :
       {std::vector<std::string>{"--jobs", "0"},
        {"--jobs", "x"},
        {"0xZZ"},
        {"--frob"}}) {
    const ToolResult result = extract(more);
    EXPECT_EQ(result.exit_code, 2) << more.back() << ": " << result.err;
    EXPECT_NE(result.err.find("usage: quillstone-dat extract"),
              std::string::npos)
        << result.err;
  }
  EXPECT_EQ(run_tool({"extract", archive_}).exit_code, 2);
  EXPECT_FALSE(fs::exists(out_));
}

TEST(ExtractBrokenTest, ABrokenEntryFailsAloneAndLeavesNoTemporaryFile) {
  ArchiveBuilder builder;
  const DatFileEntry first = builder.add_file(1, bytes_of("first file"));
  const DatFileEntry broken = builder.add_file(2, bytes_of("cut short"));
  const DatFileEntry last = builder.add_file(3, bytes_of("last file"));
  const std::uint32_t root = builder.end();
  // The middle entry claims far more bytes than the archive holds.
  builder.put_node(root,
                   Node{{},
                        {first, {0, 2, broken.offset, 100000, 0, 0}, last},
                        std::nullopt});
  builder.header().root_offset = root;
  TempDir dir;
  const std::string archive = builder.write(dir / "broken.dat").string();

  for (const char* jobs : {"1", "4"}) {
    const fs::path out = dir / (std::string("out") + jobs);
    const ToolResult result =
        run_tool({"extract", archive, out.string(), "--jobs", jobs});
    EXPECT_EQ(result.exit_code, 1) << jobs;
    EXPECT_TRUE(result.err.starts_with("error: 00000002: Io(")) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1)
        << result.err;
    EXPECT_EQ(names_in(out),
              (std::vector<std::string>{"00000001.bin", "00000003.bin"}));
    EXPECT_EQ(read_bytes(out / "00000003.bin"), bytes_of("last file"));
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
