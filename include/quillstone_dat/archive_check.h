// An integrity check of a whole archive. It follows the chain of every
// entry and every directory node and reports, each problem with the entry
// or node it concerns: chains that leave the file or come back to their own
// blocks, bytes claimed by two chains or by a chain and the header, reads
// that fail, and compressed payloads that do not decode to the size they
// declare. Asked to, it also walks the free list and reports stretches of
// blocks that nothing uses. A damaged archive gives a report, not an error:
// the check fails only where the archive cannot be opened or its directory
// walked.

#ifndef QUILLSTONE_DAT_ARCHIVE_CHECK_H_
#define QUILLSTONE_DAT_ARCHIVE_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillstone_dat/error.h"

namespace quillstone_dat {

struct CheckOptions {
  // Read every entry's bytes and decode the compressed ones. False checks
  // only how the chains lie in the file, which reads just their next fields
  // and the directory.
  bool decode_payloads = true;
  // Also check the header's free list (kFreeList: its blocks must be free,
  // its count and tail agree with the chain, no block come back, none lie
  // past the end or out of line with the first) and report block-sized
  // stretches after the header that no file, node or free block uses
  // (kLeaked). A chain's last block counts whole, and so does the block of
  // an empty file.
  bool check_free_space = false;
};

struct CheckProblem {
  enum class Kind : std::uint8_t {
    kReadError,     // reading the entry's bytes fails
    kOutsideFile,   // a block of the chain reaches past the end of the file
    kChainLoop,     // the chain comes back to one of its own blocks
    kSharedBlock,   // another entry's chain, or the header, holds its bytes
    kNodeOverlap,   // a directory node shares bytes with another node, an
                    // entry's chain or the header
    kShortPayload,  // a compressed payload shorter than its size prefix
    kSizeMismatch,  // a compressed payload decodes to another length than
                    // its prefix declares
    kFreeList,      // the free list cannot be trusted (check_free_space)
    kLeaked,        // bytes no file, node or free block uses, a block or
                    // more (check_free_space)
  };

  Kind kind;
  // The entry with the problem; none when it is a directory node's.
  std::optional<std::uint32_t> id;
  // The first block of the chain with the problem: the entry's offset, or
  // the node's.
  std::uint64_t offset = 0;
  // One line saying what is wrong and where.
  std::string detail;
};

// The kind's name in reports: "read_error", "outside_file", "chain_loop",
// "shared_block", "node_overlap", "short_payload", "size_mismatch",
// "free_list", "leaked".
std::string_view to_string(CheckProblem::Kind kind);

struct CheckReport {
  std::size_t entries = 0;  // in the file table
  std::size_t nodes = 0;    // in the directory
  // Problems of directory nodes, of the free list and of leaked bytes first,
  // by offset, then entries' by id.
  std::vector<CheckProblem> problems;

  bool clean() const { return problems.empty(); }
};

// Opens the archive at `path` and checks it (DatDatabase::check). An
// archive that does not open gives the open's error.
DatResult<CheckReport> check_archive(const std::filesystem::path& path,
                                     const CheckOptions& options = {});

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_ARCHIVE_CHECK_H_
