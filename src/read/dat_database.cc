#include "quillstone_dat/dat_database.h"

#include <algorithm>
#include <vector>

#include "format/block_chain.h"
#include "format/directory_walk.h"
#include "format/records.h"
#include "quillstone_dat/error_context.h"
#include "quillstone_dat/lrs.h"
#include "read/batch_read.h"
#include "utils/posix_file.h"

namespace quillstone_dat {

namespace {

// The file at `path`, checked to be one that can be read at offsets.
DatResult<PosixFile> open_archive_file(const std::filesystem::path& path) {
  auto file = PosixFile::open(path);
  if (!file) return std::unexpected(DatError::path_error(path, file.error()));
  if (auto seek = file->seek(kHeaderOffset); !seek) {
    DatError failed(std::move(seek.error()));
    failed.set_context({});
    return std::unexpected(std::move(failed));
  }
  return std::move(*file);
}

}  // namespace

DatResult<DatHeader> read_dat_header(const std::filesystem::path& path) {
  auto file = open_archive_file(path);
  if (!file) return std::unexpected(std::move(file.error()));
  return read_header(*file);
}

namespace {

// The entries of a directory in walk order, gathered before they go into
// the table, so that the table is sized once instead of rehashing as it
// fills. They wait in large fixed chunks: nothing copies them as the list
// grows, and the chunks are big enough to be handed back to the system
// when the walk ends instead of staying in the heap.
class EntryGatherer {
 public:
  void add(const DatFileEntry& entry) {
    if (chunks_.empty() || chunks_.back().size() == chunks_.back().capacity()) {
      // Chunks double from the first size up to the largest, so a small
      // archive allocates little and a large one is gathered without moving
      // entries that were already read.
      const std::size_t doublings = std::min<std::size_t>(chunks_.size(), 6);
      chunks_.emplace_back().reserve(
          std::min(kMaxChunkEntries, kFirstChunkEntries << doublings));
    }
    chunks_.back().push_back(entry);
    ++count_;
  }

  // In walk order: an id met twice keeps the entry read last.
  void insert_into(FileTable& table) const {
    table.reserve(table.size() + count_);
    for (const std::vector<DatFileEntry>& chunk : chunks_) {
      table.insert_or_replace(chunk);
    }
  }

 private:
  static constexpr std::size_t kFirstChunkEntries = std::size_t{1} << 10;
  static constexpr std::size_t kMaxChunkEntries = std::size_t{1} << 16;

  std::vector<std::vector<DatFileEntry>> chunks_;
  std::size_t count_ = 0;
};

}  // namespace

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
  EntryGatherer entries;
  auto walked = walk_directory(
      *file_, header_, length_at_open_, [&](const VisitedNode& visited) {
        for (const DatFileEntry& entry : visited.node.used_entries()) {
          entries.add(entry);
        }
      });
  if (!walked) return walked;
  entries.insert_into(files_);
  return {};
}

DatResult<std::vector<std::uint8_t>> DatDatabase::read_entry(
    const DatFileEntry& entry) const {
  return read_entry_chain(*file_, header_, entry, length_at_open_);
}

DatResult<std::vector<std::uint8_t>> DatDatabase::get_file(
    std::uint32_t id) const {
  const DatFileEntry* entry = files_.find(id);
  if (entry == nullptr) return std::unexpected(DatError::not_found(id));
  auto stored = read_entry(*entry);
  if (!stored || !entry->is_compressed()) return stored;
  return decompress_lrs(*stored);
}

DatResult<std::vector<std::uint8_t>> DatDatabase::get_stored(
    std::uint32_t id) const {
  const DatFileEntry* entry = files_.find(id);
  if (entry == nullptr) return std::unexpected(DatError::not_found(id));
  return read_entry(*entry);
}

void DatDatabase::visit_files(const FileSelection& selection,
                              const BatchOptions& options,
                              detail::BatchVisitorRef visit) const {
  read_in_batches({*file_, files_, header_, length_at_open_}, selection,
                  options, visit);
}

std::vector<std::uint32_t> DatDatabase::batch_order(
    const FileSelection& selection) const {
  return quillstone_dat::batch_order(files_, selection);
}

std::optional<FileMetadata> DatDatabase::get_metadata(std::uint32_t id) const {
  const DatFileEntry* entry = files_.find(id);
  if (entry == nullptr) return std::nullopt;
  return FileMetadata{entry->id, entry->size, false};
}

}  // namespace quillstone_dat
