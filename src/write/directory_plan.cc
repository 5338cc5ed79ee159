#include "write/directory_plan.h"

#include "format/records.h"

namespace quillstone_dat {

namespace {

// Entries that a full tree of `height` levels holds: 62^height - 1.
std::uint64_t capacity(std::uint32_t height) {
  std::uint64_t nodes_wide = 1;
  for (std::uint32_t level = 0; level < height; ++level)
    nodes_wide *= kNodeBranches;
  return nodes_wide - 1;
}

// Plans the subtree of `height` levels over the `count` entries from
// `first` on, which fit in it, and returns its root's index.
std::size_t plan_subtree(DirectoryPlan& plan, std::size_t first,
                         std::size_t count, std::uint32_t height) {
  const std::size_t index = plan.nodes.size();
  plan.nodes.emplace_back();
  if (height == 1) {
    for (std::size_t i = 0; i < count; ++i) {
      plan.nodes[index].entries.push_back(first + i);
    }
    return index;
  }
  // The fewest separators k whose k + 1 children hold the rest:
  // (k + 1) * child_capacity + k >= count.
  const std::uint64_t child_capacity = capacity(height - 1);
  const std::size_t separators =
      static_cast<std::size_t>(count / (child_capacity + 1));
  const std::size_t children = separators + 1;
  const std::size_t below = count - separators;
  std::size_t next = first;
  for (std::size_t child = 0; child < children; ++child) {
    const std::size_t share =
        below / children + (child < below % children ? 1 : 0);
    const std::size_t child_index = plan_subtree(plan, next, share, height - 1);
    plan.nodes[index].children.push_back(child_index);
    next += share;
    if (child < separators) plan.nodes[index].entries.push_back(next++);
  }
  return index;
}

}  // namespace

DirectoryPlan plan_directory(std::size_t entry_count) {
  DirectoryPlan plan;
  if (entry_count == 0) return plan;
  std::uint32_t height = 1;
  while (capacity(height) < entry_count) ++height;
  plan.depth = height;
  plan_subtree(plan, 0, entry_count, height);
  return plan;
}

}  // namespace quillstone_dat
