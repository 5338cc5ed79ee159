// ArchivePatch is the difference between two archives as changes to the
// first, its base: files to put (their entries, and stored bytes that the
// patch carries or that the base already holds), files to remove, header
// fields to set; and what the base holds under every id and header field
// the patch touches, so that it applies only to that base, as a binary
// patch applies only to the file it was made from.
//
// make_patch() makes one from a comparison; check_patch_base() tells
// whether an archive is its base; apply_patch() puts it into an archive
// through a DatEditor in one commit, so that after a crash the archive is
// the base or the patched archive, never a mix. The tool keeps a patch as
// a folder (docs/format.md describes its patch.json).

#ifndef QUILLSTONE_DAT_ARCHIVE_PATCH_H_
#define QUILLSTONE_DAT_ARCHIVE_PATCH_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "quillstone_dat/archive_compare.h"
#include "quillstone_dat/checksum.h"
#include "quillstone_dat/dat_editor.h"
#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/error.h"

namespace quillstone_dat {

class DatDatabase;

// A file the patch puts, and a file the base holds, both by their entry's
// fields (the offset is layout and not kept) and the checksum of their
// stored bytes.
struct PatchedFile {
  DatFileEntry entry;  // size: of the stored bytes; offset: unused
  Checksum checksum;
  // The patch carries the stored bytes; otherwise they are the base's,
  // kept, and only the entry's other fields change.
  bool carried = true;
};

struct BaseFile {
  DatFileEntry entry;  // offset: unused
  Checksum checksum;
};

struct ArchivePatch {
  std::vector<PatchedFile> puts;        // sorted by id
  std::vector<std::uint32_t> removals;  // sorted
  // The base's files under the ids the patch touches; a touched id not
  // here is one the base does not hold. Sorted by id.
  std::vector<BaseFile> base_files;
  // The header fields to set, named as for_each_header_field names them:
  // from `header`, over the values `base_header` gives them.
  std::vector<std::string> header_fields;
  DatHeader header;
  DatHeader base_header;
};

// The patch that turns the old archive of `comparison` into the new one,
// whose headers are `old_header` and `new_header`. The comparison must
// have compared storage and metadata (not contents_only); one made of some
// ids gives a patch of those. Fails with the read error of a file that
// could not be read.
DatResult<ArchivePatch> make_patch(const ArchiveComparison& comparison,
                                   const DatHeader& old_header,
                                   const DatHeader& new_header);

// Whether `archive` holds what the patch's base holds under every id and
// header field the patch touches. Other naming the first file or field
// that differs, or saying that the patch looks applied already when the
// archive holds what the patch would leave; the read error of a touched
// file that cannot be read.
DatResult<void> check_patch_base(const DatDatabase& archive,
                                 const ArchivePatch& patch);

// The stored bytes that the patch carries for a file.
using CarriedBytes =
    std::function<DatResult<std::vector<std::uint8_t>>(const PatchedFile&)>;

struct ApplyOptions {
  // Refuse an archive that is not the patch's base. Without the check, the
  // patch's files are put and its header fields set whatever the archive
  // holds, and removals of ids it lacks are passed over.
  bool check_base = true;
};

// Applies `patch` to the archive that `editor` edits and `archive` reads
// (opened after the editor, which holds the archive's lock), in one
// commit of the editor. Carried bytes come from `carried` and are checked
// against their size and checksum before anything is written. Fails, the
// archive unchanged, as check_patch_base, DatEditor::commit or `carried`
// fail. The staged changes read through `carried` and `archive`: after a
// failure the editor is not to commit again.
DatResult<CommitSummary> apply_patch(DatEditor& editor,
                                     const DatDatabase& archive,
                                     const ArchivePatch& patch,
                                     const CarriedBytes& carried,
                                     const ApplyOptions& options = {});

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_ARCHIVE_PATCH_H_
