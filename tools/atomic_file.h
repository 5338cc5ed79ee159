// Writing a whole file so that its final name never shows a part of it:
// the bytes go to a file beside the target that has no name (where the file
// system allows; a hidden temporary name elsewhere), which is flushed to
// disk and only then named and renamed over the target. A failure removes
// the file and leaves the target as it was.

#ifndef QUILLSTONE_DAT_TOOLS_ATOMIC_FILE_H_
#define QUILLSTONE_DAT_TOOLS_ATOMIC_FILE_H_

#include <cstdint>
#include <filesystem>
#include <span>

#include "quillstone_dat/error.h"

namespace quillstone_dat::tool {

// Replaces `target` with a file holding `bytes`; a temporary name is
// ".<target's name>.tmp-<random>". Failures are PathError naming the
// target, or its folder when no file could be made there. Safe to call from
// several threads at once.
DatResult<void> write_file_atomically(const std::filesystem::path& target,
                                      std::span<const std::uint8_t> bytes);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_ATOMIC_FILE_H_
