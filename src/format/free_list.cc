#include "format/free_list.h"

#include <array>
#include <map>
#include <string>
#include <unordered_set>
#include <utility>

#include "format/records.h"

namespace quillstone_dat {

namespace {

std::string outside_blocks(std::uint32_t block, std::uint64_t file_length) {
  return "free block " + std::to_string(block) +
         " lies outside the file's blocks (" + std::to_string(file_length) +
         " bytes)";
}

bool inside_blocks(std::uint32_t block, std::uint32_t block_size,
                   std::uint64_t file_length) {
  return block >= kHeaderEnd &&
         std::uint64_t{block} + block_size <= file_length;
}

}  // namespace

std::expected<void, std::string> check_free_list_fields(
    const DatHeader& header, std::uint64_t file_length) {
  const std::uint32_t head = header.free_head;
  const std::uint32_t tail = header.free_tail;
  const std::uint32_t count = header.free_count;
  const std::uint32_t block_size = header.block_size;
  if (head == 0 && tail == 0 && count == 0) return {};
  if (head == 0 || tail == 0 || count == 0) {
    return std::unexpected("free_head " + std::to_string(head) +
                           ", free_tail " + std::to_string(tail) +
                           " and free_count " + std::to_string(count) +
                           " disagree");
  }
  if (block_size <= kNextFieldSize) {
    return std::unexpected("block size " + std::to_string(block_size) +
                           " leaves free blocks no room");
  }
  const std::uint64_t room =
      file_length > kHeaderEnd ? (file_length - kHeaderEnd) / block_size : 0;
  if (count > room) {
    return std::unexpected("free_count " + std::to_string(count) +
                           " is more than the " + std::to_string(room) +
                           " blocks the file holds");
  }
  for (const std::uint32_t block : {head, tail}) {
    if (!inside_blocks(block, block_size, file_length)) {
      return std::unexpected(outside_blocks(block, file_length));
    }
  }
  if (tail % block_size != head % block_size) {
    return std::unexpected("free_tail " + std::to_string(tail) +
                           " is not aligned as free_head " +
                           std::to_string(head) + " is");
  }
  return {};
}

std::expected<FreeList, std::string> walk_free_list(const FileExtPolyfill& file,
                                                    std::uint64_t file_length,
                                                    const DatHeader& header) {
  if (auto fields = check_free_list_fields(header, file_length); !fields) {
    return std::unexpected(std::move(fields.error()));
  }
  const std::uint32_t head = header.free_head;
  const std::uint32_t count = header.free_count;
  const std::uint32_t block_size = header.block_size;
  FreeList list;
  if (count == 0) return list;
  // One flag per block position of the list's alignment: memory follows the
  // file's length, not what the header claims.
  const std::uint32_t phase = head % block_size;
  std::vector<bool> seen(file_length / block_size + 1);
  list.blocks.reserve(count);
  list.links.reserve(count);
  std::uint32_t block = head;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (i > 0 && block == 0) {
      return std::unexpected("free list ends after " + std::to_string(i) +
                             " blocks, but free_count is " +
                             std::to_string(count));
    }
    if (!inside_blocks(block, block_size, file_length)) {
      return std::unexpected(outside_blocks(block, file_length));
    }
    if (block % block_size != phase) {
      return std::unexpected("free block " + std::to_string(block) +
                             " is not aligned as free_head " +
                             std::to_string(head) + " is");
    }
    if (seen[block / block_size]) {
      return std::unexpected("free list comes back to block " +
                             std::to_string(block));
    }
    seen[block / block_size] = true;
    std::array<std::uint8_t, kNextFieldSize> field{};
    if (auto read = file.read_exact_at_compat(field, block); !read) {
      return std::unexpected("free block " + std::to_string(block) +
                             " cannot be read: " + read.error().debug());
    }
    list.blocks.push_back(block);
    list.links.push_back(decode_next_field(field.data()));
    block = list.links.back();
  }
  if (list.blocks.back() != header.free_tail) {
    return std::unexpected("free_tail " + std::to_string(header.free_tail) +
                           " is not the list's last block " +
                           std::to_string(list.blocks.back()));
  }
  return list;
}

void FreeList::describe_rest(std::size_t taken, DatHeader& header) const {
  const bool left = taken < blocks.size();
  header.free_head = left ? blocks[taken] : 0;
  header.free_tail = left ? blocks.back() : 0;
  header.free_count = static_cast<std::uint32_t>(blocks.size() - taken);
}

void FreeList::drop_front(std::size_t taken) {
  const auto n = static_cast<std::ptrdiff_t>(taken);
  blocks.erase(blocks.begin(), blocks.begin() + n);
  links.erase(links.begin(), links.begin() + n);
}

std::expected<void, std::string> check_free_list_unused(
    const FreeList& list, std::uint32_t block_size,
    const std::function<bool(const ByteRange& block)>& is_free) {
  for (const std::uint32_t block : list.blocks) {
    if (!is_free({block, std::uint64_t{block} + block_size})) {
      return std::unexpected("free block " + std::to_string(block) +
                             " is used by a file or directory node");
    }
  }
  return {};
}

namespace {

// The offset modulo the block size that a list's blocks share: the list's
// own, or for a new list the one most of `chains`' blocks have.
std::uint32_t list_phase(const DatHeader& header,
                         std::span<const std::vector<std::uint32_t>> chains) {
  const std::uint32_t block_size = header.block_size;
  if (header.free_count != 0) return header.free_head % block_size;
  std::map<std::uint32_t, std::size_t> phases;
  std::uint32_t phase = 0;
  std::size_t best = 0;
  for (const std::vector<std::uint32_t>& chain : chains) {
    for (const std::uint32_t block : chain) {
      const std::size_t seen = ++phases[block % block_size];
      if (seen > best || (seen == best && block % block_size < phase)) {
        best = seen;
        phase = block % block_size;
      }
    }
  }
  return phase;
}

}  // namespace

FreedBlocks pick_freed_chains(
    const FileExtPolyfill& file, std::uint64_t file_length,
    const DatHeader& header, std::span<const std::vector<std::uint32_t>> chains,
    const std::function<bool(std::uint64_t block)>& unused) {
  const std::uint32_t block_size = header.block_size;
  const std::uint32_t phase = list_phase(header, chains);
  FreedBlocks freed;
  std::unordered_set<std::uint32_t> picked;
  for (const std::vector<std::uint32_t>& blocks : chains) {
    std::vector<std::uint32_t> nexts;
    bool whole = true;
    for (std::size_t i = 0; i < blocks.size() && whole; ++i) {
      const std::uint64_t block = blocks[i];
      std::array<std::uint8_t, kNextFieldSize> field{};
      whole = inside_blocks(blocks[i], block_size, file_length) &&
              block % block_size == phase && unused(block) &&
              !picked.contains(blocks[i]) &&
              file.read_exact_at_compat(field, block).has_value();
      nexts.push_back(decode_next_field(field.data()));
      // A block whose next field does not name the following block is
      // followed by the rest contiguously: its "next field" neighbours
      // hold payload.
      if (whole && i + 1 < blocks.size()) whole = nexts[i] == blocks[i + 1];
    }
    if (!whole) {
      freed.leaked += blocks.size();
      continue;
    }
    picked.insert(blocks.begin(), blocks.end());
    freed.blocks.insert(freed.blocks.end(), blocks.begin(), blocks.end());
    freed.links.insert(freed.links.end(), nexts.begin(), nexts.end());
  }
  return freed;
}

std::expected<DatHeader, IoError> link_freed_blocks(WritableFile& file,
                                                    const DatHeader& header,
                                                    FreedBlocks& freed) {
  for (std::size_t i = 0; i < freed.blocks.size(); ++i) {
    const std::uint32_t next =
        i + 1 < freed.blocks.size() ? freed.blocks[i + 1] : header.free_head;
    if (freed.links[i] == next) continue;
    freed.links[i] = next;
    std::uint8_t field[kNextFieldSize];
    encode_next_field(field, next);
    if (auto written = file.write_at(field, freed.blocks[i]); !written) {
      return std::unexpected(std::move(written.error()));
    }
  }
  if (auto synced = file.sync(); !synced) {
    return std::unexpected(std::move(synced.error()));
  }
  DatHeader longer = header;
  if (freed.blocks.empty()) return longer;
  longer.free_head = freed.blocks.front();
  if (longer.free_count == 0) longer.free_tail = freed.blocks.back();
  longer.free_count += static_cast<std::uint32_t>(freed.blocks.size());
  return longer;
}

void prepend_freed_blocks(FreeList& list, FreedBlocks freed) {
  freed.blocks.insert(freed.blocks.end(), list.blocks.begin(),
                      list.blocks.end());
  freed.links.insert(freed.links.end(), list.links.begin(), list.links.end());
  list.blocks = std::move(freed.blocks);
  list.links = std::move(freed.links);
}

}  // namespace quillstone_dat
