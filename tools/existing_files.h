// The one overwrite rule of the commands that write files (pack, sample,
// extract): a file already there is replaced only with --force, and that is
// checked for every file the command will write before it writes any.

#ifndef QUILLSTONE_DAT_TOOLS_EXISTING_FILES_H_
#define QUILLSTONE_DAT_TOOLS_EXISTING_FILES_H_

#include <filesystem>
#include <optional>
#include <span>
#include <string_view>

#include "command.h"

namespace quillstone_dat::tool {

// True when something has that name: a file, a folder, even a dangling
// symbolic link.
bool name_taken(const std::filesystem::path& path);

// The first of `targets` whose name is taken.
std::optional<std::filesystem::path> first_taken(
    std::span<const std::filesystem::path> targets);

// Reports that `path` exists, with `hint` on what would let the command
// go on; returns kFailure.
ExitStatus report_taken(const std::filesystem::path& path,
                        std::string_view hint = "pass --force to replace it");

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_EXISTING_FILES_H_
