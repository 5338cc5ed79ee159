// How every reader of an archive gets at its structure: the header, then
// the directory walked node by node from the header's root_offset. The
// database's open, the editor's load and the integrity check all go
// through here, so they meet a damaged archive with the same errors, each
// carrying the ErrorContext that DatError::message() explains it by.

#ifndef QUILLSTONE_DAT_FORMAT_DIRECTORY_WALK_H_
#define QUILLSTONE_DAT_FORMAT_DIRECTORY_WALK_H_

#include <cstdint>
#include <functional>

#include "format/records.h"
#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/error.h"
#include "quillstone_dat/file_ext_polyfill.h"

namespace quillstone_dat {

// Deeper directories are reported as corrupt: a balanced tree of 61-entry
// nodes holds every 32-bit id within six levels.
inline constexpr std::uint32_t kMaxDirectoryDepth = 64;

// The header at offset 320. What could be read of its 80 bytes is decoded,
// so a short file fails at the field where it ends and a read error at the
// field it struck.
DatResult<DatHeader> read_header(const FileExtPolyfill& file);

struct VisitedNode {
  std::uint32_t offset = 0;
  std::uint32_t depth = 1;  // the root's is 1
  const DirectoryNode& node;
};

// Walks the tree at header.root_offset (0: empty) depth first: each node
// is handed to `visit` before its children, children in branch order, and
// zero branches among those a node follows are skipped. A node's chain is
// read as read_block_chain reads it, `file_length` bounding what it may
// allocate. The walk fails at the first node that cannot be read or
// decoded, that lies deeper than kMaxDirectoryDepth, or that it reaches a
// second time (a cycle, or a subtree two parents share).
using NodeVisitor = std::function<void(const VisitedNode&)>;
DatResult<void> walk_directory(const FileExtPolyfill& file,
                               const DatHeader& header,
                               std::uint64_t file_length,
                               const NodeVisitor& visit);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_FORMAT_DIRECTORY_WALK_H_
