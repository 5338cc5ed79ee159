// `quillstone-dat pack`: a folder of id-named files becomes an archive whose
// files extract back byte for byte, in every storage mode; names that are
// no id are skipped, two files for one id and an existing archive are
// refused.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/folder_files.h"
#include "cli/tool_process.h"
#include "quillstone_dat/dat_database.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {
namespace {

namespace fs = std::filesystem;

struct SourceFile {
  std::string name;
  std::uint32_t id;
  Bytes data;
};

// Files that compress well, files that do not, an empty one, and one over
// many blocks of any block size tried.
std::vector<SourceFile> source_files() {
  Bytes text;
  while (text.size() < 6000) {
    const Bytes line = bytes_of("a line of text that repeats itself, ");
    text.insert(text.end(), line.begin(), line.end());
  }
  Bytes noise(3000);
  std::uint32_t state = 12345;
  for (std::uint8_t& byte : noise) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return {
      {"0A000001.bin", 0x0A000001, text},
      {"0a000002", 0x0A000002, noise},
      {"00000000.txt", 0, {}},
      {"FFFFFFFF.dat", 0xFFFFFFFF, bytes_of("x")},
  };
}

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(in_);
    for (const SourceFile& file : source_files()) {
      write_bytes(in_ / file.name, file.data);
    }
  }

  TempDir dir_;
  const fs::path in_ = dir_ / "in";
  const fs::path archive_ = dir_ / "packed.dat";
};

TEST_F(PackTest, RoundTripsThroughExtractInEveryMode) {
  for (const char* mode : {"none", "all", "auto"}) {
    for (const char* block_size : {"8", "64", "1024"}) {
      const std::string label = std::string(mode) + " " + block_size;
      const ToolResult packed =
          run_tool({"pack", in_.string(), archive_.string(), "--compress", mode,
                    "--block-size", block_size, "--force"});
      ASSERT_EQ(packed.exit_code, 0) << label << ": " << packed.err;
      EXPECT_EQ(packed.err, "") << label;

      const auto db = DatDatabase::open(archive_);
      ASSERT_TRUE(db) << label;
      EXPECT_EQ(db->header().block_size, std::stoul(block_size)) << label;
      for (const SourceFile& file : source_files()) {
        const DatFileEntry* entry = db->files().find(file.id);
        ASSERT_NE(entry, nullptr) << label << " " << file.name;
        // auto keeps the compressed form only for the text, which shrinks.
        const bool compressed =
            std::string(mode) == "all" ||
            (std::string(mode) == "auto" && file.id == 0x0A000001);
        EXPECT_EQ(entry->is_compressed(), compressed)
            << label << " " << file.name;
      }

      const fs::path out = dir_ / ("out-" + label);
      const ToolResult extracted =
          run_tool({"extract", archive_.string(), out.string(), "--quiet"});
      ASSERT_EQ(extracted.exit_code, 0) << label << ": " << extracted.err;
      EXPECT_EQ(names_in(out),
                (std::vector<std::string>{"00000000.bin", "0A000001.bin",
                                          "0A000002.bin", "FFFFFFFF.bin"}))
          << label;
      for (const SourceFile& file : source_files()) {
        char name[16];
        std::snprintf(name, sizeof name, "%08X.bin", file.id);
        EXPECT_EQ(read_bytes(out / name), file.data) << label << " " << name;
      }
    }
  }
}

TEST_F(PackTest, RefusesToReplaceAnArchiveWithoutForce) {
  write_bytes(archive_, bytes_of("keep me"));
  const ToolResult refused =
      run_tool({"pack", in_.string(), archive_.string()});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
  EXPECT_EQ(read_bytes(archive_), bytes_of("keep me"));

  const ToolResult forced =
      run_tool({"pack", in_.string(), archive_.string(), "--force"});
  ASSERT_EQ(forced.exit_code, 0) << forced.err;
  const auto db = DatDatabase::open(archive_);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->files().size(), 4u);
  // Only the archive: the temporary file went with the rename.
  EXPECT_EQ(names_in(dir_.path()),
            (std::vector<std::string>{"in", "packed.dat"}));
}

TEST_F(PackTest, SkipsWhatIsNotAnIdNamedRegularFile) {
  const std::vector<std::string> skipped = {
      "notes.txt",
      "0A00001.bin",             // seven digits
      "0A0000012",               // nine digits
      "0A000001.",               // a dot and no extension
      "0A00000G.bin",            // not hex
      ".0A000005.bin.tmp-1a2b",  // a leftover temporary file
  };
  for (const std::string& name : skipped)
    write_bytes(in_ / name, bytes_of("?"));
  fs::create_directory(in_ / "0A000006");

  const ToolResult result = run_tool({"pack", in_.string(), archive_.string()});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  for (const std::string& name : skipped) {
    EXPECT_NE(result.err.find("skipping " + name + ": name is not a file id"),
              std::string::npos)
        << name << ": " << result.err;
  }
  EXPECT_NE(result.err.find("skipping 0A000006: not a regular file"),
            std::string::npos)
      << result.err;
  const auto db = DatDatabase::open(archive_);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->files().size(), 4u);
}

TEST_F(PackTest, TwoFilesForOneIdAreAnError) {
  write_bytes(in_ / "0A000001.txt", bytes_of("other"));
  const ToolResult result = run_tool({"pack", in_.string(), archive_.string()});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("0A000001.bin 0A000001.txt"), std::string::npos)
      << result.err;
  EXPECT_FALSE(fs::exists(archive_));
  EXPECT_EQ(names_in(dir_.path()), (std::vector<std::string>{"in"}));
}

TEST_F(PackTest, AMissingFolderIsAPathError) {
  const ToolResult result =
      run_tool({"pack", (dir_ / "absent").string(), archive_.string()});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(result.err.starts_with("error: PathError")) << result.err;
  EXPECT_FALSE(fs::exists(archive_));
}

TEST_F(PackTest, BadArgumentsAreUsageErrors) {
  const std::string in = in_.string();
  const std::string out = archive_.string();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"pack", in},
        {"pack", in, out, "--compress", "zip"},
        {"pack", in, out, "--block-size", "4"},
        {"pack", in, out, "--block-size", "4294967296"},
        {"pack", in, out, "--block-size", "-8"}}) {
    const ToolResult result = run_tool(args);
    EXPECT_EQ(result.exit_code, 2) << args.back() << ": " << result.err;
    EXPECT_NE(result.err.find("usage: quillstone-dat pack"), std::string::npos)
        << result.err;
  }
  EXPECT_FALSE(fs::exists(archive_));
}

}  // namespace
}  // namespace quillstone_dat::testing
