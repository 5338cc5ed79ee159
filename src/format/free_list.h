// The free list: whole blocks that no file or directory node uses, chained
// through their next fields. The header's free_head is the first block,
// free_tail the last and free_count their number; an empty list is 0, 0, 0.
// The last block's next field is never followed: free_count ends the list.
//
// All blocks of a list lie at one offset modulo the block size, after the
// header and inside the file. A list that breaks any of this was written
// by someone else, or was damaged, and is not to be trusted.

#ifndef QUILLSTONE_DAT_FORMAT_FREE_LIST_H_
#define QUILLSTONE_DAT_FORMAT_FREE_LIST_H_

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/file_ext_polyfill.h"

namespace quillstone_dat {

struct FreeList {
  std::vector<std::uint32_t> blocks;  // in list order
  std::vector<std::uint32_t> links;   // the next field each block holds

  bool empty() const { return blocks.empty(); }
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

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_FORMAT_FREE_LIST_H_
