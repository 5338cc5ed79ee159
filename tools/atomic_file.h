// Writing a whole file so that its final name never shows a part of it:
// the bytes go to a hidden temporary file beside the target, which is
// flushed to disk and only then renamed over the target. A failure removes
// the temporary file and leaves the target as it was.

#ifndef QUILLSTONE_DAT_TOOLS_ATOMIC_FILE_H_
#define QUILLSTONE_DAT_TOOLS_ATOMIC_FILE_H_

#include <cstdint>
#include <filesystem>
#include <span>

#include "quillstone_dat/error.h"

namespace quillstone_dat::tool {

// Replaces `target` with a file holding `bytes`; the temporary file is named
// ".<target's name>.tmp-<random>". Failures are PathError naming the file
// the failed call was about. Safe to call from several threads at once.
DatResult<void> write_file_atomically(const std::filesystem::path& target,
                                      std::span<const std::uint8_t> bytes);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_ATOMIC_FILE_H_
