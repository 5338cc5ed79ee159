#include "quillstone_dat/dat_database.h"

#include <array>
#include <string>
#include <unordered_set>

#include "lib/block_chain.h"
#include "lib/dat_records.h"
#include "lib/record_reader.h"
#include "quillstone_dat/lrs.h"
#include "quillstone_dat/posix_file.h"

namespace quillstone_dat {

namespace {

// Reads what there is of the header's 80 bytes. A read error stops the
// bytes where it struck, so the field covering that spot reports it.
RecordReader header_reader(const FileExtPolyfill& file,
                           std::array<std::uint8_t, DatHeader::kEncodedSize>& bytes) {
  std::size_t filled = 0;
  std::optional<IoError> error;
  while (filled < bytes.size()) {
    auto n = file.read_at(std::span(bytes).subspan(filled),
                          DatHeader::kFileOffset + filled);
    if (!n) {
      if (n.error().kind() == IoErrorKind::kInterrupted) continue;
      error = std::move(n.error());
      break;
    }
    if (*n == 0) break;
    filled += *n;
  }
  return RecordReader(std::span(bytes).first(filled), std::move(error));
}

}  // namespace

// Nodes visited by one walk: reaching a node twice means the branches form
// a cycle or share a subtree, either of which would never end or cost
// exponential time.
struct DatDatabase::WalkState {
  std::unordered_set<std::uint32_t> visited;
};

DatDatabase::DatDatabase(std::shared_ptr<const FileExtPolyfill> file,
                         DatHeader header, std::uint64_t length_at_open)
    : header_(header), file_(std::move(file)), length_at_open_(length_at_open) {}

DatResult<DatDatabase> DatDatabase::open(const std::filesystem::path& path) {
  auto file = PosixFile::open(path);
  if (!file) return std::unexpected(DatError::path_error(path, file.error()));
  if (auto seek = file->seek(DatHeader::kFileOffset); !seek) {
    return std::unexpected(std::move(seek.error()));
  }
  return open(std::make_shared<PosixFile>(std::move(*file)));
}

DatResult<DatDatabase> DatDatabase::open(
    std::shared_ptr<const FileExtPolyfill> file) {
  std::array<std::uint8_t, DatHeader::kEncodedSize> bytes{};
  RecordReader reader = header_reader(*file, bytes);
  auto header = read_header(reader);
  if (!header) return std::unexpected(std::move(header.error()));
  auto length = file->length();
  if (!length) return std::unexpected(std::move(length.error()));

  DatDatabase database(std::move(file), *header, *length);
  if (auto loaded = database.read_directory(); !loaded) {
    return std::unexpected(std::move(loaded.error()));
  }
  return database;
}

DatResult<std::vector<std::uint8_t>> DatDatabase::read_file_data(
    std::uint32_t offset, std::uint32_t size) const {
  return read_block_chain(*file_, header_.block_size, offset, size,
                          length_at_open_);
}

DatResult<void> DatDatabase::read_directory() {
  return read_node(header_.root_offset);
}

DatResult<void> DatDatabase::read_node(std::uint32_t offset) {
  WalkState state;
  return read_node(offset, state, 1);
}

DatResult<void> DatDatabase::read_node(std::uint32_t offset, WalkState& state,
                                       std::uint32_t depth) {
  if (offset == 0) return {};
  if (depth > kMaxDirectoryDepth) {
    return std::unexpected(DatError::corruption(
        "directory nests deeper than " + std::to_string(kMaxDirectoryDepth) +
        " levels at node " + std::to_string(offset)));
  }
  if (!state.visited.insert(offset).second) {
    return std::unexpected(DatError::corruption(
        "directory node at offset " + std::to_string(offset) +
        " is reached twice"));
  }
  auto node = read_file_data(offset, kNodeSize);
  if (!node) return std::unexpected(std::move(node.error()));

  RecordReader reader(*node);
  std::array<std::uint32_t, kBranchesPerNode> branches{};
  for (std::uint32_t& branch : branches) {
    auto value = reader.u32();
    if (!value) return std::unexpected(std::move(value.error()));
    branch = *value;
  }
  auto entry_count = reader.u32();
  if (!entry_count) return std::unexpected(std::move(entry_count.error()));

  for (std::uint32_t i = 0; i < *entry_count; ++i) {
    auto entry = read_entry(reader);
    if (!entry) return std::unexpected(std::move(entry.error()));
    files_.insert_or_replace(*entry);
  }
  if (branches[0] == 0) return {};

  // entry_count is at most 61 here: a larger count ran out of node bytes.
  for (std::uint32_t i = 0; i <= *entry_count; ++i) {
    if (branches[i] == 0) continue;
    if (auto child = read_node(branches[i], state, depth + 1); !child) {
      return child;
    }
  }
  return {};
}

DatResult<std::vector<std::uint8_t>> DatDatabase::get_file(
    std::uint32_t id) const {
  const DatFileEntry* entry = files_.find(id);
  if (entry == nullptr) return std::unexpected(DatError::not_found(id));
  auto stored = read_file_data(entry->offset, entry->size);
  if (!stored || !entry->is_compressed()) return stored;
  return decompress_lrs(*stored);
}

std::optional<FileMetadata> DatDatabase::get_metadata(std::uint32_t id) const {
  const DatFileEntry* entry = files_.find(id);
  if (entry == nullptr) return std::nullopt;
  return FileMetadata{entry->id, entry->size, false};
}

}  // namespace quillstone_dat
