// `apply ARCHIVE DIR [--force] [--reuse-free-blocks]`: puts the patch
// folder that `diff OLD NEW --patch DIR` wrote into ARCHIVE, in one commit.
// ARCHIVE must be the patch's base, OLD as far as the patch touches it;
// otherwise the first file or header field that differs is named and
// nothing changes, unless --force. The folder must hold exactly the files
// its patch.json lists, and is checked before anything is written.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <string>

#include "arguments.h"
#include "command.h"
#include "edit_summary.h"
#include "error_text.h"
#include "input_folder.h"
#include "patch_folder.h"
#include "quillstone_dat/archive_patch.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/dat_editor.h"

namespace quillstone_dat::tool {
namespace {

namespace fs = std::filesystem;

class ApplyCommand final : public Command {
 public:
  std::string_view name() const override { return "apply"; }
  std::string_view summary() const override {
    return "Put a patch folder that diff --patch wrote into an archive, in "
           "one commit";
  }
  std::string_view synopsis() const override {
    return "ARCHIVE DIR [--force] [--reuse-free-blocks]";
  }
  std::string_view details() const override {
    return "ARCHIVE must hold what the patch's base held under every id and "
           "header field the\npatch changes; otherwise apply names the "
           "first that differs, or says the patch\nlooks already applied, "
           "and changes nothing. --force applies it anyway. The\narchive "
           "changes in one commit: after a crash or power loss it is the "
           "old archive\nor the patched one, never a mix.\n";
  }
  std::string_view example() const override {
    return "  quillstone-dat apply my-copy-of-v1.dat v1-to-v2\n"
           "  (v1-to-v2 made by: quillstone-dat diff v1.dat v2.dat --patch "
           "v1-to-v2)\n";
  }

  void configure(CLI::App& parser) override {
    add_archive_argument(parser, archive_, "Path of the archive to patch");
    parser.add_option("DIR", folder_, "The patch folder")
        ->required()
        ->type_name("PATH");
    parser.add_flag("--force,-f", force_,
                    "Apply even to an archive that is not the patch's base");
    parser.add_flag("--reuse-free-blocks", reuse_free_blocks_,
                    "Fill the free list's blocks before growing the archive, "
                    "reading every chain first");
  }

  ExitStatus run() const override {
    auto document = read_patch_folder(folder_);
    if (!document) return document.error();
    const ArchivePatch& patch = document->patch;

    // The editor first: it holds the archive's lock while the base is
    // checked and the patch applied.
    auto editor = DatEditor::open(
        archive_, {reuse_free_blocks_ ? FreeBlockReuse::kAlways
                                      : FreeBlockReuse::kWhenWorthwhile});
    if (!editor)
      return report_error(editor.error(), ErrorScene::open(archive_));
    const auto archive = DatDatabase::open(archive_);
    if (!archive) {
      return report_error(archive.error(), ErrorScene::open(archive_));
    }
    if (!force_) {
      if (auto checked = check_patch_base(*archive, patch); !checked) {
        if (checked.error().kind() != DatError::Kind::kOther) {
          return report_error(checked.error(), ErrorScene::read(archive_));
        }
        return report_failure(
            archive_, checked.error().message() +
                          "; nothing was changed (--force applies the patch "
                          "anyway)");
      }
    }
    const CarriedBytes carried = [&](const PatchedFile& put) {
      return read_whole_file(fs::path(folder_) /
                             document->files.at(put.entry.id));
    };
    const auto summary =
        apply_patch(*editor, *archive, patch, carried, {.check_base = false});
    if (!summary) {
      // A path error names a file of the folder that could not be read.
      const fs::path* const failed = summary.error().path();
      return report_error(summary.error(), failed != nullptr
                                               ? ErrorScene::input(*failed)
                                               : ErrorScene::write(archive_));
    }
    return report_commit(*summary, archive_);
  }

 private:
  std::string archive_;
  std::string folder_;
  bool force_ = false;
  bool reuse_free_blocks_ = false;
};

}  // namespace

std::unique_ptr<Command> make_apply_command() {
  return std::make_unique<ApplyCommand>();
}

}  // namespace quillstone_dat::tool
