// End-to-end tests of resource_provider_fixtures: the executable is run with
// QUILLSTONE_PORTAL_DAT naming archives built for each edge case of the
// retail case, and its report is read back.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "quillstone_dat/portal_dat_path.h"
#include "support/archive_builder.h"
#include "support/lines.h"
#include "support/subprocess.h"

namespace {

namespace fs = std::filesystem;
using quillstone_dat::DatFileEntry;
using quillstone_dat::testing::ArchiveBuilder;
using quillstone_dat::testing::build_archive;
using quillstone_dat::testing::Bytes;
using quillstone_dat::testing::bytes_of;
using quillstone_dat::testing::last_line;
using quillstone_dat::testing::lines_of;
using quillstone_dat::testing::lrs_literals;
using quillstone_dat::testing::Node;
using quillstone_dat::testing::ProcessOptions;
using quillstone_dat::testing::ProcessResult;
using quillstone_dat::testing::run_process;
using quillstone_dat::testing::TempDir;
using quillstone_dat::testing::TestFile;
using quillstone_dat::testing::write_bytes;

constexpr std::string_view kSkipLine =
    "Skipping test: QUILLSTONE_PORTAL_DAT not set and fallback not found";
constexpr std::string_view kRetailResultOk =
    "test test_retail_dat_provider ... ok";
constexpr std::string_view kAllPassed = "result: 4 passed, 0 failed, 0 skipped";

// Runs the executable with QUILLSTONE_PORTAL_DAT set to `archive`, or
// removed when there is none.
ProcessResult fixtures(const std::optional<std::string>& archive,
                       std::vector<std::string> args = {"--show-output"}) {
  args.insert(args.begin(), FIXTURES_BINARY);
  ProcessOptions options;
  options.environment["QUILLSTONE_PORTAL_DAT"] = archive;
  return run_process(args, options);
}

// The retail case's block in the failure section: its captured output, the
// check's location and the message.
std::string retail_failure(const std::string& report) {
  const std::string header = "\n---- test_retail_dat_provider stdout ----\n";
  const std::size_t start = report.find(header);
  if (start == std::string::npos) return "";
  const std::size_t end = report.find("\n\nfailures:\n", start);
  return report.substr(start + header.size(),
                       end == std::string::npos ? std::string::npos
                                                : end - start - header.size());
}

// The ids of the "Found file IDs: [...]" line, which must be well formed.
std::optional<std::vector<std::uint32_t>> found_ids(const std::string& report) {
  static const std::regex line(
      R"(^Found file IDs: \[((?:[0-9A-F]{8}(?:, [0-9A-F]{8})*)?)\]$)");
  for (const std::string& text : lines_of(report)) {
    std::smatch match;
    if (!std::regex_match(text, match, line)) continue;
    std::vector<std::uint32_t> ids;
    const std::string list = match[1];
    for (std::size_t at = 0; at < list.size(); at += 10) {
      ids.push_back(static_cast<std::uint32_t>(
          std::stoul(list.substr(at, 8), nullptr, 16)));
    }
    return ids;
  }
  return std::nullopt;
}

// The 1-based line where the check call holding `piece` starts in the
// retail case's source: a failed check reports the place of its call.
std::size_t check_line_of(std::string_view piece) {
  std::ifstream source(std::string(QUILLSTONE_DAT_SOURCE_DIR) +
                       "/tests/resource_provider_fixtures.cc");
  std::size_t call_start = 0;
  std::string line;
  for (std::size_t number = 1; std::getline(source, line); ++number) {
    if (line.find("runner::") != std::string::npos) call_start = number;
    if (line.find(piece) != std::string::npos) return call_start;
  }
  return 0;
}

// Asserts that the run failed in the retail case alone, at the check
// holding `check_text` in the source, with a message starting `message`.
void expect_retail_failure(const ProcessResult& run,
                           std::string_view check_text,
                           std::string_view message) {
  EXPECT_EQ(run.exit_code, 1) << run.out;
  EXPECT_EQ(last_line(run.out), "result: 3 passed, 1 failed, 0 skipped");
  EXPECT_NE(run.out.find("test test_retail_dat_provider ... FAILED\n"),
            std::string::npos);
  const std::string block = retail_failure(run.out);
  const std::string location = "tests/resource_provider_fixtures.cc:" +
                               std::to_string(check_line_of(check_text)) + ":";
  const std::size_t at = block.find(location);
  ASSERT_NE(at, std::string::npos) << block;
  const std::size_t message_start = block.find(":\n", at) + 2;
  EXPECT_EQ(block.substr(message_start, message.size()), message) << block;
}

fs::path write_archive(const TempDir& dir, const Bytes& image) {
  return write_bytes(dir / "portal.dat", image);
}

TEST(FixturesSkipPath, PassesWithTheSkipLineWhenNoArchiveIsFound) {
  // The fallback lies beside the sources; should a real archive be there,
  // the case takes the full path instead.
  const bool fallback_exists = fs::exists(quillstone_dat::package_directory() /
                                          "../../" / "dats/portal.dat");
  for (const std::optional<std::string>& value :
       {std::optional<std::string>(), std::optional<std::string>(""),
        std::optional<std::string>("/nonexistent/portal.dat")}) {
    const ProcessResult run = fixtures(value);
    EXPECT_EQ(run.exit_code, 0) << run.out;
    EXPECT_EQ(last_line(run.out), kAllPassed);
    EXPECT_NE(run.out.find(kRetailResultOk), std::string::npos);
    if (fallback_exists) {
      EXPECT_TRUE(found_ids(run.out).has_value()) << run.out;
    } else {
      // Shown among the passing cases' output, not as an ignored case.
      EXPECT_NE(run.out.find("---- test_retail_dat_provider stdout ----\n" +
                             std::string(kSkipLine) + "\n"),
                std::string::npos)
          << run.out;
      EXPECT_EQ(run.out.find("ignored"), std::string::npos);
    }
  }
  if (!fallback_exists) {
    // Captured: a passing case's output stays hidden unless asked for.
    const ProcessResult quiet = fixtures(std::nullopt, {});
    EXPECT_EQ(quiet.exit_code, 0);
    EXPECT_EQ(quiet.out.find("Skipping test"), std::string::npos);
    const ProcessResult through = fixtures(std::nullopt, {"--nocapture"});
    EXPECT_NE(through.out.find(std::string(kSkipLine) + "\n"),
              std::string::npos);
  }
}

TEST(FixturesFullPath, PassesOnAWellFormedArchive) {
  const TempDir dir;
  std::vector<TestFile> files;
  std::set<std::uint32_t> ids;
  for (std::uint32_t i = 0; i < 80; ++i) {
    const std::uint32_t id = 0x0E000000u + i * 7;
    ids.insert(id);
    const Bytes data = bytes_of("file " + std::to_string(i));
    files.push_back(i % 2 == 0 ? TestFile{id, lrs_literals(data), 1}
                               : TestFile{id, data});
  }
  const ProcessResult run =
      fixtures(write_archive(dir, build_archive(files)).string());
  EXPECT_EQ(run.exit_code, 0) << run.out;
  EXPECT_EQ(last_line(run.out), kAllPassed);
  const std::optional<std::vector<std::uint32_t>> shown = found_ids(run.out);
  ASSERT_TRUE(shown.has_value()) << run.out;
  EXPECT_EQ(shown->size(), 5u);
  for (const std::uint32_t id : *shown) EXPECT_TRUE(ids.contains(id)) << id;
  EXPECT_EQ(std::set<std::uint32_t>(shown->begin(), shown->end()).size(), 5u);
}

TEST(FixturesFullPath, ListsEveryIdOfASmallArchive) {
  const TempDir dir;
  const std::vector<TestFile> files = {
      {0x00000001, bytes_of("one")},
      {0x0000001A, bytes_of("twenty-six")},
      {0xFFFFFFFF, bytes_of("last")},
  };
  const ProcessResult run =
      fixtures(write_archive(dir, build_archive(files)).string());
  EXPECT_EQ(run.exit_code, 0) << run.out;
  const std::optional<std::vector<std::uint32_t>> shown = found_ids(run.out);
  ASSERT_TRUE(shown.has_value()) << run.out;
  EXPECT_EQ(std::multiset<std::uint32_t>(shown->begin(), shown->end()),
            (std::multiset<std::uint32_t>{0x00000001, 0x0000001A, 0xFFFFFFFF}));
  EXPECT_NE(run.out.find("0000001A"), std::string::npos);
  EXPECT_NE(run.out.find("FFFFFFFF"), std::string::npos);
}

TEST(FixturesFailures, EmptyDirectoryPrintsAnEmptyListThenFails) {
  const TempDir dir;
  const ProcessResult run =
      fixtures(write_archive(dir, build_archive({})).string());
  expect_retail_failure(run, "Database should not be empty",
                        "Database should not be empty");
  EXPECT_TRUE(
      retail_failure(run.out).starts_with("Found file IDs: []\nfailed at "))
      << run.out;
}

TEST(FixturesFailures, ArchiveTooShortForTheHeaderFailsToOpen) {
  for (const std::size_t length :
       {std::size_t{0}, std::size_t{100}, std::size_t{399}}) {
    const TempDir dir;
    const ProcessResult run =
        fixtures(write_archive(dir, Bytes(length, 0xAB)).string());
    expect_retail_failure(run, "\"Failed to open portal.dat\"",
                          "Failed to open portal.dat: ");
    // Nothing was printed before the failure.
    EXPECT_TRUE(retail_failure(run.out).starts_with("failed at ")) << run.out;
  }
}

TEST(FixturesFailures, PathNamingAFolderFailsToOpen) {
  const TempDir dir;
  fs::create_directory(dir / "portal.dat");
  const ProcessResult run = fixtures((dir / "portal.dat").string());
  expect_retail_failure(run, "\"Failed to open portal.dat\"",
                        "Failed to open portal.dat: ");
}

TEST(FixturesFailures, EmptyFirstFileFails) {
  // Every file is empty, since which one comes first is not known.
  const TempDir dir;
  const std::vector<TestFile> files = {{0x100, {}}, {0x200, {}}, {0x300, {}}};
  const ProcessResult run =
      fixtures(write_archive(dir, build_archive(files)).string());
  expect_retail_failure(run, "Data should not be empty",
                        "Data should not be empty");
  const std::optional<std::vector<std::uint32_t>> shown = found_ids(run.out);
  ASSERT_TRUE(shown.has_value()) << run.out;
  EXPECT_EQ(shown->size(), 3u);
}

TEST(FixturesFailures, UnreadableFirstFileFails) {
  // Every entry's chain starts past the end of the archive.
  ArchiveBuilder builder;
  Node root;
  for (std::uint32_t id = 1; id <= 3; ++id) {
    root.entries.push_back(DatFileEntry{0, id, 0x00F00000u, 64, 0, 0});
  }
  builder.put_root(root);
  builder.header().file_size = builder.end();

  const TempDir dir;
  const ProcessResult run =
      fixtures(builder.write(dir / "portal.dat").string());
  expect_retail_failure(run, "\"Should be able to read data\"",
                        "Should be able to read data: ");
}

TEST(FixturesRunner, AFilterRunsTheRetailCaseAlone) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"test_retail_dat_provider"},
        std::vector<std::string>{"--exact", "test_retail_dat_provider"},
        std::vector<std::string>{"retail"}}) {
    const ProcessResult run = fixtures(std::nullopt, args);
    EXPECT_EQ(run.exit_code, 0) << run.out;
    EXPECT_EQ(lines_of(run.out),
              (std::vector<std::string>{
                  "running 1 case", std::string(kRetailResultOk), "",
                  "result: 1 passed, 0 failed, 3 skipped"}))
        << run.out;
  }
}

TEST(FixturesRunner, HoldsTheFourCasesInNameOrderAtTheirRealPlaces) {
  const ProcessResult list = fixtures(std::nullopt, {"--list"});
  EXPECT_EQ(list.exit_code, 0);
  EXPECT_EQ(lines_of(list.out),
            (std::vector<std::string>{
                "common::motion_command_names::tests::classify_known_commands",
                "common::motion_command_names::tests::lookup_known_commands",
                "common::motion_command_names::tests::"
                "table_is_strictly_sorted_for_binary_search",
                "test_retail_dat_provider"}));

  const ProcessResult places =
      fixtures(std::nullopt, {"--check-locations", QUILLSTONE_DAT_SOURCE_DIR});
  EXPECT_EQ(places.exit_code, 0) << places.out;
  EXPECT_EQ(last_line(places.out), "locations: 4 right, 0 wrong");
}

TEST(FixturesRunner, RunsTheCasesOnAnyNumberOfThreads) {
  for (const std::string threads : {"1", "2", "8"}) {
    const ProcessResult run =
        fixtures(std::nullopt, {"--test-threads", threads});
    EXPECT_EQ(run.exit_code, 0) << run.out;
    EXPECT_EQ(last_line(run.out), kAllPassed);
    for (const std::string_view name :
         {"classify_known_commands", "lookup_known_commands",
          "table_is_strictly_sorted_for_binary_search",
          "test_retail_dat_provider"}) {
      EXPECT_NE(run.out.find(std::string(name) + " ... ok\n"),
                std::string::npos)
          << name;
    }
  }
}

}  // namespace
