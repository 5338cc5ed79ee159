// The cost of one commit as the archive grows: DatEditor opening a copy of
// an archive, then one commit replacing 10 files spread through its ids,
// each timed apart, in process. Run on bulk and on bulk8 in one run, so
// that their ratio says how a commit's cost grows with the archive.

#ifndef QUILLSTONE_DAT_BENCH_EDIT_BENCH_H_
#define QUILLSTONE_DAT_BENCH_EDIT_BENCH_H_

#include <filesystem>
#include <string>

namespace quillstone_dat::bench {

struct EditFigures {
  double open_ms = 0;    // medians over the runs
  double commit_ms = 0;  // puts and commit, census not taken
  std::string failure;   // empty when measured
};

// Edits a copy of `archive` made in `scratch` (removed at the end), `runs`
// times, each by a new editor.
EditFigures measure_edit(const std::filesystem::path& archive,
                         const std::filesystem::path& scratch, int runs);

}  // namespace quillstone_dat::bench

#endif  // QUILLSTONE_DAT_BENCH_EDIT_BENCH_H_
