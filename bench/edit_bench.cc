#include "edit_bench.h"

#include <system_error>
#include <vector>

#include "payloads.h"
#include "quillstone_dat/dat_editor.h"
#include "timing.h"

namespace quillstone_dat::bench {

namespace fs = std::filesystem;

EditFigures measure_edit(const fs::path& archive, const fs::path& scratch,
                         int runs) {
  EditFigures figures;
  std::error_code error;
  fs::create_directories(scratch, error);
  const fs::path copy = scratch / "edited.dat";
  fs::copy_file(archive, copy, fs::copy_options::overwrite_existing, error);
  if (error) {
    figures.failure =
        "cannot copy " + archive.string() + ": " + error.message();
    return figures;
  }
  std::vector<double> open_ms, commit_ms;
  for (int run = 0; run < runs && figures.failure.empty(); ++run) {
    DatResult<DatEditor> editor = std::unexpected(DatError::other(""));
    open_ms.push_back(1e3 *
                      seconds_of([&] { editor = DatEditor::open(copy); }));
    if (!editor) {
      figures.failure = "cannot open: " + editor.error().message();
      break;
    }
    const std::vector<DatFileEntry> entries = editor->files();
    DatResult<CommitSummary> committed = std::unexpected(DatError::other(""));
    commit_ms.push_back(
        1e3 * seconds_of([&] {
          for (std::size_t i = 0; i < 10; ++i) {
            const std::uint32_t id = entries[i * entries.size() / 10].id;
            (void)editor->put({.id = id,
                               .contents = replacement_bytes(
                                   id, static_cast<std::uint32_t>(run))});
          }
          committed = editor->commit();
        }));
    if (!committed) figures.failure = "commit: " + committed.error().message();
  }
  figures.open_ms = median(open_ms);
  figures.commit_ms = median(commit_ms);
  fs::remove_all(scratch, error);
  return figures;
}

}  // namespace quillstone_dat::bench
