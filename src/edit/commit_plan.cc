#include "edit/commit_plan.h"

#include <algorithm>
#include <array>
#include <utility>

#include "edit/block_allocator.h"
#include "format/records.h"

namespace quillstone_dat {

DatResult<CommitPlan> plan_commit(const DatHeader& header, std::uint64_t length,
                                  const BlockSource& blocks,
                                  const StagedChanges& changes,
                                  DirectoryTree& tree) {
  tree.start_change();
  CommitPlan plan(header);
  BlockAllocator allocator(header.block_size, blocks.list, blocks.append_point);

  for (const std::uint32_t id : changes.removals) {
    if (const auto old = tree.erase(id))
      plan.released.push_back(Chain::of(*old));
    ++plan.removed;
  }
  std::size_t form_index = 0;
  for (const auto& [id, file] : changes.puts) {
    const std::span<const std::uint8_t> bytes =
        changes.forms[form_index].bytes();
    DatFileEntry entry{changes.forms[form_index].bit_flags,
                       id,
                       0,
                       static_cast<std::uint32_t>(bytes.size()),
                       file.timestamp,
                       file.version};
    ++form_index;
    // An empty file is never read, so it takes no block.
    if (!bytes.empty()) {
      auto chain = allocator.place(bytes.size());
      if (!chain) return std::unexpected(std::move(chain.error()));
      entry.offset = chain->blocks.front();
      const auto held = plan.batch.add_chain(*chain, bytes);
      plan.new_ranges.insert(plan.new_ranges.end(), held.begin(), held.end());
    }
    if (const auto old = tree.insert_or_replace(entry)) {
      plan.released.push_back(Chain::of(*old));
      ++plan.replaced;
    } else {
      ++plan.added;
    }
  }

  // Only the nodes on the changed paths are placed anew.
  std::vector<ChainPlacement> node_chains;
  auto placed = tree.place([&]() -> DatResult<std::uint32_t> {
    auto chain = allocator.place(kNodeSize);
    if (!chain) return std::unexpected(std::move(chain.error()));
    node_chains.push_back(std::move(*chain));
    return node_chains.back().blocks.front();
  });
  if (!placed) return std::unexpected(std::move(placed.error()));
  for (std::size_t i = 0; i < placed->size(); ++i) {
    std::array<std::uint8_t, kNodeSize> bytes;
    encode_directory_node((*placed)[i].node, bytes);
    const auto held = plan.batch.add_chain(node_chains[i], bytes);
    plan.new_ranges.insert(plan.new_ranges.end(), held.begin(), held.end());
  }
  for (const std::uint32_t node : tree.released()) {
    plan.released.push_back({node, kNodeSize});
  }

  plan.length = std::max(length, allocator.end());
  if (auto fits = check_archive_end(plan.length); !fits) {
    return std::unexpected(std::move(fits.error()));
  }
  plan.header.root_offset = tree.root_offset();
  if (blocks.rewrite_list) {
    blocks.list.describe_rest(allocator.reused(), plan.header);
  }
  plan.header.file_size = static_cast<std::uint32_t>(plan.length);
  plan.append_point = allocator.end();
  plan.blocks_reused = allocator.reused();
  plan.blocks_appended = allocator.appended();
  return plan;
}

}  // namespace quillstone_dat
