// The shape of a balanced directory B-tree over entries sorted by id: which
// entries each node holds and which nodes are its children. Every leaf lies
// at the same depth, no node holds more than 61 entries, an internal node
// with k entries has k + 1 children, and an in-order walk (child 0, entry 0,
// child 1, entry 1, ..., child k) visits the entries in sorted order.

#ifndef QUILLSTONE_DAT_WRITE_DIRECTORY_PLAN_H_
#define QUILLSTONE_DAT_WRITE_DIRECTORY_PLAN_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillstone_dat {

struct PlannedNode {
  std::vector<std::size_t> entries;   // indices into the sorted entries
  std::vector<std::size_t> children;  // indices into the plan; empty: a leaf
};

struct DirectoryPlan {
  // Parents before their children; nodes[0] is the root. Empty when there
  // are no entries.
  std::vector<PlannedNode> nodes;
  std::uint32_t depth = 0;
};

// The lowest tree that holds `entry_count` entries, with entries spread
// evenly across each node's children.
DirectoryPlan plan_directory(std::size_t entry_count);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_WRITE_DIRECTORY_PLAN_H_
