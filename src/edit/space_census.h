// SpaceCensus is what an editor knows of which blocks of its archive are in
// use, and so whether the header's free list may be used.
//
// Before the census only the header's word stands for the list: its fields
// are checked, nothing is read, and blocks are judged by the directory
// alone (a block is free when no live entry or node starts at it). Taking
// the census follows the chain of every entry and node into a SpaceMap and
// walks the free list, which it then proves unused or rejects. The list is
// in one of three states:
//
//   not proven  the census is not taken; the list's fields are sound
//   proven      the census is taken and no live chain uses a list block
//   untrusted   the list is not to be used, for the reason given
//
// Following every chain costs the archive's size, so an editor takes the
// census only when a commit is large enough to pay for it.

#ifndef QUILLSTONE_DAT_EDIT_SPACE_CENSUS_H_
#define QUILLSTONE_DAT_EDIT_SPACE_CENSUS_H_

#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "edit/directory_tree.h"
#include "edit/space_map.h"
#include "format/chain_layout.h"
#include "format/free_list.h"
#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/file_ext_polyfill.h"

namespace quillstone_dat {

// A chain as an entry or a node names it.
struct Chain {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;

  static Chain of(const DatFileEntry& entry) {
    return {entry.offset, entry.size};
  }
  friend auto operator<=>(const Chain&, const Chain&) = default;
};

class SpaceCensus {
 public:
  enum class ListState : std::uint8_t { kNotProven, kProven, kUntrusted };

  // No census: the list of `header` judged by its fields alone.
  SpaceCensus(const DatHeader& header, std::uint64_t file_length);

  // Follows every chain of `tree`'s entries and nodes in a file of
  // `file_length` bytes, then walks and proves the list of `header`.
  void take(const FileExtPolyfill& file, std::uint64_t file_length,
            const DatHeader& header, const DirectoryTree& tree);

  bool taken() const { return live_.has_value(); }
  ListState list_state() const;
  // Why the list is untrusted; empty otherwise.
  std::string_view list_problem() const;
  // The proven list; empty in the other states.
  const FreeList& proven_list() const;

  // One past the last whole block a live chain or a free block holds, as
  // far as the census has followed them; 0 before it is taken.
  std::uint64_t end_of_use() const { return end_of_use_; }

  // Whether the census met `chain` broken (leaving the file or looping):
  // its blocks are never freed.
  bool is_broken(const Chain& chain) const { return broken_.contains(chain); }

  // Lets go of the `released` chains' byte ranges and returns which of
  // their blocks nothing live in `tree` uses. With the census the space map
  // knows every block in use; without it, only whether a live chain or
  // node starts at a block.
  std::function<bool(std::uint64_t block)> unused_once_released(
      std::span<const std::vector<ByteRange>> released,
      const DirectoryTree& tree, std::uint32_t block_size);

  // A commit wrote chains over `new_ranges`, took the first `reused`
  // blocks of the proven list, and dropped an untrusted list.
  void record_commit(std::span<const ByteRange> new_ranges, std::size_t reused);
  // Freed blocks were linked ahead of the list (link_freed_blocks).
  void record_freed(FreedBlocks freed);

 private:
  struct NotProven {};
  struct Proven {
    FreeList list;
  };
  struct Untrusted {
    std::string why;
  };

  // Adds the chain's ranges to `held`; a chain that cannot be followed
  // whole is broken.
  void hold(const FileExtPolyfill& file, std::uint64_t file_length,
            const ChainLayout& layout, const Chain& chain,
            std::vector<ByteRange>& held);

  std::variant<NotProven, Proven, Untrusted> list_;
  std::optional<SpaceMap> live_;
  std::set<Chain> broken_;
  std::uint64_t end_of_use_ = 0;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_EDIT_SPACE_CENSUS_H_
