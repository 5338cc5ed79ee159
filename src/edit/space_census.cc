#include "edit/space_census.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "format/block_chain.h"
#include "format/records.h"

namespace quillstone_dat {

SpaceCensus::SpaceCensus(const DatHeader& header, std::uint64_t file_length) {
  if (auto fields = check_free_list_fields(header, file_length); !fields) {
    list_ = Untrusted{std::move(fields.error())};
  }
}

void SpaceCensus::hold(const FileExtPolyfill& file, std::uint64_t file_length,
                       const ChainLayout& layout, const Chain& chain,
                       std::vector<ByteRange>& held) {
  if (chain.size == 0) return;
  const ChainExtent extent = chain_extent(
      file, file_length, layout.block_size(), chain.offset, chain.size);
  for (const ByteRange& range : extent.ranges) {
    held.push_back(range);
    end_of_use_ = std::max(end_of_use_, layout.whole_blocks(range).end);
  }
  if (extent.fault) broken_.insert(chain);
}

void SpaceCensus::take(const FileExtPolyfill& file, std::uint64_t file_length,
                       const DatHeader& header, const DirectoryTree& tree) {
  const ChainLayout layout(header.block_size);
  std::vector<ByteRange> held;
  tree.for_each_node(
      [&](std::uint32_t node, std::span<const DatFileEntry> entries) {
        if (node != 0) hold(file, file_length, layout, {node, kNodeSize}, held);
        for (const DatFileEntry& entry : entries) {
          hold(file, file_length, layout, Chain::of(entry), held);
        }
      });
  live_.emplace();
  live_->add_all(std::move(held));

  auto list = walk_free_list(file, file_length, header);
  if (list) {
    auto unused = check_free_list_unused(
        *list, header.block_size,
        [&](const ByteRange& block) { return live_->is_free(block); });
    if (!unused) list = std::unexpected(std::move(unused.error()));
  }
  if (!list) {
    list_ = Untrusted{std::move(list.error())};
    return;
  }
  for (const std::uint32_t block : list->blocks) {
    end_of_use_ = std::max<std::uint64_t>(
        end_of_use_, std::uint64_t{block} + header.block_size);
  }
  list_ = Proven{std::move(*list)};
}

SpaceCensus::ListState SpaceCensus::list_state() const {
  if (std::holds_alternative<Proven>(list_)) return ListState::kProven;
  if (std::holds_alternative<Untrusted>(list_)) return ListState::kUntrusted;
  return ListState::kNotProven;
}

std::string_view SpaceCensus::list_problem() const {
  const auto* untrusted = std::get_if<Untrusted>(&list_);
  return untrusted != nullptr ? std::string_view(untrusted->why)
                              : std::string_view();
}

const FreeList& SpaceCensus::proven_list() const {
  static const FreeList kNone;
  const auto* proven = std::get_if<Proven>(&list_);
  return proven != nullptr ? proven->list : kNone;
}

std::function<bool(std::uint64_t)> SpaceCensus::unused_once_released(
    std::span<const std::vector<ByteRange>> released, const DirectoryTree& tree,
    std::uint32_t block_size) {
  if (live_) {
    for (const std::vector<ByteRange>& ranges : released) {
      for (const ByteRange& range : ranges) live_->remove(range);
    }
    return [this, block_size](std::uint64_t block) {
      return live_->is_free({block, block + block_size});
    };
  }
  // A block that a file shares with another past its start goes unseen
  // here; the census of a later commit finds it and then drops the list.
  const ChainLayout layout(block_size);
  std::unordered_set<std::uint32_t> candidates;
  for (const std::vector<ByteRange>& ranges : released) {
    for (const std::uint32_t block : layout.blocks_in(ranges)) {
      candidates.insert(block);
    }
  }
  std::unordered_set<std::uint32_t> live_starts;
  tree.for_each_node(
      [&](std::uint32_t node, std::span<const DatFileEntry> entries) {
        if (candidates.contains(node)) live_starts.insert(node);
        for (const DatFileEntry& entry : entries) {
          if (entry.size != 0 && candidates.contains(entry.offset)) {
            live_starts.insert(entry.offset);
          }
        }
      });
  return [live_starts = std::move(live_starts)](std::uint64_t block) {
    return !live_starts.contains(static_cast<std::uint32_t>(block));
  };
}

void SpaceCensus::record_commit(std::span<const ByteRange> new_ranges,
                                std::size_t reused) {
  if (live_) {
    for (const ByteRange& range : new_ranges) live_->add(range);
  }
  if (auto* proven = std::get_if<Proven>(&list_)) {
    proven->list.drop_front(reused);
  } else if (std::holds_alternative<Untrusted>(list_)) {
    // The commit wrote an empty list in its place.
    list_ = live_ ? decltype(list_)(Proven{}) : decltype(list_)(NotProven{});
  }
}

void SpaceCensus::record_freed(FreedBlocks freed) {
  if (auto* proven = std::get_if<Proven>(&list_)) {
    prepend_freed_blocks(proven->list, std::move(freed));
  }
}

}  // namespace quillstone_dat
