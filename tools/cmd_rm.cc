// `rm ARCHIVE ID|RANGE... [--ids-from FILE]`: removes files from an archive
// in place, in one commit. Ids and ranges the archive lacks are reported
// and the others are still removed.

#include <CLI/CLI.hpp>
#include <string>

#include "arguments.h"
#include "command.h"
#include "edit_summary.h"
#include "error_text.h"
#include "id_selection.h"
#include "quillstone_dat/dat_editor.h"

namespace quillstone_dat::tool {
namespace {

class RmCommand final : public Command {
 public:
  std::string_view name() const override { return "rm"; }
  std::string_view summary() const override {
    return "Remove files from an archive in place";
  }
  std::string_view synopsis() const override {
    return "ARCHIVE ID|RANGE... [--ids-from FILE]";
  }
  std::string_view details() const override {
    return "The archive changes in one commit: after a crash or power loss "
           "it holds the old\nfiles or the new ones, never a mix. The space "
           "freed is used again by later edits;\ncompact gives it back.\n";
  }
  std::string_view example() const override {
    return "  quillstone-dat rm portal.dat 06000001\n"
           "  quillstone-dat rm portal.dat 06000000-06FFFFFF\n";
  }

  void configure(CLI::App& parser) override {
    add_archive_argument(parser, archive_, "Path of the archive to change");
    selection_.configure(parser, "Ids or ranges (06000000-06FFFFFF) to remove");
  }

  ExitStatus run() const override {
    if (selection_.empty()) {
      return report_failure(archive_, "no ids given: name the files to remove");
    }
    auto editor = DatEditor::open(archive_);
    if (!editor)
      return report_error(editor.error(), ErrorScene::open(archive_));
    const IdSelection::Match match = selection_.match(editor->files());
    for (const DatFileEntry& entry : match.entries) {
      if (auto removed = editor->remove(entry.id); !removed) {
        return report_error(removed.error(), ErrorScene::open(archive_));
      }
    }
    const ExitStatus committed = commit_and_report(*editor, archive_);
    report_missing(match.missing, archive_);
    return committed == ExitStatus::kSuccess && !match.missing.empty()
               ? ExitStatus::kFailure
               : committed;
  }

 private:
  std::string archive_;
  IdSelection selection_;
};

}  // namespace

std::unique_ptr<Command> make_rm_command() {
  return std::make_unique<RmCommand>();
}

}  // namespace quillstone_dat::tool
