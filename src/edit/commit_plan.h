// A commit planned in memory before anything is written: the new chains
// and directory nodes laid out in blocks nothing uses, the header that
// makes them the archive, and the chains the commit lets go. The editor
// then writes the batch, flushes it, writes the header, and frees what was
// let go; a failure up to the header's write leaves the archive as it was.

#ifndef QUILLSTONE_DAT_EDIT_COMMIT_PLAN_H_
#define QUILLSTONE_DAT_EDIT_COMMIT_PLAN_H_

#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <vector>

#include "edit/directory_tree.h"
#include "edit/space_census.h"
#include "edit/write_batch.h"
#include "format/chain_layout.h"
#include "format/free_list.h"
#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/error.h"
#include "quillstone_dat/writer_file.h"
#include "write/stored_form.h"

namespace quillstone_dat {

// What a commit puts and removes: files by id, each with its stored form
// (forms[i] for the i-th of puts in id order), and ids to remove.
struct StagedChanges {
  const std::map<std::uint32_t, WriterFile>& puts;
  std::span<const StoredForm> forms;
  const std::set<std::uint32_t>& removals;
};

// Where a commit may put new blocks: the first of `list` (proven unused, or
// empty), then from `append_point` on. `rewrite_list` puts the list left
// over in the new header; otherwise the header's list stays as it was.
struct BlockSource {
  const FreeList& list;
  std::uint64_t append_point = 0;
  bool rewrite_list = false;
};

struct CommitPlan {
  // A plan that writes nothing yet over the archive headed by `base`.
  explicit CommitPlan(const DatHeader& base)
      : batch(base.block_size), header(base) {}

  WriteBatch batch;
  DatHeader header;          // written last: the commit itself
  std::uint64_t length = 0;  // the file's length once the batch is written
  std::uint64_t append_point = 0;     // where the next commit appends
  std::vector<ByteRange> new_ranges;  // what the new chains hold
  std::vector<Chain> released;        // chains of entries and nodes let go
  std::size_t blocks_reused = 0;      // taken from the front of the list
  std::uint64_t blocks_appended = 0;
  std::uint32_t added = 0;
  std::uint32_t replaced = 0;
  std::uint32_t removed = 0;
};

// Plans `changes` against the archive headed by `header`, `length` bytes
// long, whose directory is `tree`. The tree is changed in place from a
// start_change() made here: the caller keeps the change once the commit is
// on disk, or rolls it back. Fails when the archive would pass 4 GiB.
DatResult<CommitPlan> plan_commit(const DatHeader& header, std::uint64_t length,
                                  const BlockSource& blocks,
                                  const StagedChanges& changes,
                                  DirectoryTree& tree);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_EDIT_COMMIT_PLAN_H_
