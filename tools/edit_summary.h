// Committing an editor's staged changes and telling the user what changed:
// shared by the commands that change an archive in place (add, rm,
// apply).

#ifndef QUILLSTONE_DAT_TOOLS_EDIT_SUMMARY_H_
#define QUILLSTONE_DAT_TOOLS_EDIT_SUMMARY_H_

#include <string>

#include "command.h"
#include "quillstone_dat/dat_editor.h"

namespace quillstone_dat::tool {

// Prints one line of what a commit changed on standard output, and a
// warning on standard error when the archive's free list could not be
// trusted.
ExitStatus report_commit(const CommitSummary& summary,
                         const std::string& archive);

// Commits and reports the commit; kFailure, with the error reported, when
// it fails.
ExitStatus commit_and_report(DatEditor& editor, const std::string& archive);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_EDIT_SUMMARY_H_
