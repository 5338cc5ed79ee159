#include "edit/directory_tree.h"

#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "format/directory_walk.h"
#include "write/directory_plan.h"

namespace quillstone_dat {

namespace {

constexpr std::size_t kMaxEntries = kNodeMaxEntries;
static_assert(2 * DirectoryTree::kMinDegree - 1 == kMaxEntries);

// The first entry whose id is not below `id`.
std::size_t lower_index(const std::vector<DatFileEntry>& entries,
                        std::uint32_t id) {
  return static_cast<std::size_t>(
      std::ranges::lower_bound(entries, id, {}, &DatFileEntry::id) -
      entries.begin());
}

}  // namespace

DatResult<DirectoryTree> DirectoryTree::load(const FileExtPolyfill& file,
                                             const DatHeader& header,
                                             std::uint64_t length_hint) {
  DirectoryTree tree;
  // The nodes from the root down to the one visited last: a node's parent
  // is the last node visited one level above it.
  std::vector<std::size_t> path;
  auto walked = walk_directory(
      file, header, length_hint, [&](const VisitedNode& visited) {
        const std::size_t index = tree.new_node();
        Node& node = tree.nodes_[index];
        node.offset = visited.offset;
        const auto used = visited.node.used_entries();
        node.entries.assign(used.begin(), used.end());
        for (const std::uint32_t branch : visited.node.child_branches()) {
          if (branch == 0 && !tree.fault_) {
            tree.fault_ =
                "node " + std::to_string(visited.offset) + " lacks a child";
          }
        }
        path.resize(visited.depth - 1);
        if (path.empty()) {
          tree.root_ = index;
        } else {
          tree.nodes_[path.back()].children.push_back(index);
        }
        path.push_back(index);
      });
  if (!walked) return std::unexpected(std::move(walked.error()));
  if (tree.root_) {
    std::optional<std::uint32_t> leaf_depth;
    std::optional<std::uint32_t> last_id;
    tree.fault_ = tree.check_shape(*tree.root_, 1, leaf_depth, last_id);
  }
  return tree;
}

std::vector<DatFileEntry> DirectoryTree::entries_as_read() const {
  // Nodes were made in the order the walk visited them.
  std::map<std::uint32_t, DatFileEntry> by_id;
  for (const Node& node : nodes_) {
    for (const DatFileEntry& entry : node.entries) by_id[entry.id] = entry;
  }
  std::vector<DatFileEntry> entries;
  entries.reserve(by_id.size());
  for (const auto& [id, entry] : by_id) entries.push_back(entry);
  return entries;
}

std::optional<std::string> DirectoryTree::check_shape(
    std::size_t index, std::uint32_t depth,
    std::optional<std::uint32_t>& leaf_depth,
    std::optional<std::uint32_t>& last_id) const {
  if (fault_) return fault_;
  const Node& node = nodes_[index];
  const std::string where = "node " + std::to_string(node.offset);
  if (node.entries.empty() && (index != *root_ || !node.children.empty())) {
    return where + " has no entries";
  }
  const bool leaf = node.children.empty();
  if (leaf && leaf_depth && *leaf_depth != depth) {
    return "leaves lie at depths " + std::to_string(*leaf_depth) + " and " +
           std::to_string(depth);
  }
  if (leaf) leaf_depth = depth;
  // In order: child 0, entry 0, child 1, ..., each id above the one before.
  for (std::size_t i = 0; i <= node.entries.size(); ++i) {
    if (!leaf) {
      if (auto fault =
              check_shape(node.children[i], depth + 1, leaf_depth, last_id)) {
        return fault;
      }
    }
    if (i == node.entries.size()) break;
    const std::uint32_t id = node.entries[i].id;
    if (last_id && *last_id >= id) {
      return where + " holds id " + std::to_string(id) + " out of order";
    }
    last_id = id;
  }
  return std::nullopt;
}

DirectoryTree DirectoryTree::build(std::span<const DatFileEntry> entries,
                                   std::vector<std::uint32_t> replaced_nodes) {
  DirectoryTree tree;
  tree.released_ = std::move(replaced_nodes);
  const DirectoryPlan plan = plan_directory(entries.size());
  tree.nodes_.resize(plan.nodes.size());
  for (std::size_t i = 0; i < plan.nodes.size(); ++i) {
    for (const std::size_t entry : plan.nodes[i].entries) {
      tree.nodes_[i].entries.push_back(entries[entry]);
    }
    tree.nodes_[i].children = plan.nodes[i].children;
  }
  if (!plan.nodes.empty()) tree.root_ = 0;
  return tree;
}

const DatFileEntry* DirectoryTree::find(std::uint32_t id) const {
  if (!root_) return nullptr;
  std::size_t index = *root_;
  while (true) {
    const Node& node = nodes_[index];
    const std::size_t i = lower_index(node.entries, id);
    if (i < node.entries.size() && node.entries[i].id == id) {
      return &node.entries[i];
    }
    if (node.children.empty()) return nullptr;
    index = node.children[i];
  }
}

std::optional<DatFileEntry> DirectoryTree::insert_or_replace(
    const DatFileEntry& entry) {
  if (const DatFileEntry* found = find(entry.id)) {
    const DatFileEntry old = *found;
    // find() leads to the node; walk again to know its index.
    std::size_t index = *root_;
    while (true) {
      Node& node = nodes_[index];
      const std::size_t i = lower_index(node.entries, entry.id);
      if (i < node.entries.size() && node.entries[i].id == entry.id) {
        touch(index);
        node.entries[i] = entry;
        return old;
      }
      index = node.children[i];
    }
  }
  if (!root_) {
    root_ = new_node();
    nodes_[*root_].entries.push_back(entry);
    return std::nullopt;
  }
  if (nodes_[*root_].entries.size() == kMaxEntries) {
    const std::size_t top = new_node();
    nodes_[top].children.push_back(*root_);
    root_ = top;
    split_child(top, 0);
  }
  std::size_t index = *root_;
  while (!nodes_[index].children.empty()) {
    std::size_t i = lower_index(nodes_[index].entries, entry.id);
    if (nodes_[nodes_[index].children[i]].entries.size() == kMaxEntries) {
      split_child(index, i);
      if (nodes_[index].entries[i].id < entry.id) ++i;
    }
    index = nodes_[index].children[i];
  }
  touch(index);
  std::vector<DatFileEntry>& entries = nodes_[index].entries;
  entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(
                                       lower_index(entries, entry.id)),
                 entry);
  return std::nullopt;
}

std::optional<DatFileEntry> DirectoryTree::erase(std::uint32_t id) {
  const DatFileEntry* found = find(id);
  if (found == nullptr) return std::nullopt;
  const DatFileEntry old = *found;
  erase_below(*root_, id);
  const Node& root = nodes_[*root_];
  if (root.entries.empty()) {
    const std::optional<std::size_t> below =
        root.children.empty() ? std::nullopt
                              : std::optional<std::size_t>(root.children[0]);
    touch(*root_);
    root_ = below;
  }
  return old;
}

// Erases `id` from the subtree at `index`, which holds it and, unless it is
// the root, more than one entry: every node the walk enters is topped up
// first, so a leaf never empties and a merge never overfills.
void DirectoryTree::erase_below(std::size_t index, std::uint32_t id) {
  while (true) {
    const std::size_t i = lower_index(nodes_[index].entries, id);
    const bool here =
        i < nodes_[index].entries.size() && nodes_[index].entries[i].id == id;
    if (nodes_[index].children.empty()) {
      touch(index);
      nodes_[index].entries.erase(nodes_[index].entries.begin() +
                                  static_cast<std::ptrdiff_t>(i));
      return;
    }
    if (!here) {
      index = make_room(index, i);
      continue;
    }
    // The entry sits in an internal node: put its neighbour in the order
    // in its place and erase that from below, or merge around it.
    const std::size_t left = nodes_[index].children[i];
    const std::size_t right = nodes_[index].children[i + 1];
    if (nodes_[left].entries.size() >= kMinDegree) {
      std::size_t last = left;
      while (!nodes_[last].children.empty()) {
        last = nodes_[last].children.back();
      }
      touch(index);
      nodes_[index].entries[i] = nodes_[last].entries.back();
      id = nodes_[index].entries[i].id;
      index = left;
    } else if (nodes_[right].entries.size() >= kMinDegree) {
      std::size_t first = right;
      while (!nodes_[first].children.empty()) {
        first = nodes_[first].children.front();
      }
      touch(index);
      nodes_[index].entries[i] = nodes_[first].entries.front();
      id = nodes_[index].entries[i].id;
      index = right;
    } else {
      merge_children(index, i);
      index = left;
    }
  }
}

// Child i of `parent`, with at least kMinDegree entries or one more than
// it had: borrowed through the parent from a sibling that can spare one,
// else merged with a sibling. Returns the node to walk into.
std::size_t DirectoryTree::make_room(std::size_t parent, std::size_t i) {
  const std::size_t child = nodes_[parent].children[i];
  if (nodes_[child].entries.size() >= kMinDegree) return child;
  const std::size_t siblings = nodes_[parent].children.size();
  if (i > 0) {
    const std::size_t left = nodes_[parent].children[i - 1];
    Node& from = nodes_[left];
    if (from.entries.size() >= kMinDegree) {
      touch(parent);
      touch(left);
      touch(child);
      Node& to = nodes_[child];
      to.entries.insert(to.entries.begin(), nodes_[parent].entries[i - 1]);
      nodes_[parent].entries[i - 1] = from.entries.back();
      from.entries.pop_back();
      if (!from.children.empty()) {
        to.children.insert(to.children.begin(), from.children.back());
        from.children.pop_back();
      }
      return child;
    }
  }
  if (i + 1 < siblings) {
    const std::size_t right = nodes_[parent].children[i + 1];
    Node& from = nodes_[right];
    if (from.entries.size() >= kMinDegree) {
      touch(parent);
      touch(right);
      touch(child);
      Node& to = nodes_[child];
      to.entries.push_back(nodes_[parent].entries[i]);
      nodes_[parent].entries[i] = from.entries.front();
      from.entries.erase(from.entries.begin());
      if (!from.children.empty()) {
        to.children.push_back(from.children.front());
        from.children.erase(from.children.begin());
      }
      return child;
    }
    merge_children(parent, i);
    return child;
  }
  const std::size_t left = nodes_[parent].children[i - 1];
  merge_children(parent, i - 1);
  return left;
}

// Child i, full, becomes two children of 30 entries around its median,
// which moves up into `parent`.
void DirectoryTree::split_child(std::size_t parent, std::size_t i) {
  const std::size_t full = nodes_[parent].children[i];
  const std::size_t half = new_node();
  touch(parent);
  touch(full);
  Node& from = nodes_[full];
  Node& to = nodes_[half];
  const auto median = static_cast<std::ptrdiff_t>(kMinDegree - 1);
  to.entries.assign(from.entries.begin() + median + 1, from.entries.end());
  if (!from.children.empty()) {
    to.children.assign(from.children.begin() + median + 1, from.children.end());
    from.children.resize(kMinDegree);
  }
  const DatFileEntry up = from.entries[kMinDegree - 1];
  from.entries.resize(kMinDegree - 1);
  Node& above = nodes_[parent];
  above.entries.insert(above.entries.begin() + static_cast<std::ptrdiff_t>(i),
                       up);
  above.children.insert(
      above.children.begin() + static_cast<std::ptrdiff_t>(i) + 1, half);
}

// Children i and i + 1 of `parent`, and the entry between them, become
// child i; child i + 1 goes.
void DirectoryTree::merge_children(std::size_t parent, std::size_t i) {
  const std::size_t left = nodes_[parent].children[i];
  const std::size_t right = nodes_[parent].children[i + 1];
  touch(parent);
  touch(left);
  touch(right);
  Node& above = nodes_[parent];
  Node& into = nodes_[left];
  Node& from = nodes_[right];
  into.entries.push_back(above.entries[i]);
  into.entries.insert(into.entries.end(), from.entries.begin(),
                      from.entries.end());
  into.children.insert(into.children.end(), from.children.begin(),
                       from.children.end());
  from.entries.clear();
  from.children.clear();
  above.entries.erase(above.entries.begin() + static_cast<std::ptrdiff_t>(i));
  above.children.erase(above.children.begin() + static_cast<std::ptrdiff_t>(i) +
                       1);
}

std::size_t DirectoryTree::new_node() {
  nodes_.emplace_back();
  return nodes_.size() - 1;
}

void DirectoryTree::touch(std::size_t index) {
  Node& node = nodes_[index];
  if (undo_ && index < undo_->node_count) {
    undo_->saved.try_emplace(index, node);
  }
  if (node.offset != 0) released_.push_back(node.offset);
  node.offset = 0;
}

void DirectoryTree::start_change() {
  undo_ = Undo{{}, nodes_.size(), root_, released_.size()};
}

void DirectoryTree::keep_change() {
  undo_.reset();
  released_.clear();
}

void DirectoryTree::roll_back_change() {
  if (!undo_) return;
  for (auto& [index, node] : undo_->saved) nodes_[index] = std::move(node);
  nodes_.resize(undo_->node_count);
  root_ = undo_->root;
  released_.resize(undo_->released_count);
  undo_.reset();
}

void DirectoryTree::for_each_node(const VisitNode& visit) const {
  if (!root_) return;
  std::vector<std::size_t> stack = {*root_};
  while (!stack.empty()) {
    const Node& node = nodes_[stack.back()];
    stack.pop_back();
    visit(node.offset, node.entries);
    stack.insert(stack.end(), node.children.begin(), node.children.end());
  }
}

std::vector<DatFileEntry> DirectoryTree::entries() const {
  std::vector<DatFileEntry> out;
  for_each_node([&](std::uint32_t, std::span<const DatFileEntry> entries) {
    out.insert(out.end(), entries.begin(), entries.end());
  });
  return out;
}

std::vector<std::uint32_t> DirectoryTree::node_offsets() const {
  std::vector<std::uint32_t> out;
  for_each_node([&](std::uint32_t offset, std::span<const DatFileEntry>) {
    if (offset != 0) out.push_back(offset);
  });
  return out;
}

DatResult<std::vector<PlacedNode>> DirectoryTree::place(
    const Allocate& allocate) {
  std::vector<PlacedNode> placed;
  if (!root_) return placed;
  if (auto done = place_below(*root_, allocate, placed); !done) {
    return std::unexpected(std::move(done.error()));
  }
  return placed;
}

// Places the subtree at `index`; true when its root got a new offset.
DatResult<bool> DirectoryTree::place_below(std::size_t index,
                                           const Allocate& allocate,
                                           std::vector<PlacedNode>& placed) {
  bool moved = nodes_[index].offset == 0;
  for (const std::size_t child : nodes_[index].children) {
    auto child_moved = place_below(child, allocate, placed);
    if (!child_moved) return child_moved;
    moved = moved || *child_moved;
  }
  if (!moved) return false;
  touch(index);
  auto offset = allocate();
  if (!offset) return std::unexpected(std::move(offset.error()));
  Node& node = nodes_[index];
  node.offset = *offset;
  PlacedNode out;
  out.offset = *offset;
  for (std::size_t i = 0; i < node.children.size(); ++i) {
    out.node.branches[i] = nodes_[node.children[i]].offset;
  }
  out.node.entry_count = static_cast<std::uint32_t>(node.entries.size());
  std::ranges::copy(node.entries, out.node.entries.begin());
  placed.push_back(out);
  return true;
}

std::uint32_t DirectoryTree::root_offset() const {
  return root_ ? nodes_[*root_].offset : 0;
}

}  // namespace quillstone_dat
