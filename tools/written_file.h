// Writing one file of a folder the tool fills (extract's files and
// manifest, a patch folder's): the file appears under its name only once
// complete (an unnamed file linked in, cheaper than a hidden name renamed
// over it), dated with an entry's timestamp. The data is left for the
// system to write back; a caller that needs it on disk flushes the folder's
// file system once at the end.

#ifndef QUILLSTONE_DAT_TOOLS_WRITTEN_FILE_H_
#define QUILLSTONE_DAT_TOOLS_WRITTEN_FILE_H_

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "quillstone_dat/error.h"

namespace quillstone_dat::tool {

// The name a file of the archive gets in such a folder: its id in eight
// upper-case hex digits, then ".bin".
std::string file_name_of(std::uint32_t id);

// Writes `bytes` as the file `target`, dated `timestamp` (seconds since
// 1970) unless that is 0. PathError naming `target`, or its folder when
// the file cannot be created.
DatResult<void> write_file(const std::filesystem::path& target,
                           std::span<const std::uint8_t> bytes,
                           std::uint32_t timestamp = 0);

DatResult<void> write_text_file(const std::filesystem::path& target,
                                std::string_view text);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_WRITTEN_FILE_H_
