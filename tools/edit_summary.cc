#include "edit_summary.h"

#include <fmt/format.h>

#include <cstdio>

#include "error_text.h"
#include "output.h"

namespace quillstone_dat::tool {

ExitStatus commit_and_report(DatEditor& editor, const std::string& archive) {
  const auto summary = editor.commit();
  if (!summary)
    return report_error(summary.error(), ErrorScene::write(archive));
  if (summary->free_list_discarded) {
    std::fputs(plain_line(archive,
                          "warning: the free list could not be "
                          "trusted and was not used (" +
                              summary->free_list_problem + ")")
                   .c_str(),
               stderr);
  }
  return write_stdout(fmt::format(
      "{}: {} added, {} replaced, {} removed; blocks: {} reused, {} "
      "appended, {} freed\n",
      archive, summary->added, summary->replaced, summary->removed,
      summary->blocks_reused, summary->blocks_appended, summary->blocks_freed));
}

}  // namespace quillstone_dat::tool
