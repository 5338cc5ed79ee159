// resource_provider_fixtures: checks the archive library end to end against
// the portal archive, and the motion command catalogue, under the fixture
// runner.

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/mod.h"
#include "common/motion_command_names.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/dat_file_entry.h"
#include "runner/check.h"
#include "runner/runner.h"
#include "runner/test_case.h"

namespace {

constexpr std::size_t kIdsShown = 5;

// "[00000001, 0000001A]": eight upper-case hex digits per id.
std::string id_list(std::span<const std::uint32_t> ids) {
  std::string text = "[";
  for (const std::uint32_t id : ids) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08X", static_cast<unsigned>(id));
    if (text.size() > 1) text += ", ";
    text += digits;
  }
  return text + "]";
}

// Opens the portal archive, shows its first ids in table order and reads the
// first file the table yields; with no archive on disk it passes with a
// notice. Locals go in reverse order: the bytes, the ids, then the database
// with its open file.
void test_retail_dat_provider() {
  const std::optional<std::filesystem::path> path =
      common::get_portal_dat_path();
  if (!path) {
    runner::out() << "Skipping test: QUILLSTONE_PORTAL_DAT not set and "
                     "fallback not found\n";
    return;
  }

  const quillstone_dat::DatDatabase db = runner::check_ok(
      quillstone_dat::DatDatabase::open(*path), "Failed to open portal.dat");

  std::vector<std::uint32_t> ids;
  for (const quillstone_dat::DatFileEntry& entry : db.files()) {
    if (ids.size() == kIdsShown) break;
    ids.push_back(entry.id);
  }
  runner::out() << "Found file IDs: " << id_list(ids) << "\n";

  if (db.files().empty()) runner::fail("Database should not be empty");
  const std::uint32_t first_id = db.files().begin()->id;

  runner::check(db.exists(first_id), "db.exists(first_id)");

  const std::vector<std::uint8_t> data =
      runner::check_ok(db.get_file(first_id), "Should be able to read data");
  if (data.empty()) runner::fail("Data should not be empty");
}

namespace catalogue = common::motion_command_names::tests;

// In ascending byte order of the names. The positions are checked against
// the sources by `--check-locations`.
constexpr std::array<runner::TestCase, 4> kCases = {
    runner::integration_case(
        "common::motion_command_names::tests::classify_known_commands",
        catalogue::kCaseSourcePath,
        catalogue::kClassifyKnownCommandsPosition.line,
        catalogue::kClassifyKnownCommandsPosition.column,
        catalogue::classify_known_commands),
    runner::integration_case(
        "common::motion_command_names::tests::lookup_known_commands",
        catalogue::kCaseSourcePath,
        catalogue::kLookupKnownCommandsPosition.line,
        catalogue::kLookupKnownCommandsPosition.column,
        catalogue::lookup_known_commands),
    runner::integration_case(
        "common::motion_command_names::tests::"
        "table_is_strictly_sorted_for_binary_search",
        catalogue::kCaseSourcePath,
        catalogue::kTableIsStrictlySortedPosition.line,
        catalogue::kTableIsStrictlySortedPosition.column,
        catalogue::table_is_strictly_sorted_for_binary_search),
    runner::integration_case("test_retail_dat_provider",
                             "tests/resource_provider_fixtures.cc", 42, 6,
                             test_retail_dat_provider),
};

}  // namespace

int main(int argc, char** argv) {
  return runner::run_cases(argc, argv, kCases);
}
