// `quillstone-dat ls`: every entry once, or the ones asked for, sorted by
// id as an unsigned number, in aligned text, JSON Lines that match the
// directory, or the long form for people.

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/tool_process.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {
namespace {

class LsTest : public ::testing::Test {
 protected:
  // 100 files make a root with leaf children, so the table holds entries
  // from several nodes. The ids include both ends of the 32-bit range and
  // ids with the top bit set, which a signed comparison would put first.
  void SetUp() override {
    std::vector<TestFile> files;
    for (std::uint32_t i = 0; i < 96; ++i) {
      files.push_back({((i + 1) * 0x9E3779B9u) >> 4, bytes_of("f"),
                       i % 4});  // flags 0, 1, 2, 3 in turn
    }
    files.push_back({0, bytes_of("zero")});
    files.push_back({0xFFFFFFFF, bytes_of("max"), 1});
    files.push_back({0x80000000, bytes_of("top"), 3});
    files.push_back({0x7FFFFFFF, {}, 2});
    for (const TestFile& file : files) ids_.push_back(file.id);
    std::sort(ids_.begin(), ids_.end());
    ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
    archive_ = write_bytes(dir_ / "many.dat", build_archive(files));
  }

  TempDir dir_;
  std::filesystem::path archive_;
  std::vector<std::uint32_t> ids_;  // sorted, unique
  std::string run_text_;
};

TEST_F(LsTest, ListsOnlyTheIdsAndRangesAskedFor) {
  const ProcessResult result =
      run_tool({"ls", archive_.string(), "80000000-FFFFFFFF", "0", "0x0"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::vector<std::uint32_t> expected = {0};
  for (const std::uint32_t id : ids_) {
    if (id >= 0x80000000) expected.push_back(id);
  }
  const std::vector<std::string> lines = lines_of(result.out);
  ASSERT_EQ(lines.size(), expected.size()) << result.out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(std::stoul(lines[i].substr(0, 8), nullptr, 16), expected[i]);
  }

  // What is there is listed; what is not is reported after it.
  const ProcessResult missing =
      run_tool({"ls", archive_.string(), "FFFFFFFF", "FFFFFFFE"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_TRUE(missing.out.starts_with("FFFFFFFF  ")) << missing.out;
  EXPECT_EQ(missing.err, "quillstone-dat: " + archive_.string() +
                             ": no file 0xFFFFFFFE in the archive\n");
}

TEST(LsLongTest, ShowsSizesAndDatesForPeople) {
  ArchiveBuilder builder;
  const DatFileEntry big = builder.add_file(1, Bytes(3 * 1024 / 2, 1));
  const DatFileEntry small = builder.add_file(2, bytes_of("abc"), 1);
  builder.put_root(Node{{},
                        {{0, 1, big.offset, big.size, 1'000'000'000, 3},
                         {1, 2, small.offset, small.size, 0, 0}},
                        std::nullopt});
  TempDir dir;
  const auto archive = builder.write(dir / "long.dat");
  const ProcessResult result = run_tool({"ls", archive.string(), "-l"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const std::vector<std::string> lines = lines_of(result.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].starts_with("00000001  0x00000000  0x")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with("  1.5 KiB  2001-09-09T01:46:40Z  v3"))
      << lines[0];
  EXPECT_TRUE(
      lines[1].ends_with("      3 B  -                     v0  "
                         "compressed"))
      << lines[1];
  EXPECT_EQ(run_tool({"ls", archive.string(), "-l", "--json"}).exit_code, 2);
}

TEST_F(LsTest, TextListsEveryIdInAscendingOrderInAlignedLines) {
  const ProcessResult result = run_tool({"ls", archive_.string()});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  const std::vector<std::string> lines = lines_of(result.out);
  ASSERT_EQ(lines.size(), ids_.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    EXPECT_EQ(line.size(), lines.front().size()) << "misaligned: " << line;
    const std::string id = line.substr(0, 8);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos)
        << line;
    EXPECT_EQ(std::stoul(id, nullptr, 16), ids_[i]) << line;
  }
  EXPECT_EQ(lines.front().substr(0, 8), "00000000");
  EXPECT_EQ(lines.back().substr(0, 8), "FFFFFFFF");
}

TEST_F(LsTest, JsonLinesMatchTheDirectoryEntryForEntry) {
  run_text_ = run_tool({"ls", archive_.string()}).out;
  const ProcessResult result = run_tool({"ls", archive_.string(), "--json"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const auto db = DatDatabase::open(archive_);
  ASSERT_TRUE(db) << db.error();

  const std::vector<std::string> lines = lines_of(result.out);
  ASSERT_EQ(lines.size(), ids_.size());
  const std::vector<std::string> keys = {"id",      "id_hex",    "bit_flags",
                                         "offset",  "size",      "timestamp",
                                         "version", "compressed"};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto object = nlohmann::ordered_json::parse(lines[i]);
    std::vector<std::string> seen;
    for (const auto& [key, value] : object.items()) seen.push_back(key);
    ASSERT_EQ(seen, keys) << lines[i];

    const DatFileEntry* entry = db->files().find(ids_[i]);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(object["id"], entry->id);
    // The same id as the text form prints it.
    EXPECT_EQ(object["id_hex"], lines_of(run_text_)[i].substr(0, 8));
    EXPECT_EQ(object["bit_flags"], entry->bit_flags);
    EXPECT_EQ(object["offset"], entry->offset);
    EXPECT_EQ(object["size"], entry->size);
    EXPECT_EQ(object["timestamp"], entry->timestamp);
    EXPECT_EQ(object["version"], entry->version);
    ASSERT_TRUE(object["compressed"].is_boolean());
    // Only bit 0 counts: flags 2 is not compressed, flags 3 is.
    EXPECT_EQ(object["compressed"], (entry->bit_flags & 1) != 0) << lines[i];
  }
}

TEST(LsEmptyDirectoryTest, PrintsNothingAndSucceeds) {
  TempDir dir;
  const auto archive = ArchiveBuilder().write(dir / "empty.dat");
  for (const char* form : {"", "--json"}) {
    std::vector<std::string> args = {"ls", archive.string()};
    if (*form != '\0') args.push_back(form);
    const ProcessResult result = run_tool(args);
    EXPECT_EQ(result.exit_code, 0) << form << result.err;
    EXPECT_EQ(result.out, "") << form;
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
