// compare_archives tells what differs between two opened archives: for
// every id that either holds and that differs, whether the file was added,
// removed or changed, and what changed; and which header fields differ.
//
// Only what an archive holds counts: each file's contents (the bytes
// get_file returns), its storage (the stored bytes and compression flag,
// when the contents are equal), its bit flags, timestamp and version, and
// the header fields a writer takes as given (magic, dataset, subset,
// master_map_id, engine_version, game_version, version_string,
// version_minor). Layout does not: two archives with other block sizes,
// offsets, chains, file_size, root_offset, free lists or LRU fields
// compare equal when they hold the same.
//
// Each archive is read once, in one batch pass in archive order, raw; the
// stored bytes are compared by size and checksum (checksum.h), so a
// comparison holds one file of each archive at a time. Where the stored
// bytes or the compression flags differ and a side is compressed, that
// side's file is read again and decoded, once, to tell a change of
// contents from one of storage. A
// file that cannot be read on either side is reported as unreadable (or,
// added or removed, with its error), never as equal.

#ifndef QUILLSTONE_DAT_ARCHIVE_COMPARE_H_
#define QUILLSTONE_DAT_ARCHIVE_COMPARE_H_

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "quillstone_dat/batch_read.h"
#include "quillstone_dat/checksum.h"
#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/error.h"

namespace quillstone_dat {

class DatDatabase;

enum class FileChange : std::uint8_t {
  kAdded,       // only the new archive holds the id
  kRemoved,     // only the old one does
  kChanged,     // both do, and what differs is known
  kUnreadable,  // both do, and one side's bytes could not be read
};

// One thing that can differ in a file both archives hold.
enum class FileAspect : std::uint8_t {
  kContents = 1 << 0,  // the bytes get_file returns
  kStorage = 1 << 1,   // stored bytes or compression flag; contents equal
  kBitFlags = 1 << 2,
  kTimestamp = 1 << 3,
  kVersion = 1 << 4,
};

// Every aspect, in the order they are shown.
inline constexpr FileAspect kFileAspects[] = {
    FileAspect::kContents, FileAspect::kStorage, FileAspect::kBitFlags,
    FileAspect::kTimestamp, FileAspect::kVersion};

// A set of FileAspect.
class FileAspects {
 public:
  bool has(FileAspect aspect) const {
    return (bits_ & static_cast<std::uint8_t>(aspect)) != 0;
  }
  bool empty() const { return bits_ == 0; }
  void add(FileAspect aspect) { bits_ |= static_cast<std::uint8_t>(aspect); }

  friend bool operator==(FileAspects, FileAspects) = default;

 private:
  std::uint8_t bits_ = 0;
};

// "added", "removed", "changed", "unreadable".
std::string_view to_string(FileChange change);
// "contents", "storage", "bit_flags", "timestamp", "version".
std::string_view to_string(FileAspect aspect);

// One archive's side of a differing file: its entry, and the checksum of
// its stored bytes or the error reading them gave.
struct FileSide {
  DatFileEntry entry;
  DatResult<Checksum> stored;
};

struct FileDifference {
  std::uint32_t id = 0;
  FileChange change = FileChange::kChanged;
  // What differs: for kChanged, never empty; for kUnreadable, the entry
  // fields that differ (contents and storage being unknown).
  FileAspects what{};
  std::optional<FileSide> old_file{};  // none when added
  std::optional<FileSide> new_file{};  // none when removed

  // Whether either side's bytes could not be read.
  bool unreadable() const {
    return (old_file && !old_file->stored) || (new_file && !new_file->stored);
  }
};

struct ArchiveComparison {
  std::vector<FileDifference> files;  // sorted by id
  // The header fields that differ, in on-disk order, named as
  // for_each_header_field names them.
  std::vector<std::string_view> header;

  bool same() const { return files.empty() && header.empty(); }
};

struct CompareOptions {
  // The ids to compare: every id of either archive, or a list; a listed id
  // that neither archive holds is passed over.
  FileSelection files{};
  // Only contents count: storage, bit flags, timestamps, versions and the
  // header are not compared.
  bool contents_only = false;
  // Read the two archives at once, the new one on a thread of its own:
  // where two cores are free, a comparison then takes about the time one
  // archive takes to read. Off, they are read one after the other.
  bool concurrent = true;
};

ArchiveComparison compare_archives(const DatDatabase& old_archive,
                                   const DatDatabase& new_archive,
                                   const CompareOptions& options = {});

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_ARCHIVE_COMPARE_H_
