#include "quillstone_dat/dat_database.h"

#include <algorithm>
#include <array>
#include <string>
#include <unordered_set>

#include "format/block_chain.h"
#include "format/records.h"
#include "quillstone_dat/lrs.h"
#include "read/batch_read.h"
#include "utils/posix_file.h"

namespace quillstone_dat {

namespace {

// Reads what there is of the header's 80 bytes and decodes it. A read error
// stops the bytes where it struck, so the field covering that spot reports
// it.
DatResult<DatHeader> read_header(const FileExtPolyfill& file) {
  std::array<std::uint8_t, kHeaderSize> bytes{};
  std::size_t filled = 0;
  std::optional<IoError> error;
  while (filled < bytes.size()) {
    auto n =
        file.read_at(std::span(bytes).subspan(filled), kHeaderOffset + filled);
    if (!n) {
      if (n.error().kind() == IoErrorKind::kInterrupted) continue;
      error = std::move(n.error());
      break;
    }
    if (*n == 0) break;
    filled += *n;
  }
  auto header = decode_header(std::span(bytes).first(filled), std::move(error));
  if (!header) return std::unexpected(std::move(header.error()));
  return *header;
}

// The file at `path`, checked to be one that can be read at offsets.
DatResult<PosixFile> open_archive_file(const std::filesystem::path& path) {
  auto file = PosixFile::open(path);
  if (!file) return std::unexpected(DatError::path_error(path, file.error()));
  if (auto seek = file->seek(kHeaderOffset); !seek) {
    return std::unexpected(std::move(seek.error()));
  }
  return std::move(*file);
}

}  // namespace

DatResult<DatHeader> read_dat_header(const std::filesystem::path& path) {
  auto file = open_archive_file(path);
  if (!file) return std::unexpected(std::move(file.error()));
  return read_header(*file);
}

// Nodes visited by one walk: reaching a node twice means the branches form
// a cycle or share a subtree, either of which would never end or cost
// exponential time. Entries are gathered in walk order and go into the
// table once the walk is done, so the table is sized once instead of
// rehashing as it fills. They wait in large fixed chunks: nothing copies
// them as the list grows, and the chunks are big enough to be handed back
// to the system when the walk ends instead of staying in the heap.
struct DatDatabase::WalkState {
  // Chunks double from the first size up to the largest, so a small
  // archive allocates little and a large one is gathered without moving
  // entries that were already read.
  static constexpr std::size_t kFirstChunkEntries = std::size_t{1} << 10;
  static constexpr std::size_t kMaxChunkEntries = std::size_t{1} << 16;

  void add(const DatFileEntry& entry) {
    if (chunks.empty() || chunks.back().size() == chunks.back().capacity()) {
      const std::size_t doublings = std::min<std::size_t>(chunks.size(), 6);
      chunks.emplace_back().reserve(
          std::min(kMaxChunkEntries, kFirstChunkEntries << doublings));
    }
    chunks.back().push_back(entry);
    ++entry_count;
  }

  std::unordered_set<std::uint32_t> visited;
  std::vector<std::vector<DatFileEntry>> chunks;
  std::size_t entry_count = 0;
};

DatDatabase::DatDatabase(std::shared_ptr<const FileExtPolyfill> file,
                         DatHeader header, std::uint64_t length_at_open)
    : header_(header),
      file_(std::move(file)),
      length_at_open_(length_at_open) {}

DatResult<DatDatabase> DatDatabase::open(const std::filesystem::path& path) {
  auto file = open_archive_file(path);
  if (!file) return std::unexpected(std::move(file.error()));
  return open(std::make_shared<PosixFile>(std::move(*file)));
}

DatResult<DatDatabase> DatDatabase::open(
    std::shared_ptr<const FileExtPolyfill> file) {
  auto header = read_header(*file);
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
  if (auto walked = read_node(offset, state, 1); !walked) return walked;
  files_.reserve(files_.size() + state.entry_count);
  // In walk order: an id met twice keeps the entry read last.
  for (const std::vector<DatFileEntry>& chunk : state.chunks) {
    files_.insert_or_replace(chunk);
  }
  return {};
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
    return std::unexpected(DatError::corruption("directory node at offset " +
                                                std::to_string(offset) +
                                                " is reached twice"));
  }
  auto bytes = read_file_data(offset, kNodeSize);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  auto node =
      decode_directory_node(std::span<const std::uint8_t, kNodeSize>(*bytes));
  if (!node) return std::unexpected(std::move(node.error()));
  for (const DatFileEntry& entry : node->used_entries()) state.add(entry);
  for (const std::uint32_t branch : node->child_branches()) {
    if (branch == 0) continue;
    if (auto child = read_node(branch, state, depth + 1); !child) return child;
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

void DatDatabase::visit_files(const FileSelection& selection,
                              const BatchOptions& options,
                              BatchVisitorRef visit) const {
  read_in_batches({*file_, files_, header_.block_size, length_at_open_},
                  selection, options, visit);
}

std::optional<FileMetadata> DatDatabase::get_metadata(std::uint32_t id) const {
  const DatFileEntry* entry = files_.find(id);
  if (entry == nullptr) return std::nullopt;
  return FileMetadata{entry->id, entry->size, false};
}

}  // namespace quillstone_dat
