// Helpers shared by the editor's tests and its fuzz target: archives
// written by DatWriter, an archive's contents as a map, and the damage the
// integrity check finds in it.

#ifndef QUILLSTONE_DAT_TESTS_EDITOR_EDIT_SUPPORT_H_
#define QUILLSTONE_DAT_TESTS_EDITOR_EDIT_SUPPORT_H_

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "quillstone_dat/dat_writer.h"
#include "quillstone_dat/error.h"
#include "support/archive_builder.h"

namespace quillstone_dat::testing {

// File id to the bytes get_file returns.
using Contents = std::map<std::uint32_t, Bytes>;

WriterFile writer_file(std::uint32_t id, Bytes bytes,
                       Storage storage = Storage::kPlain);

// `files` written by DatWriter with blocks of `block_size`, as bytes.
Bytes writer_archive(const Contents& files, std::uint32_t block_size);

// Every file of the archive, fetched; the error of the open or of the
// first fetch that fails.
DatResult<Contents> contents_of(std::span<const std::uint8_t> image);

// What the integrity check finds wrong with the archive besides leaked
// blocks, one line a problem (the open's error, if it fails).
std::vector<std::string> damage_of(std::span<const std::uint8_t> image);

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_EDITOR_EDIT_SUPPORT_H_
