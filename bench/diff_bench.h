// The comparison and the patch on bulk: compare_archives of bulk against a
// copy of it with 10 files replaced, against one for_each_file pass over
// bulk, the two alternating in one run; and apply_patch of the patch
// between them onto a fresh copy of bulk, against the same 10 files put
// and committed by a DatEditor on another fresh copy. All in process, each
// figure the median of the per-pair ratios.

#ifndef QUILLSTONE_DAT_BENCH_DIFF_BENCH_H_
#define QUILLSTONE_DAT_BENCH_DIFF_BENCH_H_

#include <filesystem>
#include <string>

namespace quillstone_dat::bench {

struct DiffFigures {
  double diff_vs_batch = 0;        // compare_archives over the batch pass
  double one_thread_vs_batch = 0;  // the same, the archives read in turn
  double diff_ms = 0;              // medians of the sides
  double batch_ms = 0;
  double apply_vs_edit = 0;  // apply_patch over the editor's 10 puts
  double apply_ms = 0;       // editor and database opened, base checked
  double edit_ms = 0;        // editor opened, 10 puts, commit
  std::string failure;       // empty when measured
};

// Works in `scratch` (removed at the end), `runs` pairs of each.
DiffFigures measure_diff(const std::filesystem::path& bulk,
                         const std::filesystem::path& scratch, int runs);

}  // namespace quillstone_dat::bench

#endif  // QUILLSTONE_DAT_BENCH_DIFF_BENCH_H_
