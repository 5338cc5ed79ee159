// `quillstone-dat info`: every header field, the directory summary, and
// both output forms; the header alone when the directory is damaged.

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/tool_process.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {
namespace {

// Every header field, then the directory summary.
std::vector<std::string> info_field_names() {
  std::vector<std::string> names(kHeaderFieldNames.begin(),
                                 kHeaderFieldNames.end());
  names.insert(names.end(),
               {"entry_count", "compressed_count", "stored_bytes"});
  return names;
}

// The version_string below: zero bytes kept, lower-case hex.
constexpr const char* kVersionHex = "00017f80abff000076310000000000cd";

class InfoTest : public ::testing::Test {
 protected:
  // A header with a distinct value in every field and a directory of four
  // entries, two of them compressed (bit_flags 1 and 3, not 2), whose
  // sizes add up past 32 bits. info reads no file data, so the entries
  // need not point at real chains.
  void SetUp() override {
    ArchiveBuilder builder;
    DatHeader& h = builder.header();
    h.magic = 0x00005442;
    h.file_size = 123456;
    h.dataset = 1;
    h.subset = 2;
    h.free_head = 0x1000;
    h.free_tail = 0x2000;
    h.free_count = 7;
    h.new_lru = 9;
    h.old_lru = 10;
    h.use_lru = 11;
    h.master_map_id = 12;
    h.engine_version = 13;
    h.game_version = 14;
    h.version_string = {0x00, 0x01, 0x7f, 0x80, 0xab, 0xff, 0, 0,
                        'v',  '1',  0,    0,    0,    0,    0, 0xcd};
    h.version_minor = 0xFFFFFFFF;
    builder.put_root(Node{{},
                          {{1, 10, 0, 0xF0000000, 0, 0},
                           {3, 11, 0, 0xF0000000, 0, 0},
                           {2, 12, 0, 5, 0, 0},
                           {0, 13, 0, 6, 0, 0}},
                          std::nullopt});
    archive_ = builder.write(dir_ / "info.dat");
  }

  TempDir dir_;
  std::filesystem::path archive_;
};

TEST_F(InfoTest, JsonHasEveryFieldInOrderWithItsValue) {
  const ProcessResult result = run_tool({"info", archive_.string(), "--json"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  const auto object = nlohmann::ordered_json::parse(result.out);
  ASSERT_TRUE(object.is_object());
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.items()) {
    keys.push_back(key);
    if (key != "version_string") {
      EXPECT_TRUE(value.is_number_unsigned()) << key;
    }
  }
  EXPECT_EQ(keys, info_field_names());
  EXPECT_EQ(object["magic"], 0x5442);
  EXPECT_EQ(object["block_size"], 256);
  EXPECT_EQ(object["free_tail"], 0x2000);
  EXPECT_EQ(object["game_version"], 14);
  EXPECT_EQ(object["version_minor"], 0xFFFFFFFFu);
  EXPECT_EQ(object["version_string"], kVersionHex);
  EXPECT_EQ(object["entry_count"], 4);
  EXPECT_EQ(object["compressed_count"], 2);
  EXPECT_EQ(object["stored_bytes"], 2 * 0xF0000000ull + 11);
}

TEST_F(InfoTest, TextIsOneAlignedLinePerField) {
  const ProcessResult result = run_tool({"info", archive_.string()});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::istringstream lines(result.out);
  std::string line;
  std::vector<std::string> names;
  std::map<std::string, std::string> values;
  std::size_t value_column = 0;
  while (std::getline(lines, line)) {
    const std::size_t colon = line.find(':');
    ASSERT_NE(colon, std::string::npos) << line;
    const std::size_t value_start = line.find_first_not_of(' ', colon + 1);
    if (names.empty()) value_column = value_start;
    EXPECT_EQ(value_start, value_column) << "misaligned: " << line;
    names.push_back(line.substr(0, colon));
    values[names.back()] = line.substr(value_start);
  }
  EXPECT_EQ(names, info_field_names());
  EXPECT_EQ(values["block_size"], "256");
  EXPECT_EQ(values["version_string"], kVersionHex);
  EXPECT_EQ(values["version_minor"], "4294967295");
  EXPECT_NE(values["root_offset"].find("0x"), std::string::npos);
  EXPECT_EQ(values["stored_bytes"], std::to_string(2 * 0xF0000000ull + 11));
}

TEST(InfoEmptyDirectoryTest, RootOffsetZeroCountsNothing) {
  TempDir dir;
  const auto archive = ArchiveBuilder().write(dir / "empty.dat");
  const ProcessResult result = run_tool({"info", archive.string(), "--json"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const auto object = nlohmann::json::parse(result.out);
  EXPECT_EQ(object["root_offset"], 0);
  EXPECT_EQ(object["entry_count"], 0);
  EXPECT_EQ(object["compressed_count"], 0);
  EXPECT_EQ(object["stored_bytes"], 0);
  EXPECT_EQ(object["version_string"], std::string(32, '0'));
}

TEST(InfoDamagedTest, ShowsTheHeaderThenTheDirectorysFailure) {
  ArchiveBuilder builder;
  builder.header().game_version = 77;
  builder.header().root_offset = 0x00100000;  // past the end
  TempDir dir;
  const std::string archive = builder.write(dir / "damaged.dat").string();

  const ProcessResult text = run_tool({"info", archive});
  EXPECT_EQ(text.exit_code, 1);
  EXPECT_NE(text.out.find("game_version:   77\n"), std::string::npos)
      << text.out;
  EXPECT_EQ(text.out.find("entry_count"), std::string::npos) << text.out;
  const std::string failure =
      "not a DAT archive, or truncated: directory node at 0x00100000 lies "
      "past the end of the 400-byte file";
  EXPECT_EQ(text.err, "quillstone-dat: " + archive + ": " + failure + "\n");

  const ProcessResult json = run_tool({"info", archive, "--json"});
  EXPECT_EQ(json.exit_code, 1);
  const auto object = nlohmann::json::parse(json.out);
  EXPECT_EQ(object["game_version"], 77);
  EXPECT_EQ(object["error"], failure);
  EXPECT_FALSE(object.contains("entry_count"));
}

}  // namespace
}  // namespace quillstone_dat::testing
