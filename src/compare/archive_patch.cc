#include "quillstone_dat/archive_patch.h"

#include <algorithm>
#include <map>
#include <optional>

#include "compare/header_fields.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/dat_writer.h"
#include "utils/shown_numbers.h"

namespace quillstone_dat {

namespace {

// What an archive holds under an id: nothing, or an entry and the
// checksum of its stored bytes.
struct Held {
  DatFileEntry entry;
  Checksum checksum;
};

// The entry fields that are content, the offset aside.
bool same_fields(const DatFileEntry& a, const DatFileEntry& b) {
  return a.bit_flags == b.bit_flags && a.size == b.size &&
         a.timestamp == b.timestamp && a.version == b.version;
}

// What `held` differs from `expected` in, for a message: "its stored
// bytes, timestamp".
std::string differences(const Held& held, const DatFileEntry& expected,
                        const Checksum& checksum) {
  std::vector<std::string_view> what;
  if (held.entry.size != expected.size || held.checksum != checksum) {
    what.push_back("stored bytes");
  }
  if (held.entry.bit_flags != expected.bit_flags) what.push_back("bit flags");
  if (held.entry.timestamp != expected.timestamp) what.push_back("timestamp");
  if (held.entry.version != expected.version) what.push_back("version");
  std::string text = "its ";
  for (std::size_t i = 0; i < what.size(); ++i) {
    if (i > 0) text += ", ";
    text += what[i];
  }
  return text;
}

// Every id the patch touches, sorted.
std::vector<std::uint32_t> touched_ids(const ArchivePatch& patch) {
  std::vector<std::uint32_t> ids = patch.removals;
  for (const PatchedFile& put : patch.puts) ids.push_back(put.entry.id);
  std::ranges::sort(ids);
  const auto repeated = std::ranges::unique(ids);
  ids.erase(repeated.begin(), repeated.end());
  return ids;
}

// What `archive` holds under `ids`, read in one raw pass.
DatResult<std::map<std::uint32_t, Held>> held_under(
    const DatDatabase& archive, const std::vector<std::uint32_t>& ids) {
  std::vector<std::uint32_t> present;
  for (const std::uint32_t id : ids) {
    if (archive.files().contains(id)) present.push_back(id);
  }
  std::map<std::uint32_t, Held> held;
  std::optional<DatError> failure;
  archive.for_each_file(
      FileSelection::of(std::move(present)), {.raw = true},
      [&](const BatchFile& file) {
        if (!file.bytes) {
          failure = file.bytes.error();
          return BatchStep::kStop;
        }
        held[file.id] = {*file.entry, checksum_of(*file.bytes)};
        return BatchStep::kContinue;
      });
  if (failure) return std::unexpected(std::move(*failure));
  return held;
}

DatError not_the_base(const std::string& why) {
  return DatError::other("not the patch's base: " + why);
}

}  // namespace

DatResult<ArchivePatch> make_patch(const ArchiveComparison& comparison,
                                   const DatHeader& old_header,
                                   const DatHeader& new_header) {
  ArchivePatch patch;
  for (const FileDifference& file : comparison.files) {
    for (const auto* side : {&file.old_file, &file.new_file}) {
      if (*side && !(*side)->stored) {
        return std::unexpected((*side)->stored.error());
      }
    }
    if (file.old_file) {
      patch.base_files.push_back(
          {file.old_file->entry, *file.old_file->stored});
    }
    if (!file.new_file) {
      patch.removals.push_back(file.id);
      continue;
    }
    const bool bytes_changed = file.change == FileChange::kAdded ||
                               file.what.has(FileAspect::kContents) ||
                               file.what.has(FileAspect::kStorage);
    patch.puts.push_back(
        {file.new_file->entry, *file.new_file->stored, bytes_changed});
  }
  for (const std::string_view name : comparison.header) {
    patch.header_fields.emplace_back(name);
  }
  patch.header = new_header;
  patch.base_header = old_header;
  return patch;
}

DatResult<void> check_patch_base(const DatDatabase& archive,
                                 const ArchivePatch& patch) {
  const std::vector<std::uint32_t> ids = touched_ids(patch);
  auto held = held_under(archive, ids);
  if (!held) return std::unexpected(std::move(held.error()));
  std::map<std::uint32_t, const BaseFile*> base;
  for (const BaseFile& file : patch.base_files) base[file.entry.id] = &file;
  std::map<std::uint32_t, const PatchedFile*> puts;
  for (const PatchedFile& put : patch.puts) puts[put.entry.id] = &put;

  // The first thing that is not as the base has it, and whether
  // everything is as the patch leaves it.
  std::optional<std::string> mismatch;
  bool applied = true;
  for (const std::string& name : patch.header_fields) {
    if (!same_header_field(archive.header(), patch.base_header, name) &&
        !mismatch) {
      mismatch = "the header's " + name + " differs";
    }
    applied =
        applied && same_header_field(archive.header(), patch.header, name);
  }
  for (const std::uint32_t id : ids) {
    const auto found = held->find(id);
    const Held* const now = found == held->end() ? nullptr : &found->second;
    const auto expected = base.find(id);
    if (!mismatch) {
      if (expected == base.end() && now != nullptr) {
        mismatch =
            "the archive holds file " + shown_id(id) + ", which the patch adds";
      } else if (expected != base.end() && now == nullptr) {
        mismatch = "the archive has no file " + shown_id(id);
      } else if (now != nullptr &&
                 (!same_fields(now->entry, expected->second->entry) ||
                  now->checksum != expected->second->checksum)) {
        mismatch = "file " + shown_id(id) + " differs in " +
                   differences(*now, expected->second->entry,
                               expected->second->checksum);
      }
    }
    const auto put = puts.find(id);
    applied =
        applied &&
        (put == puts.end()
             ? now == nullptr
             : now != nullptr && same_fields(now->entry, put->second->entry) &&
                   now->checksum == put->second->checksum);
  }
  if (!mismatch) return {};
  if (applied) {
    return std::unexpected(not_the_base(
        "it looks already patched: every file and header field the patch "
        "changes is as the patch leaves it"));
  }
  return std::unexpected(not_the_base(*mismatch));
}

DatResult<CommitSummary> apply_patch(DatEditor& editor,
                                     const DatDatabase& archive,
                                     const ArchivePatch& patch,
                                     const CarriedBytes& carried,
                                     const ApplyOptions& options) {
  if (options.check_base) {
    if (auto checked = check_patch_base(archive, patch); !checked) {
      return std::unexpected(std::move(checked.error()));
    }
  }
  if (!patch.header_fields.empty()) {
    DatHeader target = archive.header();
    for (const std::string& name : patch.header_fields) {
      if (!copy_header_field(patch.header, target, name)) {
        return std::unexpected(DatError::other("the patch sets '" + name +
                                               "', which is no header field"));
      }
    }
    if (auto set = editor.set_header_fields(WriterOptions::from_header(target));
        !set) {
      return std::unexpected(std::move(set.error()));
    }
  }
  for (const PatchedFile& put : patch.puts) {
    const std::uint32_t id = put.entry.id;
    ContentsReader contents{.size = put.entry.size, .read = {}};
    if (put.carried) {
      contents.read = [&carried,
                       put]() -> DatResult<std::vector<std::uint8_t>> {
        auto bytes = carried(put);
        if (bytes && (bytes->size() != put.entry.size ||
                      checksum_of(*bytes) != put.checksum)) {
          return std::unexpected(DatError::other(
              "file " + shown_id(put.entry.id) +
              " of the patch is not the one it lists: its bytes differ"));
        }
        return bytes;
      };
    } else if (archive.files().contains(id)) {
      contents.read = [&archive, id] { return archive.get_stored(id); };
    } else {
      return std::unexpected(
          DatError::other("the patch keeps the stored bytes of file " +
                          shown_id(id) + ", which the archive does not hold"));
    }
    auto staged = editor.put({.id = id,
                              .contents = std::move(contents),
                              .storage = Storage::kPreStored,
                              .bit_flags = put.entry.bit_flags,
                              .timestamp = put.entry.timestamp,
                              .version = put.entry.version});
    if (!staged) return std::unexpected(std::move(staged.error()));
  }
  for (const std::uint32_t id : patch.removals) {
    if (!editor.contains(id)) continue;  // only without the check
    if (auto removed = editor.remove(id); !removed) {
      return std::unexpected(std::move(removed.error()));
    }
  }
  return editor.commit();
}

}  // namespace quillstone_dat
