// Pairs of archives for the comparison's and the patch's tests: a base and
// a version of it with random adds, removes, content changes, changes of
// storage alone and of metadata alone, header changes, another layout and,
// when asked, damaged files on either side. Each archive is written from
// a model that says what every file is, so that a test can tell what a
// comparison must find without the code under test.

#ifndef QUILLSTONE_DAT_TESTS_EDITOR_ARCHIVE_PAIRS_H_
#define QUILLSTONE_DAT_TESTS_EDITOR_ARCHIVE_PAIRS_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quillstone_dat/archive_compare.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/dat_writer.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {

struct ModelFile {
  Bytes contents;  // what get_file returns
  Bytes stored;    // the stored bytes: contents, or an LRS payload of them
  std::uint32_t bit_flags = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t version = 0;
  // Its chain is broken in the archive: it cannot be read.
  bool damaged = false;
};

struct ArchiveModel {
  WriterOptions options;
  std::map<std::uint32_t, ModelFile> files;
};

struct ArchivePair {
  ArchiveModel old_model;
  ArchiveModel new_model;
};

// The pair made from `seed`; with `damage`, one to three files broken on
// either side.
ArchivePair random_pair(std::uint32_t seed, bool damage);

// Writes the archive `model` describes to `path`, its damaged files'
// chains broken and its LRU fields set at random from `seed` (layout, not
// content, so no comparison may see them).
void write_model(const ArchiveModel& model, const std::filesystem::path& path,
                 std::uint32_t seed);

// random_pair(seed, damage) written to old.dat and new.dat in a scratch
// folder, and opened.
struct WrittenPair {
  WrittenPair(std::uint32_t seed, bool damage);

  TempDir dir;
  ArchivePair pair;
  std::filesystem::path old_path;
  std::filesystem::path new_path;
  std::optional<DatDatabase> old_archive;
  std::optional<DatDatabase> new_archive;
};

// A difference as compare_archives reports it, in a form tests compare.
struct Expected {
  std::uint32_t id = 0;
  FileChange change = FileChange::kChanged;
  std::vector<std::string> what{};  // aspect names, in display order
  bool unreadable = false;

  friend bool operator==(const Expected&, const Expected&) = default;
};

// What a comparison of the two models must report, file by file; only
// `ids` when given.
std::vector<Expected> expected_differences(
    const ArchivePair& pair, bool contents_only,
    const std::vector<std::uint32_t>* ids = nullptr);

// The header fields in which the two models differ.
std::vector<std::string> expected_header(const ArchivePair& pair);

// A comparison's files in that form.
std::vector<Expected> reported(const ArchiveComparison& comparison);

std::string describe(const std::vector<Expected>& differences);

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_EDITOR_ARCHIVE_PAIRS_H_
