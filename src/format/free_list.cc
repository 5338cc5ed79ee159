#include "format/free_list.h"

#include <array>
#include <string>
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

}  // namespace quillstone_dat
