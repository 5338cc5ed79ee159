#include "quillstone_dat/dat_database.h"

#include <algorithm>
#include <array>
#include <string>
#include <unordered_set>

#include "lib/block_chain.h"
#include "lib/dat_records.h"
#include "lib/record_reader.h"
#include "quillstone_dat/lrs.h"
#include "quillstone_dat/posix_file.h"
#include "utils/coding.h"

namespace quillstone_dat {

namespace {

// Reads what there is of the header's 80 bytes. A read error stops the
// bytes where it struck, so the field covering that spot reports it.
RecordReader header_reader(
    const FileExtPolyfill& file,
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
  if (auto walked = read_node(offset, state, 1); !walked) return walked;
  files_.reserve(files_.size() + state.entry_count);
  // In walk order: an id met twice keeps the entry read last.
  for (const std::vector<DatFileEntry>& chunk : state.chunks) {
    for (const DatFileEntry& entry : chunk) files_.insert_or_replace(entry);
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
  auto node = read_file_data(offset, kNodeSize);
  if (!node) return std::unexpected(std::move(node.error()));

  // The node's 1716 bytes are all there, so the branches, the count and
  // up to 61 entries decode without a failure to report. A larger count
  // runs out of bytes: that goes through the record reader, which names the
  // field where the node ends.
  const std::uint8_t* const bytes = node->data();
  std::array<std::uint32_t, kBranchesPerNode> branches{};
  for (std::size_t i = 0; i < kBranchesPerNode; ++i) {
    branches[i] = decode_fixed32(bytes + 4 * i);
  }
  const std::uint32_t entry_count =
      decode_fixed32(bytes + 4 * kBranchesPerNode);
  if (entry_count > kMaxEntriesPerNode) {
    RecordReader reader(*node);
    for (std::size_t i = 0; i <= kBranchesPerNode; ++i) (void)reader.u32();
    for (std::uint32_t i = 0; i < entry_count; ++i) {
      auto entry = read_entry(reader);
      if (!entry) return std::unexpected(std::move(entry.error()));
    }
    return std::unexpected(DatError::corruption(
        "directory node at offset " + std::to_string(offset) + " holds " +
        std::to_string(entry_count) + " entries"));
  }
  const std::uint8_t* entry_bytes = bytes + 4 * kBranchesPerNode + 4;
  for (std::uint32_t i = 0; i < entry_count; ++i) {
    state.add(decode_entry({entry_bytes, DatFileEntry::kEncodedSize}));
    entry_bytes += DatFileEntry::kEncodedSize;
  }
  if (branches[0] == 0) return {};

  for (std::uint32_t i = 0; i <= entry_count; ++i) {
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
