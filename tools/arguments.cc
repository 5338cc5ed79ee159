#include "arguments.h"

#include <CLI/CLI.hpp>

namespace quillstone_dat::tool {

CLI::Option* add_archive_argument(CLI::App& parser, std::string& path,
                                  std::string_view help) {
  return parser.add_option("ARCHIVE", path, std::string(help))
      ->required()
      ->type_name("PATH");
}

CLI::Option* add_compress_option(CLI::App& parser, std::string& mode) {
  return parser
      .add_option("--compress", mode,
                  "none: store as given; all: LRS-compress every file; "
                  "auto: compress where that is smaller")
      ->capture_default_str()
      ->check(CLI::IsMember({"none", "all", "auto"}));
}

}  // namespace quillstone_dat::tool
