// `add ARCHIVE PATH... [--compress none|all|auto] [--level L] [--replace]`:
// puts files into an archive in place, in one commit: files named by an id, or
// folders of them as pack takes them. An id the archive already holds is
// replaced only with --replace, and that is checked for every file before
// anything is written.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <string>
#include <vector>

#include "arguments.h"
#include "command.h"
#include "edit_summary.h"
#include "error_text.h"
#include "file_id.h"
#include "input_folder.h"
#include "output.h"
#include "quillstone_dat/dat_editor.h"

namespace quillstone_dat::tool {
namespace {

namespace fs = std::filesystem;

class AddCommand final : public Command {
 public:
  std::string_view name() const override { return "add"; }
  std::string_view summary() const override {
    return "Add or replace files in an archive in place";
  }
  std::string_view synopsis() const override {
    return "ARCHIVE PATH... [--compress none|all|auto] "
           "[--level fast|default|best] [--replace] [--reuse-free-blocks]";
  }
  std::string_view details() const override {
    return "Each PATH is a file named by its id (0A000001 or 0A000001.bin) "
           "or a folder of such\nfiles. The archive changes in one commit: "
           "after a crash or power loss it holds\nthe old files or the new "
           "ones, never a mix. Readers should open it again after.\n\n"
           "New files go at the end of the archive unless they are large "
           "enough to pay for\nreading every chain, which proves the free "
           "list's blocks unused; then they fill\nthose first. "
           "--reuse-free-blocks always does.\n";
  }
  std::string_view example() const override {
    return "  quillstone-dat add portal.dat 06000001.bin\n"
           "  quillstone-dat add portal.dat new-textures --compress auto "
           "--replace\n";
  }

  void configure(CLI::App& parser) override {
    add_archive_argument(parser, archive_, "Path of the archive to change");
    parser.add_option("PATH", inputs_, "Files named by id, or folders of them")
        ->required()
        ->type_name("PATH");
    add_compress_option(parser, compress_);
    add_level_option(parser, level_);
    parser.add_flag("--replace", replace_,
                    "Replace files whose id the archive already holds");
    parser.add_flag("--reuse-free-blocks", reuse_free_blocks_,
                    "Fill the free list's blocks before growing the archive, "
                    "reading every chain first");
  }

  ExitStatus run() const override {
    InputListing listing;
    for (const std::string& input : inputs_) {
      std::error_code error;
      if (fs::is_directory(input, error)) {
        if (auto listed = list_folder(input, listing); !listed) {
          return report_error(listed.error(), ErrorScene::input(input));
        }
        continue;
      }
      const std::string name = fs::path(input).filename().string();
      const auto id = id_of_name(name);
      if (!fs::is_regular_file(input, error)) {
        return report_failure(input, "not a file or folder to add");
      }
      if (!id) {
        return report_failure(input,
                              "name is not a file id (like 0A000001 "
                              "or 0A000001.bin)");
      }
      listing.sources[*id].push_back({name, input});
    }
    if (report_duplicate_inputs(listing, archive_)) return ExitStatus::kFailure;
    for (const std::string& line : listing.skipped) {
      std::fputs(plain_line("warning", "skipping " + line).c_str(), stderr);
    }

    auto editor = DatEditor::open(
        archive_, {.free_block_reuse = reuse_free_blocks_
                                           ? FreeBlockReuse::kAlways
                                           : FreeBlockReuse::kWhenWorthwhile,
                   .level = level_of(level_)});
    if (!editor)
      return report_error(editor.error(), ErrorScene::open(archive_));
    if (!replace_) {
      for (const auto& [id, files] : listing.sources) {
        if (editor->contains(id)) {
          return report_failure(
              archive_, fmt::format("already holds file {}; pass --replace "
                                    "to replace it",
                                    shown_id(id)));
        }
      }
    }
    for (const auto& [id, files] : listing.sources) {
      if (auto put = editor->put({.id = id,
                                  .contents = files.front().path,
                                  .storage = storage_of(compress_)});
          !put) {
        return report_error(put.error(), ErrorScene::open(archive_));
      }
    }
    return commit_and_report(*editor, archive_);
  }

 private:
  std::string archive_;
  std::vector<std::string> inputs_;
  std::string compress_ = "none";
  std::string level_ = "default";
  bool replace_ = false;
  bool reuse_free_blocks_ = false;
};

}  // namespace

std::unique_ptr<Command> make_add_command() {
  return std::make_unique<AddCommand>();
}

}  // namespace quillstone_dat::tool
