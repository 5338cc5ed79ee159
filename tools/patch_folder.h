// A patch folder on disk, as `diff --patch` writes it and `apply` reads
// it: patch.json (patch_json.h) and, for every file whose stored bytes the
// patch carries, those bytes in a file named as `extract --raw` names it.
// A folder that disagrees with its patch.json is refused before anything
// is written, as pack refuses a folder that disagrees with its manifest.

#ifndef QUILLSTONE_DAT_TOOLS_PATCH_FOLDER_H_
#define QUILLSTONE_DAT_TOOLS_PATCH_FOLDER_H_

#include <expected>
#include <filesystem>

#include "command.h"
#include "patch_json.h"
#include "quillstone_dat/archive_patch.h"
#include "quillstone_dat/dat_database.h"

namespace quillstone_dat::tool {

// Writes `patch` as the folder `folder`, the carried bytes read from
// `source` (the archive at `source_path`, the patch's new archive). The
// folder is filled under a hidden name beside it and renamed into place
// when complete; a folder already there is replaced only when `replace`.
// kFailure, with the failure reported and nothing left, when it fails.
ExitStatus write_patch_folder(const std::filesystem::path& folder,
                              const ArchivePatch& patch,
                              const DatDatabase& source,
                              const std::filesystem::path& source_path,
                              bool replace);

// The patch of `folder`, once its files are found to be those patch.json
// lists, each of the size it gives; otherwise kFailure, reported.
std::expected<PatchDocument, ExitStatus> read_patch_folder(
    const std::filesystem::path& folder);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_PATCH_FOLDER_H_
