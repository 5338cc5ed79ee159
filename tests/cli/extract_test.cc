// `quillstone-dat extract`: every file or the ones asked for (ids, ranges,
// lists), decompressed or raw, to XXXXXXXX.bin files dated by their entry,
// with a manifest; existing files are kept unless --force; an entry that
// cannot be read is reported while the rest are still written, and nothing
// is left under a temporary or partial name.

#include <gtest/gtest.h>
#include <sys/stat.h>

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
        {0x06000002, bytes_of("second")},
    };
    archive_ = write_bytes(dir_ / "a.dat", build_archive(files, 64)).string();
  }

  ProcessResult extract(std::vector<std::string> more) const {
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
  // One thread, several, and several with everything flushed at the end.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--jobs", "1"},
        std::vector<std::string>{"--jobs", "3"},
        std::vector<std::string>{"--jobs", "3", "--sync"}}) {
    const std::string jobs = args[1] + (args.size() > 2 ? " --sync" : "");
    fs::remove_all(out_);
    const ProcessResult result = extract(args);
    ASSERT_EQ(result.exit_code, 0) << jobs << ": " << result.err;
    // Standard error is no terminal here: no progress bar.
    EXPECT_EQ(result.err, "") << jobs;
    EXPECT_EQ(result.out, "") << jobs;
    EXPECT_EQ(names_in(out_),
              (std::vector<std::string>{"00000007.bin", "0000002A.bin",
                                        "06000001.bin", "06000002.bin",
                                        "manifest.json"}));
    EXPECT_EQ(read_bytes(out_ / "0000002A.bin"), binary_);
    EXPECT_EQ(read_bytes(out_ / "06000001.bin"), text_);
    EXPECT_EQ(read_bytes(out_ / "00000007.bin"), Bytes{});
  }
}

TEST_F(ExtractTest, KeepsFilesAlreadyThereUnlessForced) {
  fs::create_directories(out_);
  write_bytes(out_ / "0000002A.bin", Bytes(5000, 1));
  // Refused before anything is written, naming the file in the way.
  const ProcessResult refused = extract({"7", "2A"});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.err, "quillstone-dat: " + (out_ / "0000002A.bin").string() +
                             ": exists; pass --force to replace the files "
                             "there, or --skip-existing to keep them\n");
  EXPECT_EQ(names_in(out_), std::vector<std::string>{"0000002A.bin"});

  // Resuming writes only what is missing.
  ASSERT_EQ(extract({"7", "2A", "--skip-existing"}).exit_code, 0);
  EXPECT_EQ(read_bytes(out_ / "0000002A.bin"), Bytes(5000, 1));
  EXPECT_EQ(read_bytes(out_ / "00000007.bin"), Bytes{});

  ASSERT_EQ(extract({"2A", "--force"}).exit_code, 0);
  EXPECT_EQ(read_bytes(out_ / "0000002A.bin"), binary_);
}

TEST_F(ExtractTest, IdsRangesAndListsSelectFilesOnceEachAsStored) {
  const std::string list = (dir_ / "ids.txt").string();
  write_bytes(list, bytes_of("# wanted\n  2a  \n\n06000001 # again\n"));
  const ProcessResult result =
      extract({"--raw", "06000000-060000FF", "0x2A", "--ids-from", list});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(names_in(out_),
            (std::vector<std::string>{"0000002A.bin", "06000001.bin",
                                      "06000002.bin", "manifest.json"}));
  EXPECT_EQ(read_bytes(out_ / "06000001.bin"), lrs_literals(text_));
  EXPECT_EQ(read_bytes(out_ / "0000002A.bin"), binary_);

  // The list may come from standard input.
  const ProcessResult piped = run_tool_with_input(
      {"extract", archive_, (dir_ / "piped").string(), "--ids-from", "-"},
      "7\n06000002\n");
  ASSERT_EQ(piped.exit_code, 0) << piped.err;
  EXPECT_EQ(names_in(dir_ / "piped"),
            (std::vector<std::string>{"00000007.bin", "06000002.bin",
                                      "manifest.json"}));
}

TEST_F(ExtractTest, FilesCarryTheirEntrysTimestamp) {
  ArchiveBuilder builder;
  const DatFileEntry dated = builder.add_file(1, bytes_of("dated"));
  const DatFileEntry undated = builder.add_file(2, bytes_of("undated"));
  builder.put_root(Node{{},
                        {{0, 1, dated.offset, dated.size, 1'000'000'000, 0},
                         {0, 2, undated.offset, undated.size, 0, 0}},
                        std::nullopt});
  const std::string archive = builder.write(dir_ / "dated.dat").string();
  ASSERT_EQ(run_tool({"extract", archive, out_.string()}).exit_code, 0);
  struct stat status {};
  ASSERT_EQ(::stat((out_ / "00000001.bin").c_str(), &status), 0);
  EXPECT_EQ(status.st_mtime, 1'000'000'000);
  ASSERT_EQ(::stat((out_ / "00000002.bin").c_str(), &status), 0);
  EXPECT_GT(status.st_mtime, 1'000'000'000);  // written now
}

TEST_F(ExtractTest, AnUnknownIdOrEmptyRangeIsReportedAndTheOthersAreWritten) {
  const ProcessResult result = extract({"0x1234", "7", "08000000-08FFFFFF"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "quillstone-dat: " + archive_ +
                            ": no file 0x00001234 in the archive\n"
                            "quillstone-dat: " +
                            archive_ +
                            ": no file in 0x08000000-0x08FFFFFF in the "
                            "archive\n");
  EXPECT_EQ(names_in(out_),
            (std::vector<std::string>{"00000007.bin", "manifest.json"}));

  const ProcessResult debug = run_tool(
      {"--debug", "extract", archive_, (dir_ / "d").string(), "0x1234"});
  EXPECT_EQ(debug.exit_code, 1);
  EXPECT_EQ(debug.err, "error: NotFound(4660)\n");
}

TEST_F(ExtractTest, AnOutputFolderThatIsAFileIsAPathError) {
  fs::create_directories(out_.parent_path());
  write_bytes(out_, bytes_of("a file"));
  const ProcessResult result = extract({"--force"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(result.err.starts_with("quillstone-dat: " + out_.string() +
                                     ": cannot write: "))
      << result.err;
  const ProcessResult debug =
      run_tool({"--debug", "extract", archive_, out_.string(), "--force"});
  EXPECT_TRUE(debug.err.starts_with("error: PathError")) << debug.err;
}

TEST_F(ExtractTest, BadArgumentsAreUsageErrors) {
  for (const std::vector<std::string>& more :
       {std::vector<std::string>{"--jobs", "0"},
        {"--jobs", "x"},
        {"0xZZ"},
        {"06000002-06000001"},
        {"--force", "--skip-existing"},
        {"--ids-from", (dir_ / "absent.txt").string()},
        {"--frob"}}) {
    const ProcessResult result = extract(more);
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
    const ProcessResult result =
        run_tool({"extract", archive, out.string(), "--jobs", jobs});
    EXPECT_EQ(result.exit_code, 1) << jobs;
    EXPECT_TRUE(result.err.starts_with(
        "quillstone-dat: " + archive +
        ": file 0x00000002 is truncated: its 100,000 stored bytes"))
        << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1)
        << result.err;
    EXPECT_EQ(names_in(out),
              (std::vector<std::string>{"00000001.bin", "00000003.bin",
                                        "manifest.json"}));
    EXPECT_EQ(read_bytes(out / "00000003.bin"), bytes_of("last file"));

    const ProcessResult debug =
        run_tool({"--debug", "extract", archive, out.string() + "-debug",
                  "--jobs", jobs});
    EXPECT_TRUE(debug.err.starts_with("error: 00000002: Io(")) << debug.err;
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
