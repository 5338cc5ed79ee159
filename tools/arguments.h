// Command-line arguments that several commands declare alike.

#ifndef QUILLSTONE_DAT_TOOLS_ARGUMENTS_H_
#define QUILLSTONE_DAT_TOOLS_ARGUMENTS_H_

#include <string>
#include <string_view>

#include "quillstone_dat/lrs.h"
#include "quillstone_dat/writer_file.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace quillstone_dat::tool {

// The required positional ARCHIVE, a path, bound to `path`.
CLI::Option* add_archive_argument(CLI::App& parser, std::string& path,
                                  std::string_view help);

// --compress none|all|auto, bound to `mode` (storage_of() reads it).
CLI::Option* add_compress_option(CLI::App& parser, std::string& mode);
// --compress none|all|auto as the writer's Storage.
Storage storage_of(std::string_view mode);

// --level fast|default|best, bound to `level` (level_of() reads it).
CLI::Option* add_level_option(CLI::App& parser, std::string& level);
LrsLevel level_of(std::string_view level);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_ARGUMENTS_H_
