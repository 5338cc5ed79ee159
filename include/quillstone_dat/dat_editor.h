// DatEditor changes an archive in place: it adds, replaces and removes
// files, writing only the new files' chains and the directory nodes on the
// way from each changed entry up to the root, so an edit costs in writes
// what it changes, not the archive's size.
//
// Changes are staged by put(), remove() and set_header_fields() and
// applied by commit(), by
// copy on write: new chains and nodes go only into blocks that nothing in
// the archive uses (free-list blocks proven unused, else appended at the
// end); once they are on stable storage, one 80-byte write of the header
// makes them the archive. A crash or power cut at any moment leaves either
// the archive as it was or the archive with the whole commit, never a mix;
// at worst, the blocks the commit had just let go are neither used nor on
// the free list. Blocks let go go on the free list afterwards.
//
// Proving a free list's blocks unused means following the next fields of
// every chain in the archive: a cost in the archive's size, not the
// edit's. So by default a commit appends, and takes the proof and the
// list's blocks only when its own new blocks come to a sixteenth of the
// archive or more (EditorOptions). A list never proven is never used;
// until a commit proves it, freed blocks are added at its front.
//
// The editor holds an exclusive flock(2) on the archive from open() until
// it is destroyed; a second editor fails at once. Readers take no lock.
// A DatDatabase opened before a commit keeps reading the archive as it was
// until a later commit reuses the blocks this one let go: readers should
// open the archive again after an edit.
//
// Archives of any writer can be edited, with chains in any order and at
// any offset. A directory that is not a sound B-tree (ids out of order or
// repeated, leaves at different depths) is rewritten whole, holding what a
// DatDatabase reads from it. A free list that cannot be trusted is left
// alone: the commit appends instead and starts a new list.

#ifndef QUILLSTONE_DAT_DAT_EDITOR_H_
#define QUILLSTONE_DAT_DAT_EDITOR_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/dat_writer.h"
#include "quillstone_dat/error.h"
#include "quillstone_dat/lrs.h"
#include "quillstone_dat/writable_file.h"
#include "quillstone_dat/writer_file.h"

namespace quillstone_dat {

// What a commit changed.
struct CommitSummary {
  std::uint32_t added = 0;     // files whose id was not in the archive
  std::uint32_t replaced = 0;  // files put over an existing id
  std::uint32_t removed = 0;
  std::uint64_t blocks_reused = 0;    // taken from the free list
  std::uint64_t blocks_appended = 0;  // added at the end of the file
  std::uint64_t blocks_freed = 0;     // put on the free list afterwards
  // Blocks the commit let go that could not go on the free list: shared
  // with a chain still in use, laid out unlike the list's blocks, or left
  // out because writing the list failed after the commit. They stay unused.
  std::uint64_t blocks_leaked = 0;
  // The header's free list could not be trusted; the commit did not use
  // it, and the archive's list now holds only the blocks this commit
  // freed. `free_list_problem` says what was wrong with it.
  bool free_list_discarded = false;
  std::string free_list_problem;
  // The directory was not a sound B-tree and was written anew.
  bool directory_rebuilt = false;
  // After the commit: blocks on the free list, and blocks the archive's
  // length holds. Their ratio is the share of the archive that is free.
  std::uint64_t free_blocks = 0;
  std::uint64_t archive_blocks = 0;
};

// When a commit takes blocks from the free list rather than appending.
enum class FreeBlockReuse {
  // When the commit's new chains need at least a sixteenth of the blocks
  // the archive holds: following every chain then costs no more than a
  // few times what the commit writes.
  kWhenWorthwhile,
  // Always: open() follows every chain and each commit uses the list's
  // blocks before the file grows.
  kAlways,
  // Never: new chains are appended; blocks let go still join the list.
  kNever,
};

struct EditorOptions {
  FreeBlockReuse free_block_reuse = FreeBlockReuse::kWhenWorthwhile;
  // How hard files put as kCompressed or kSmallest are compressed.
  LrsLevel level = LrsLevel::kDefault;
};

class DatEditor {
 public:
  // Opens the archive at `path` for editing: reads its header and
  // directory. PathError when the file cannot be opened for reading and
  // writing; Other when another editor holds it; the reader's errors when
  // it is not an archive; Other for a block size under
  // DatWriter::kMinBlockSize.
  static DatResult<DatEditor> open(const std::filesystem::path& path,
                                   EditorOptions options = {});

  // The same over `file`, a WritableFile of the caller's (an archive in
  // memory, say, or a disk that simulates power cuts). The caller keeps
  // other editors off it: only the path overload takes the lock.
  static DatResult<DatEditor> open(std::shared_ptr<WritableFile> file,
                                   EditorOptions options = {});

  DatEditor(DatEditor&&) noexcept;
  DatEditor& operator=(DatEditor&&) noexcept;
  DatEditor(const DatEditor&) = delete;
  DatEditor& operator=(const DatEditor&) = delete;
  ~DatEditor();

  // The archive's entries as of the last commit (or open), sorted by id;
  // staged changes are not in them.
  std::vector<DatFileEntry> files() const;
  bool contains(std::uint32_t id) const;

  // Stages `file` for the next commit, stored as its Storage asks (as
  // DatWriter stores it). A file put over an id already in the archive
  // replaces it; put twice, the last one counts. Contents given by path
  // are read at commit.
  DatResult<void> put(WriterFile file);

  // Stages the removal of `id`; NotFound when neither the archive nor the
  // staged files hold it.
  DatResult<void> remove(std::uint32_t id);

  // Stages, for the next commit, the header fields that `fields` carries
  // and a writer takes as given (magic, dataset, subset, ...): the header
  // write that makes the commit writes them too. Other when
  // fields.block_size is not the archive's: blocks are not resized in
  // place.
  DatResult<void> set_header_fields(const WriterOptions& fields);

  // Applies the staged changes, as described above. On failure (the disk
  // full or failing, a file to put unreadable, the archive passing 4 GiB)
  // the archive is as it was, the error says why, and the changes stay
  // staged for another try. A commit with nothing staged writes nothing.
  DatResult<CommitSummary> commit();

 private:
  class State;
  explicit DatEditor(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_DAT_EDITOR_H_
