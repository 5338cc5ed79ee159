#include "quillstone_dat/archive_compare.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <system_error>
#include <thread>

#include "compare/header_fields.h"
#include "quillstone_dat/dat_database.h"
#include "utils/joined_threads.h"

namespace quillstone_dat {

namespace {

// What one pass learned of an id in one archive.
struct Seen {
  DatFileEntry entry;
  Checksum stored;  // when read
  bool present = false;
  bool read = false;
};

bool same_stored(const Seen& a, const Seen& b) {
  return a.entry.size == b.entry.size && a.stored == b.stored &&
         a.entry.is_compressed() == b.entry.is_compressed();
}

// What the passes learned of one archive.
struct Side {
  explicit Side(const DatDatabase& a, std::size_t ids)
      : archive(a), seen(ids) {}

  const DatDatabase& archive;
  std::vector<Seen> seen;  // by index in the ids compared
  // Rare: the files that failed, and the decoded contents' checksums of
  // the compressed files whose stored bytes differ from the other side's.
  std::map<std::size_t, DatError> errors;
  std::map<std::size_t, Checksum> contents;

  // The checksum of the contents of file i: its stored bytes' when it is
  // not compressed, else the decoded ones'.
  Checksum contents_of(std::size_t i) const {
    return seen[i].entry.is_compressed() ? contents.at(i) : seen[i].stored;
  }

  FileSide file_side(std::size_t i) const {
    if (seen[i].read) return {seen[i].entry, seen[i].stored};
    return {seen[i].entry, std::unexpected(errors.at(i))};
  }
};

class Comparison {
 public:
  Comparison(const DatDatabase& old_archive, const DatDatabase& new_archive,
             const CompareOptions& options)
      : options_(options),
        ids_(ids_to_compare(old_archive, new_archive)),
        old_(old_archive, ids_.size()),
        new_(new_archive, ids_.size()) {}

  ArchiveComparison run() {
    {
      JoinedThreads second;
      if (options_.concurrent) {
        try {
          second.start([this] { read(new_); });
        } catch (const std::system_error&) {
          // No thread to be had: the archives are read in turn.
        }
      }
      read(old_);
      if (second.empty()) read(new_);
    }
    decode(old_);
    decode(new_);
    ArchiveComparison result;
    for (std::size_t i = 0; i < ids_.size(); ++i) {
      if (auto difference = difference_at(i)) {
        result.files.push_back(std::move(*difference));
      }
    }
    if (!options_.contents_only) {
      result.header =
          differing_given_fields(old_.archive.header(), new_.archive.header());
    }
    return result;
  }

 private:
  // Every id of either archive, or the listed ones either holds; sorted.
  std::vector<std::uint32_t> ids_to_compare(const DatDatabase& a,
                                            const DatDatabase& b) const {
    std::vector<std::uint32_t> ids;
    if (options_.files.is_all()) {
      std::ranges::set_union(a.files().sorted_ids(), b.files().sorted_ids(),
                             std::back_inserter(ids));
      return ids;
    }
    for (const std::uint32_t id : options_.files.ids()) {
      if (a.files().contains(id) || b.files().contains(id)) ids.push_back(id);
    }
    std::ranges::sort(ids);
    const auto repeated = std::ranges::unique(ids);
    ids.erase(repeated.begin(), repeated.end());
    return ids;
  }

  std::size_t index_of(std::uint32_t id) const {
    return static_cast<std::size_t>(std::ranges::lower_bound(ids_, id) -
                                    ids_.begin());
  }

  FileSelection selection_in(const DatDatabase& archive) const {
    if (options_.files.is_all()) return FileSelection::all();
    std::vector<std::uint32_t> held;
    for (const std::uint32_t id : ids_) {
      if (archive.files().contains(id)) held.push_back(id);
    }
    return FileSelection::of(std::move(held));
  }

  // The one raw pass over `side`'s archive. Touches nothing but `side`,
  // so that the two passes may run at once.
  void read(Side& side) const {
    side.archive.for_each_file(
        selection_in(side.archive), {.raw = true}, [&](const BatchFile& file) {
          const std::size_t i = index_of(file.id);
          Seen& seen = side.seen[i];
          seen.entry = *file.entry;
          seen.present = true;
          if (!file.bytes) {
            side.errors.insert_or_assign(i, file.bytes.error());
            return;
          }
          seen.read = true;
          seen.stored = checksum_of(*file.bytes);
        });
  }

  // Whether the contents of file i must be compared: both sides read, and
  // their stored bytes or compression flags differ.
  bool needs_contents(std::size_t i) const {
    const Seen& a = old_.seen[i];
    const Seen& b = new_.seen[i];
    return a.read && b.read && !same_stored(a, b);
  }

  // Decodes `side`'s compressed files whose contents must be compared, in
  // one more pass over just those.
  void decode(Side& side) const {
    std::vector<std::uint32_t> wanted;
    for (std::size_t i = 0; i < ids_.size(); ++i) {
      if (side.seen[i].entry.is_compressed() && needs_contents(i)) {
        wanted.push_back(ids_[i]);
      }
    }
    if (wanted.empty()) return;
    side.archive.for_each_file(
        FileSelection::of(std::move(wanted)), {}, [&](const BatchFile& file) {
          const std::size_t i = index_of(file.id);
          if (!file.bytes) {
            // Read once, failed now: the file is unreadable after all.
            side.seen[i].read = false;
            side.errors.insert_or_assign(i, file.bytes.error());
            return;
          }
          side.contents[i] = checksum_of(*file.bytes);
        });
  }

  std::optional<FileDifference> difference_at(std::size_t i) const {
    const Seen& before = old_.seen[i];
    const Seen& after = new_.seen[i];
    FileDifference difference;
    difference.id = ids_[i];
    if (before.present) difference.old_file = old_.file_side(i);
    if (after.present) difference.new_file = new_.file_side(i);
    if (!before.present) {
      difference.change = FileChange::kAdded;
      return difference;
    }
    if (!after.present) {
      difference.change = FileChange::kRemoved;
      return difference;
    }

    FileAspects& what = difference.what;
    if (!options_.contents_only) {
      if (before.entry.bit_flags != after.entry.bit_flags) {
        what.add(FileAspect::kBitFlags);
      }
      if (before.entry.timestamp != after.entry.timestamp) {
        what.add(FileAspect::kTimestamp);
      }
      if (before.entry.version != after.entry.version) {
        what.add(FileAspect::kVersion);
      }
    }
    if (!before.read || !after.read) {
      difference.change = FileChange::kUnreadable;
      return difference;
    }
    if (!same_stored(before, after)) {
      if (old_.contents_of(i) != new_.contents_of(i)) {
        what.add(FileAspect::kContents);
      } else if (!options_.contents_only) {
        what.add(FileAspect::kStorage);
      }
    }
    if (what.empty()) return std::nullopt;
    difference.change = FileChange::kChanged;
    return difference;
  }

  const CompareOptions& options_;
  const std::vector<std::uint32_t> ids_;
  Side old_;
  Side new_;
};

}  // namespace

std::string_view to_string(FileChange change) {
  switch (change) {
    case FileChange::kAdded:
      return "added";
    case FileChange::kRemoved:
      return "removed";
    case FileChange::kChanged:
      return "changed";
    case FileChange::kUnreadable:
      return "unreadable";
  }
  return "changed";
}

std::string_view to_string(FileAspect aspect) {
  switch (aspect) {
    case FileAspect::kContents:
      return "contents";
    case FileAspect::kStorage:
      return "storage";
    case FileAspect::kBitFlags:
      return "bit_flags";
    case FileAspect::kTimestamp:
      return "timestamp";
    case FileAspect::kVersion:
      return "version";
  }
  return "contents";
}

ArchiveComparison compare_archives(const DatDatabase& old_archive,
                                   const DatDatabase& new_archive,
                                   const CompareOptions& options) {
  return Comparison(old_archive, new_archive, options).run();
}

}  // namespace quillstone_dat
