// The free list: whole blocks that no file or directory node uses, chained
// through their next fields. The header's free_head is the first block,
// free_tail the last and free_count their number; an empty list is 0, 0, 0.
// The last block's next field is never followed: free_count ends the list.
//
// All blocks of a list lie at one offset modulo the block size, after the
// header and inside the file. A list that breaks any of this was written
// by someone else, or was damaged, and is not to be trusted.
//
// This is the one place that reads and changes the list: it is walked and
// checked here, its blocks taken from the front (for new chains) and freed
// chains linked in ahead of it. Whether a block is in use by a live chain
// is the caller's to know and is passed in.

#ifndef QUILLSTONE_DAT_FORMAT_FREE_LIST_H_
#define QUILLSTONE_DAT_FORMAT_FREE_LIST_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "format/chain_layout.h"
#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/file_ext_polyfill.h"
#include "quillstone_dat/io_error.h"
#include "quillstone_dat/writable_file.h"

namespace quillstone_dat {

struct FreeList {
  std::vector<std::uint32_t> blocks;  // in list order
  std::vector<std::uint32_t> links;   // the next field each block holds

  bool empty() const { return blocks.empty(); }

  // The header's free_head, free_tail and free_count for what is left of
  // the list once its first `taken` blocks are used.
  void describe_rest(std::size_t taken, DatHeader& header) const;
  // Forgets the first `taken` blocks, which new chains now use.
  void drop_front(std::size_t taken);
};

// Blocks that a commit let go and that can join a list, whole chains in
// chain order, with the next field each holds on disk now.
struct FreedBlocks {
  std::vector<std::uint32_t> blocks;
  std::vector<std::uint32_t> links;
  // Blocks of chains that could not join, which stay unused.
  std::uint64_t leaked = 0;
};

// Checks what the header alone says of its list, reading nothing: head,
// tail and count all zero or none, the count no more than the file holds,
// head and tail blocks after the header, inside the file and aligned alike.
// Returns why the list cannot be trusted, if it cannot.
std::expected<void, std::string> check_free_list_fields(
    const DatHeader& header, std::uint64_t file_length);

// Walks the list that `header` describes in a file of `file_length` bytes
// and checks its shape: head, tail and count agree, no block comes back,
// every block lies after the header and ends inside the file, and all are
// aligned as free_head is. Returns the list, or why it cannot be trusted.
// Whether live chains use its blocks is for the caller to check.
std::expected<FreeList, std::string> walk_free_list(const FileExtPolyfill& file,
                                                    std::uint64_t file_length,
                                                    const DatHeader& header);

// Whether every block of `list` is one that `is_free` finds free: the
// proof that a walked list may be used. Returns the first that is not.
std::expected<void, std::string> check_free_list_unused(
    const FreeList& list, std::uint32_t block_size,
    const std::function<bool(const ByteRange& block)>& is_free);

// Of `chains` (each the blocks of a chain let go, in chain order, in the
// first `file_length` bytes), those that can go on the list of `header`
// whole: every block after the header, inside the file, aligned as the
// list's blocks are (for an empty list, as most of the chains' blocks
// are), `unused` by anything live, in no chain picked before, readable,
// and naming the next block of its chain in its next field, but the last.
// A chain goes whole or not at all, so that only its last block's next
// field changes: a reader that still has the old directory reads it until
// its blocks are used again. The other chains' blocks count as leaked.
FreedBlocks pick_freed_chains(
    const FileExtPolyfill& file, std::uint64_t file_length,
    const DatHeader& header, std::span<const std::vector<std::uint32_t>> chains,
    const std::function<bool(std::uint64_t block)>& unused);

// Links `freed` ahead of the list of `header`: each block names the one
// after it, the last the list's head. Writes only the next fields that
// differ, then flushes; returns `header` with the longer list, which the
// caller writes to make it the archive's. `freed` holds the new links.
std::expected<DatHeader, IoError> link_freed_blocks(WritableFile& file,
                                                    const DatHeader& header,
                                                    FreedBlocks& freed);

// `list` as link_freed_blocks() leaves it on disk.
void prepend_freed_blocks(FreeList& list, FreedBlocks freed);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_FORMAT_FREE_LIST_H_
