#include "diff_bench.h"

#include <system_error>
#include <vector>

#include "payloads.h"
#include "quillstone_dat/archive_compare.h"
#include "quillstone_dat/archive_patch.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/dat_editor.h"
#include "read_bench.h"
#include "timing.h"

namespace quillstone_dat::bench {

namespace fs = std::filesystem;

namespace {

// Ten files spread through the ids, given new bytes as the edit figures
// give them.
std::vector<WriterFile> ten_files(const DatDatabase& archive) {
  const std::vector<std::uint32_t> ids = archive.files().sorted_ids();
  std::vector<WriterFile> files;
  for (std::size_t i = 0; i < 10 && !ids.empty(); ++i) {
    const std::uint32_t id = ids[i * ids.size() / 10];
    WriterFile file;
    file.id = id;
    file.contents = replacement_bytes(id);
    files.push_back(std::move(file));
  }
  return files;
}

DatResult<CommitSummary> put_and_commit(const fs::path& path,
                                        const std::vector<WriterFile>& files) {
  auto editor = DatEditor::open(path);
  if (!editor) return std::unexpected(editor.error());
  for (const WriterFile& file : files) {
    if (auto put = editor->put(file); !put) {
      return std::unexpected(put.error());
    }
  }
  return editor->commit();
}

DatResult<CommitSummary> open_and_apply(const fs::path& path,
                                        const ArchivePatch& patch,
                                        const DatDatabase& source) {
  auto editor = DatEditor::open(path);
  if (!editor) return std::unexpected(editor.error());
  auto archive = DatDatabase::open(path);
  if (!archive) return std::unexpected(archive.error());
  const CarriedBytes carried = [&](const PatchedFile& put) {
    return source.get_stored(put.entry.id);
  };
  return apply_patch(*editor, *archive, patch, carried);
}

}  // namespace

DiffFigures measure_diff(const fs::path& bulk, const fs::path& scratch,
                         int runs) {
  DiffFigures figures;
  std::error_code error;
  fs::create_directories(scratch, error);
  const fs::path changed = scratch / "changed.dat";
  const fs::path target = scratch / "target.dat";
  const auto fail = [&](std::string why) {
    figures.failure = std::move(why);
    fs::remove_all(scratch, error);
    return figures;
  };
  const auto fresh_copy = [&](const fs::path& copy) {
    fs::copy_file(bulk, copy, fs::copy_options::overwrite_existing, error);
    return !error;
  };

  auto base = DatDatabase::open(bulk);
  if (!base) return fail("cannot open bulk: " + base.error().message());
  const std::vector<WriterFile> files = ten_files(*base);
  if (!fresh_copy(changed)) return fail("cannot copy bulk: " + error.message());
  if (auto edited = put_and_commit(changed, files); !edited) {
    return fail("edit: " + edited.error().message());
  }
  auto version = DatDatabase::open(changed);
  if (!version) return fail("cannot open the copy");

  std::vector<double> diff_ms, batch_ms, diff_ratio, one_thread_ratio;
  ArchiveComparison comparison;
  for (int run = 0; run < runs; ++run) {
    const double batch = seconds_of([&] { batch_read_every_file(*base); });
    const double diff =
        seconds_of([&] { comparison = compare_archives(*base, *version); });
    if (comparison.files.size() != files.size()) {
      return fail("the comparison found " +
                  std::to_string(comparison.files.size()) + " files, not 10");
    }
    const double one_thread = seconds_of([&] {
      (void)compare_archives(*base, *version, {.concurrent = false});
    });
    batch_ms.push_back(1e3 * batch);
    diff_ms.push_back(1e3 * diff);
    diff_ratio.push_back(diff / batch);
    one_thread_ratio.push_back(one_thread / batch);
  }
  const auto patch = make_patch(comparison, base->header(), version->header());
  if (!patch) return fail("make_patch: " + patch.error().message());

  std::vector<double> apply_ms, edit_ms, apply_ratio;
  for (int run = 0; run < runs; ++run) {
    // Each on a fresh copy, its copying and flushing left out of the time.
    if (!fresh_copy(target)) return fail("cannot copy bulk");
    DatResult<CommitSummary> applied = std::unexpected(DatError::other(""));
    const double apply =
        seconds_of([&] { applied = open_and_apply(target, *patch, *version); });
    if (!applied) return fail("apply: " + applied.error().message());
    if (!fresh_copy(target)) return fail("cannot copy bulk");
    DatResult<CommitSummary> edited = std::unexpected(DatError::other(""));
    const double edit =
        seconds_of([&] { edited = put_and_commit(target, files); });
    if (!edited) return fail("edit: " + edited.error().message());
    apply_ms.push_back(1e3 * apply);
    edit_ms.push_back(1e3 * edit);
    apply_ratio.push_back(apply / edit);
  }
  figures.diff_vs_batch = median(diff_ratio);
  figures.one_thread_vs_batch = median(one_thread_ratio);
  figures.diff_ms = median(diff_ms);
  figures.batch_ms = median(batch_ms);
  figures.apply_vs_edit = median(apply_ratio);
  figures.apply_ms = median(apply_ms);
  figures.edit_ms = median(edit_ms);
  fs::remove_all(scratch, error);
  return figures;
}

}  // namespace quillstone_dat::bench
