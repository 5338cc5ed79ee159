// DirectoryTree is the editor's model of the directory: every node in
// memory with the offset its chain starts at on disk. Entries are inserted,
// replaced and erased as in a B-tree of minimum degree 31: a node holds at
// most 61 entries, a full node is split on the way down an insert, and on
// the way down an erase a node with fewer than 31 entries is topped up from
// a sibling or merged with it, so every leaf stays at one depth.
//
// Copy on write: a node that changes forgets its offset, and place() gives
// it, and every node above it, a new one. The nodes on disk are never
// written over; the offsets they leave behind are collected as released.
//
// A commit's changes are made in place and can be taken back whole if the
// commit fails: start_change() begins keeping each node as it was before
// its first change, so that undoing costs what the change touched, not the
// tree's size.

#ifndef QUILLSTONE_DAT_EDIT_DIRECTORY_TREE_H_
#define QUILLSTONE_DAT_EDIT_DIRECTORY_TREE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "format/records.h"
#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/error.h"
#include "quillstone_dat/file_ext_polyfill.h"

namespace quillstone_dat {

// A node to write: its new offset and its record.
struct PlacedNode {
  std::uint32_t offset = 0;
  DirectoryNode node;
};

class DirectoryTree {
 public:
  static constexpr std::size_t kMinDegree = 31;

  // Reads the tree at header.root_offset (0: empty) through the one walk
  // of the directory (format/directory_walk.h), so with the reader's errors.
  static DatResult<DirectoryTree> load(const FileExtPolyfill& file,
                                       const DatHeader& header,
                                       std::uint64_t length_hint);

  // A balanced tree of new nodes over `entries`, sorted by id without
  // repeats. `replaced_nodes`, the node offsets of the tree it takes the
  // place of, start out released.
  static DirectoryTree build(std::span<const DatFileEntry> entries,
                             std::vector<std::uint32_t> replaced_nodes);

  // Why a loaded tree is not one that can be changed in place: ids out of
  // order or repeated, leaves at different depths, a missing child, a node
  // below the root without entries. Nothing for a sound tree.
  const std::optional<std::string>& shape_fault() const { return fault_; }

  // What a reader's table holds of a loaded tree, whatever its shape: every
  // entry, the one met last in walk order for an id met twice, sorted by id.
  std::vector<DatFileEntry> entries_as_read() const;

  const DatFileEntry* find(std::uint32_t id) const;
  // Returns the entry replaced, if any.
  std::optional<DatFileEntry> insert_or_replace(const DatFileEntry& entry);
  // Returns the entry erased; nothing when `id` is absent.
  std::optional<DatFileEntry> erase(std::uint32_t id);

  // Calls `visit` once for each node of the tree, parents before children,
  // with the node's offset (0 when it is not on disk as it stands) and its
  // entries.
  using VisitNode =
      std::function<void(std::uint32_t offset, std::span<const DatFileEntry>)>;
  void for_each_node(const VisitNode& visit) const;
  // Every entry and every node offset of the tree as loaded or placed.
  std::vector<DatFileEntry> entries() const;
  std::vector<std::uint32_t> node_offsets() const;

  // Gives each node without an offset, and each node above one, an offset
  // from `allocate`, children before parents, and returns them to write.
  // Fails as `allocate` does.
  using Allocate = std::function<DatResult<std::uint32_t>()>;
  DatResult<std::vector<PlacedNode>> place(const Allocate& allocate);

  // The root's offset once placed; 0 for an empty tree.
  std::uint32_t root_offset() const;

  // Offsets of the chains of nodes that changed or went and are not yet
  // on disk as let go: since the last keep_change(), or since build().
  std::span<const std::uint32_t> released() const { return released_; }

  // Changes from start_change() on (inserts, erases, place()) are undone
  // whole by roll_back_change(), or made final by keep_change(), which also
  // forgets the offsets released: the commit has let them go.
  void start_change();
  void roll_back_change();
  void keep_change();

 private:
  struct Node {
    std::uint32_t offset = 0;  // 0: not on disk as it stands
    std::vector<DatFileEntry> entries;
    std::vector<std::size_t> children;  // indices into nodes_; none: a leaf
  };

  std::optional<std::string> check_shape(
      std::size_t index, std::uint32_t depth,
      std::optional<std::uint32_t>& leaf_depth,
      std::optional<std::uint32_t>& last_id) const;

  std::size_t new_node();
  // The node is about to change: its chain on disk will no longer hold it.
  void touch(std::size_t index);
  void split_child(std::size_t parent, std::size_t i);
  void merge_children(std::size_t parent, std::size_t i);
  std::size_t make_room(std::size_t parent, std::size_t i);
  void erase_below(std::size_t index, std::uint32_t id);
  DatResult<bool> place_below(std::size_t index, const Allocate& allocate,
                              std::vector<PlacedNode>& placed);

  // What start_change() found: the nodes there were, each node as it was
  // before its first change since, the root and the offsets released.
  struct Undo {
    std::unordered_map<std::size_t, Node> saved;
    std::size_t node_count = 0;
    std::optional<std::size_t> root;
    std::size_t released_count = 0;
  };

  std::vector<Node> nodes_;  // nodes merged away stay, unreachable
  std::optional<std::size_t> root_;
  std::vector<std::uint32_t> released_;
  std::optional<std::string> fault_;
  std::optional<Undo> undo_;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_EDIT_DIRECTORY_TREE_H_
