// `quillstone-dat cat`: a file's bytes exactly, decompressed or as stored,
// chosen by a hexadecimal id as ls prints it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/tool_process.h"
#include "support/archive_builder.h"
#include "support/id_text.h"

namespace quillstone_dat::testing {
namespace {

std::string text_of(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

class CatTest : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kPlainId = 42;
  static constexpr std::uint32_t kCompressedId = 0x06000001;
  static constexpr std::uint32_t kEmptyId = 7;
  static constexpr std::uint32_t kMaxId = 0xFFFFFFFF;

  // Every byte value, newlines and zeros included, over several scattered
  // blocks of a 64-byte block size.
  void SetUp() override {
    for (int i = 0; i < 700; ++i)
      binary_.push_back(static_cast<std::uint8_t>(i * 7));
    plain_ = bytes_of("the decompressed text, longer than eight bytes");
    stored_ = lrs_literals(plain_);
    const std::vector<TestFile> files = {
        {kPlainId, binary_},
        {kCompressedId, stored_, 1},
        {kEmptyId, {}},
        {kMaxId, bytes_of("last")},
    };
    archive_ = write_bytes(dir_ / "cat.dat", build_archive(files, 64)).string();
  }

  TempDir dir_;
  std::string archive_;
  Bytes binary_;
  Bytes plain_;
  Bytes stored_;
};

TEST_F(CatTest, WritesAnUncompressedFileByteForByte) {
  const ProcessResult result = run_tool({"cat", archive_, "2A"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, text_of(binary_));
  // --raw changes nothing for a file stored as it is.
  EXPECT_EQ(run_tool({"cat", archive_, "2A", "--raw"}).out, text_of(binary_));
}

TEST_F(CatTest, DecompressesUnlessRawIsGiven) {
  const ProcessResult plain = run_tool({"cat", archive_, "0x06000001"});
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  EXPECT_EQ(plain.out, text_of(plain_));

  const ProcessResult raw = run_tool({"cat", archive_, "0x06000001", "--raw"});
  ASSERT_EQ(raw.exit_code, 0) << raw.err;
  EXPECT_EQ(raw.out, text_of(stored_));
}

TEST_F(CatTest, TakesTheIdInHexWithOrWithoutPrefix) {
  for (const char* id :
       {"2A", "2a", "0x2a", "0X2A", "0000002A", "0x0000002A"}) {
    const ProcessResult result = run_tool({"cat", archive_, id});
    EXPECT_EQ(result.exit_code, 0) << id << ": " << result.err;
    EXPECT_EQ(result.out, text_of(binary_)) << id;
  }
  for (const char* id : {"FFFFFFFF", "0xFFFFFFFF", "0xffffffff", "6000001"}) {
    const ProcessResult result = run_tool({"cat", archive_, id});
    EXPECT_EQ(result.exit_code, 0) << id << ": " << result.err;
    EXPECT_FALSE(result.out.empty()) << id;
  }
  // Digits that look decimal are hex all the same: 42 is 0x42.
  EXPECT_EQ(run_tool({"cat", archive_, "42"}).exit_code, 1);
}

TEST_F(CatTest, AnEmptyFileWritesNothingAndSucceeds) {
  const ProcessResult result = run_tool({"cat", archive_, "7"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
}

TEST_F(CatTest, AnAbsentIdIsNamedInHexOrInTheDebugForm) {
  for (const bool raw : {false, true}) {
    std::vector<std::string> args = {"cat", archive_, "0x1234"};
    if (raw) args.push_back("--raw");
    const ProcessResult result = run_tool(args);
    EXPECT_EQ(result.exit_code, 1) << raw;
    EXPECT_EQ(result.out, "") << raw;
    EXPECT_EQ(result.err, "quillstone-dat: " + archive_ +
                              ": no file 0x00001234 in the archive\n")
        << raw;

    args.insert(args.begin(), "--debug");
    const ProcessResult debug = run_tool(args);
    EXPECT_EQ(debug.exit_code, 1) << raw;
    EXPECT_EQ(debug.err, "error: NotFound(4660)\n") << raw;
  }
}

TEST(CatPayloadTest, AShortCompressedStreamIsWrittenWithAWarning) {
  Bytes lying = lrs_literals(bytes_of("sixteen bytes..."));
  lying[0] = 200;  // declares 200 bytes, holds 16
  ArchiveBuilder builder;
  const DatFileEntry entry = builder.add_file(9, lying, 1);
  builder.put_root(Node{{}, {entry}, std::nullopt});
  TempDir dir;
  const std::string archive = builder.write(dir / "lying.dat").string();

  const ProcessResult result = run_tool({"cat", archive, "9"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "sixteen bytes...");
  EXPECT_EQ(result.err, "quillstone-dat: " + archive +
                            ": warning: file 0x00000009 decodes to 16 bytes "
                            "but declares 200\n");
}

TEST(CatChainTest, AChainPastTheEndFailsWithoutWritingAnything) {
  // The entry claims more bytes than the archive holds after its offset.
  ArchiveBuilder builder;
  const DatFileEntry entry = builder.add_file(5, bytes_of("partial"));
  builder.put_root(Node{{}, {{0, 5, entry.offset, 4000, 0, 0}}, std::nullopt});
  TempDir dir;
  const auto archive = builder.write(dir / "short_chain.dat");

  for (const char* mode : {"", "--raw"}) {
    std::vector<std::string> args = {"cat", archive.string(), "5"};
    if (*mode != '\0') args.push_back(mode);
    const ProcessResult result = run_tool(args);
    EXPECT_EQ(result.exit_code, 1) << mode;
    EXPECT_EQ(result.out, "") << mode;
    EXPECT_TRUE(result.err.starts_with(
        "quillstone-dat: " + archive.string() +
        ": file 0x00000005 is truncated: its 4,000 stored bytes at 0x" +
        hex8(entry.offset) + " run past the end of the "))
        << result.err;
    EXPECT_TRUE(result.err.ends_with("-byte archive\n")) << result.err;

    args.insert(args.begin(), "--debug");
    EXPECT_TRUE(run_tool(args).err.starts_with("error: Io(")) << mode;
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
