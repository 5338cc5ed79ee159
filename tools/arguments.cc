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

Storage storage_of(std::string_view mode) {
  if (mode == "all") return Storage::kCompressed;
  if (mode == "auto") return Storage::kSmallest;
  return Storage::kPlain;
}

CLI::Option* add_level_option(CLI::App& parser, std::string& level) {
  return parser
      .add_option("--level", level,
                  "How hard to compress: fast, default, or best (smallest, "
                  "and slowest by far)")
      ->capture_default_str()
      ->check(CLI::IsMember({"fast", "default", "best"}));
}

LrsLevel level_of(std::string_view level) {
  if (level == "fast") return LrsLevel::kFast;
  if (level == "best") return LrsLevel::kBest;
  return LrsLevel::kDefault;
}

}  // namespace quillstone_dat::tool
