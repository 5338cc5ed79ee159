#include "edit_summary.h"

#include <fmt/format.h>

#include <cstdio>
#include <string>

#include "error_text.h"
#include "output.h"

namespace quillstone_dat::tool {

ExitStatus commit_and_report(DatEditor& editor, const std::string& archive) {
  const auto summary = editor.commit();
  if (!summary)
    return report_error(summary.error(), ErrorScene::write(archive));
  return report_commit(*summary, archive);
}

ExitStatus report_commit(const CommitSummary& summary,
                         const std::string& archive) {
  if (summary.free_list_discarded) {
    std::fputs(plain_line(archive,
                          "warning: the free list could not be "
                          "trusted and was not used (" +
                              summary.free_list_problem + ")")
                   .c_str(),
               stderr);
  }
  std::string report = fmt::format(
      "{}: {} added, {} replaced, {} removed; blocks: {} reused, {} "
      "appended, {} freed\n",
      archive, summary.added, summary.replaced, summary.removed,
      summary.blocks_reused, summary.blocks_appended, summary.blocks_freed);
  // Small edits append; say when the space they leave behind adds up.
  if (summary.free_blocks > 0 &&
      summary.free_blocks * 4 >= summary.archive_blocks) {
    report += fmt::format(
        "{}: {} of {} blocks are free; compact gives them back, add "
        "--reuse-free-blocks fills them\n",
        archive, summary.free_blocks, summary.archive_blocks);
  }
  return write_stdout(report);
}

}  // namespace quillstone_dat::tool
