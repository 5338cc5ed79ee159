#include "quillstone_dat/dat_writer.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <span>
#include <string>
#include <thread>
#include <type_traits>

#include "format/chain_layout.h"
#include "format/records.h"
#include "utils/joined_threads.h"
#include "utils/staged_file.h"
#include "write/directory_plan.h"
#include "write/stored_form.h"

namespace quillstone_dat {

namespace detail {

// Where an archive's bytes go: a file written at offsets, told as each
// stretch is done so that it may start writing it to disk.
class ArchiveSink {
 public:
  virtual ~ArchiveSink() = default;
  virtual std::expected<void, IoError> write_at(
      std::span<const std::uint8_t> bytes, std::uint64_t offset) = 0;
  virtual void written(std::uint64_t offset, std::uint64_t length) = 0;
  virtual std::expected<void, IoError> set_length(std::uint64_t length) = 0;
};

}  // namespace detail

namespace {

constexpr std::size_t kOutputBufferSize = std::size_t{1} << 20;

// Hands out chains front to back in consecutive, block-aligned blocks. An
// empty chain still takes a block, so that every entry points at a block
// of its own.
class BlockLayout {
 public:
  explicit BlockLayout(std::uint32_t block_size) : layout_(block_size) {}

  // The offset of the first block of a chain of `size` bytes; fails when the
  // chain would end past 4 GiB.
  DatResult<std::uint32_t> allocate(std::uint64_t size) {
    const std::uint64_t start = layout_.round_up(end_);
    // A size this large has no 32-bit entry anyway; it is refused before
    // the product below could overflow.
    if (size > kMaxStoredSize) {
      return std::unexpected(archive_too_large(start + size));
    }
    const std::uint64_t end =
        start + layout_.blocks_for(size) * layout_.block_size();
    if (auto fits = check_archive_end(end); !fits) {
      return std::unexpected(std::move(fits.error()));
    }
    end_ = end;
    return static_cast<std::uint32_t>(start);
  }

  std::uint64_t end() const { return end_; }

 private:
  ChainLayout layout_;
  std::uint64_t end_ = kHeaderEnd;
};

// The archive's own file beside its target, to be renamed over it.
class StagedSink final : public detail::ArchiveSink {
 public:
  explicit StagedSink(StagedFile& file) : file_(file) {}
  std::expected<void, IoError> write_at(std::span<const std::uint8_t> bytes,
                                        std::uint64_t offset) override {
    return file_.write_at(bytes, offset);
  }
  void written(std::uint64_t offset, std::uint64_t length) override {
    file_.start_writeback(offset, length);
  }
  std::expected<void, IoError> set_length(std::uint64_t length) override {
    return file_.set_length(length);
  }

 private:
  StagedFile& file_;
};

// A caller's file, written in place.
class WritableSink final : public detail::ArchiveSink {
 public:
  explicit WritableSink(WritableFile& file) : file_(file) {}
  std::expected<void, IoError> write_at(std::span<const std::uint8_t> bytes,
                                        std::uint64_t offset) override {
    return file_.write_at(bytes, offset);
  }
  void written(std::uint64_t, std::uint64_t) override {}
  std::expected<void, IoError> set_length(std::uint64_t length) override {
    return file_.set_length(length);
  }

 private:
  WritableFile& file_;
};

// Sequential, buffered output into the sink. The first failure sticks:
// later calls do nothing, and status() reports it.
class ArchiveOutput {
 public:
  // The buffer grows as bytes arrive, up to kOutputBufferSize, so a small
  // archive never sets up the whole of it.
  explicit ArchiveOutput(detail::ArchiveSink& file) : file_(file) {}

  void put(std::span<const std::uint8_t> bytes) {
    if (buffer_.size() + bytes.size() > kOutputBufferSize) {
      flush();
      if (bytes.size() >= kOutputBufferSize) {
        if (status_) status_ = file_.write_at(bytes, buffer_start_);
        if (status_) file_.written(buffer_start_, bytes.size());
        buffer_start_ += bytes.size();
        return;
      }
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  }

  void put_next_field(std::uint32_t next) {
    std::uint8_t encoded[kNextFieldSize];
    encode_next_field(encoded, next);
    put(encoded);
  }

  // Zeros up to `offset`; a long run is left as a hole in the file.
  void skip_to(std::uint64_t offset) {
    const std::uint64_t gap = offset - position();
    if (gap <= kOutputBufferSize - buffer_.size()) {
      buffer_.resize(buffer_.size() + gap);
      return;
    }
    flush();
    buffer_start_ = offset;
  }

  std::uint64_t position() const { return buffer_start_ + buffer_.size(); }

  const std::expected<void, IoError>& flush() {
    if (status_ && !buffer_.empty()) {
      status_ = file_.write_at(buffer_, buffer_start_);
      if (status_) file_.written(buffer_start_, buffer_.size());
    }
    buffer_start_ += buffer_.size();
    buffer_.clear();
    return status_;
  }

  const std::expected<void, IoError>& status() const { return status_; }

 private:
  detail::ArchiveSink& file_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t buffer_start_ = 0;
  std::expected<void, IoError> status_;
};

// Lays `bytes` out as a chain of consecutive blocks from `offset`.
void write_chain(ArchiveOutput& out, std::uint32_t offset,
                 std::span<const std::uint8_t> bytes,
                 std::uint32_t block_size) {
  const ChainLayout layout(block_size);
  const std::size_t payload = layout.payload();
  const std::uint64_t blocks = layout.blocks_for(bytes.size());
  out.skip_to(offset);
  for (std::uint64_t block = 0; block < blocks; ++block) {
    const bool last = block + 1 == blocks;
    // The layout has checked that the chain ends within 32 bits.
    out.put_next_field(
        last ? 0
             : static_cast<std::uint32_t>(offset + (block + 1) * block_size));
    const std::span<const std::uint8_t> piece = bytes.subspan(
        static_cast<std::size_t>(block) * payload,
        std::min(payload,
                 bytes.size() - static_cast<std::size_t>(block) * payload));
    out.put(piece);
    out.skip_to(out.position() + (payload - piece.size()));
  }
}

// The length of a file's contents as far as it is known before reading
// them: 0 for a file whose length cannot be learnt, which reading it later
// reports.
std::uint64_t known_content_size(const WriterFile& file) {
  if (const auto* bytes =
          std::get_if<std::vector<std::uint8_t>>(&file.contents)) {
    return bytes->size();
  }
  if (const auto* reader = std::get_if<ContentsReader>(&file.contents)) {
    return reader->size;
  }
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(
      std::get<std::filesystem::path>(file.contents), error);
  return error ? 0 : size;
}

// The fewest bytes that contents of `size` bytes can take stored.
std::uint64_t least_stored_size(Storage storage, std::uint64_t size) {
  if (storage == Storage::kPlain || storage == Storage::kPreStored) return size;
  // Every two bytes of a stream yield at most 17.
  return std::min(size, 4 + size / 17 * 2);
}

// Fails when the archive cannot fit in 4 GiB however well its files
// compress, before any byte is written.
DatResult<void> check_fits(std::span<const WriterFile* const> files,
                           std::size_t node_count, std::uint32_t block_size) {
  BlockLayout layout(block_size);
  for (const WriterFile* file : files) {
    const std::uint64_t size = known_content_size(*file);
    if (size > kMaxStoredSize) {
      return std::unexpected(file_too_large(file->id, size));
    }
    auto placed = layout.allocate(least_stored_size(file->storage, size));
    if (!placed) return std::unexpected(std::move(placed.error()));
  }
  for (std::size_t node = 0; node < node_count; ++node) {
    auto placed = layout.allocate(kNodeSize);
    if (!placed) return std::unexpected(std::move(placed.error()));
  }
  return {};
}

// Files' stored forms made ahead of the writing, a batch at a time, on
// several threads: reading many small files and compressing are what a
// write spends its time on, and both spread over cores. A batch holds up
// to kBatchFiles files or about kBatchBytes of contents, so memory stays
// bounded whatever the archive's size.
class StoreAhead {
 public:
  static constexpr std::size_t kBatchFiles = 256;
  static constexpr std::uint64_t kBatchBytes = std::uint64_t{32} << 20;

  StoreAhead(std::span<const WriterFile* const> files, LrsLevel level)
      : files_(files), level_(level), forms_(files.size()) {}

  // The stored form of files[i], made with the rest of its batch when i
  // is the batch's first. Called with i rising from 0.
  DatResult<StoredForm>& form(std::size_t i) {
    if (i == batch_end_) store_batch(i);
    return forms_[i];
  }

 private:
  void store_batch(std::size_t first) {
    std::size_t last = first;
    std::uint64_t bytes = 0;
    while (last < files_.size() && last - first < kBatchFiles &&
           bytes < kBatchBytes) {
      bytes += known_content_size(*files_[last++]);
    }
    batch_end_ = last;
    std::atomic<std::size_t> next{first};
    const auto work = [&] {
      for (std::size_t i = next++; i < last; i = next++) {
        forms_[i] = store(*files_[i], level_);
      }
    };
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t helpers = std::min(last - first, cores) - 1;
    JoinedThreads threads;
    for (std::size_t t = 0; t < helpers; ++t) threads.start(work);
    work();
  }

  std::span<const WriterFile* const> files_;
  const LrsLevel level_;
  std::vector<DatResult<StoredForm>> forms_;
  std::size_t batch_end_ = 0;
};

std::array<std::uint8_t, kNodeSize> encode_node(
    const PlannedNode& planned, std::span<const DatFileEntry> entries,
    std::span<const std::uint32_t> node_offsets) {
  DirectoryNode node;
  for (std::size_t i = 0; i < planned.children.size(); ++i) {
    node.branches[i] = node_offsets[planned.children[i]];
  }
  node.entry_count = static_cast<std::uint32_t>(planned.entries.size());
  for (std::size_t i = 0; i < planned.entries.size(); ++i) {
    node.entries[i] = entries[planned.entries[i]];
  }
  std::array<std::uint8_t, kNodeSize> bytes;
  encode_directory_node(node, bytes);
  return bytes;
}

}  // namespace

bool WriterOptions::takes_header_field(std::string_view name) {
  // A field the options carry survives a round trip through them; one the
  // writer fills in comes back 0. block_size is an option of its own.
  DatHeader marked;
  for_each_header_field(marked, [](const char*, auto& field) {
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(field)>,
                                 std::uint32_t>) {
      field = 1;
    } else {
      field.fill(1);
    }
  });
  DatHeader back;
  from_header(marked).apply_to(back);
  bool taken = false;
  for_each_header_field(back, [&](const char* field_name, const auto& field) {
    if (name != field_name || name == "block_size") return;
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(field)>,
                                 std::uint32_t>) {
      taken = field == 1;
    } else {
      taken = field[0] == 1;
    }
  });
  return taken;
}

DatWriter::DatWriter(WriterOptions options) : options_(options) {}

DatResult<void> DatWriter::add(WriterFile file) {
  if (!ids_.insert(file.id).second) {
    return std::unexpected(DatError::duplicate_id(file.id));
  }
  files_.push_back(std::move(file));
  return {};
}

DatResult<ArchiveSummary> DatWriter::write(
    const std::filesystem::path& target) const {
  auto order = order_checked();
  if (!order) return std::unexpected(std::move(order.error()));
  auto staged = StagedFile::create(target);
  if (!staged)
    return std::unexpected(DatError::path_error(target, staged.error()));
  StagedSink sink(*staged);
  auto summary = write_archive(*order, sink);
  if (!summary) return summary;
  if (auto done = staged->commit(); !done) {
    return std::unexpected(DatError::path_error(target, done.error()));
  }
  return summary;
}

DatResult<ArchiveSummary> DatWriter::write(WritableFile& file) const {
  auto order = order_checked();
  if (!order) return std::unexpected(std::move(order.error()));
  // Emptied first: the stretches the writer skips must read as zero.
  if (auto emptied = file.set_length(0); !emptied) {
    return std::unexpected(std::move(emptied.error()));
  }
  WritableSink sink(file);
  auto summary = write_archive(*order, sink);
  if (!summary) return summary;
  if (auto synced = file.sync(); !synced) {
    return std::unexpected(std::move(synced.error()));
  }
  return summary;
}

DatResult<std::vector<const WriterFile*>> DatWriter::order_checked() const {
  const std::uint32_t block_size = options_.block_size;
  if (block_size < kMinBlockSize) {
    return std::unexpected(DatError::other(
        "block size " + std::to_string(block_size) +
        " is below the minimum of " + std::to_string(kMinBlockSize)));
  }
  std::vector<const WriterFile*> order;
  order.reserve(files_.size());
  for (const WriterFile& file : files_) order.push_back(&file);
  std::sort(
      order.begin(), order.end(),
      [](const WriterFile* a, const WriterFile* b) { return a->id < b->id; });
  const std::size_t nodes = plan_directory(order.size()).nodes.size();
  if (auto fits = check_fits(order, nodes, block_size); !fits) {
    return std::unexpected(std::move(fits.error()));
  }
  return order;
}

DatResult<ArchiveSummary> DatWriter::write_archive(
    std::span<const WriterFile* const> order, detail::ArchiveSink& sink) const {
  const std::uint32_t block_size = options_.block_size;
  const DirectoryPlan plan = plan_directory(order.size());
  ArchiveOutput out(sink);
  BlockLayout layout(block_size);
  ArchiveSummary summary;
  std::vector<DatFileEntry> entries;
  entries.reserve(order.size());

  StoreAhead ahead(order, options_.level);
  for (std::size_t i = 0; i < order.size(); ++i) {
    const WriterFile* const file = order[i];
    DatResult<StoredForm>& stored = ahead.form(i);
    if (!stored) return std::unexpected(std::move(stored.error()));
    const std::span<const std::uint8_t> bytes = stored->bytes();
    if (bytes.size() > kMaxStoredSize) {
      return std::unexpected(file_too_large(file->id, bytes.size()));
    }
    auto offset = layout.allocate(bytes.size());
    if (!offset) return std::unexpected(std::move(offset.error()));
    write_chain(out, *offset, bytes, block_size);
    if (!out.status()) return std::unexpected(out.status().error());
    entries.push_back({stored->bit_flags, file->id, *offset,
                       static_cast<std::uint32_t>(bytes.size()),
                       file->timestamp, file->version});
    summary.content_bytes += stored->content_size;
    summary.stored_bytes += bytes.size();
    if (entries.back().is_compressed()) ++summary.compressed_count;
    stored = StoredForm{};  // its bytes are written: free them
  }

  std::vector<std::uint32_t> node_offsets;
  node_offsets.reserve(plan.nodes.size());
  for (std::size_t node = 0; node < plan.nodes.size(); ++node) {
    auto offset = layout.allocate(kNodeSize);
    if (!offset) return std::unexpected(std::move(offset.error()));
    node_offsets.push_back(*offset);
  }
  for (std::size_t node = 0; node < plan.nodes.size(); ++node) {
    const auto bytes = encode_node(plan.nodes[node], entries, node_offsets);
    write_chain(out, node_offsets[node], bytes, block_size);
  }
  if (!out.flush()) return std::unexpected(out.status().error());

  DatHeader header;
  options_.apply_to(header);
  header.file_size = static_cast<std::uint32_t>(layout.end());
  header.root_offset = node_offsets.empty() ? 0 : node_offsets.front();
  std::array<std::uint8_t, kHeaderSize> encoded{};
  encode_header(header, encoded);
  if (auto done = sink.write_at(encoded, kHeaderOffset); !done) {
    return std::unexpected(std::move(done.error()));
  }
  if (auto done = sink.set_length(layout.end()); !done) {
    return std::unexpected(std::move(done.error()));
  }

  summary.header = header;
  summary.file_count = static_cast<std::uint32_t>(entries.size());
  summary.directory_nodes = static_cast<std::uint32_t>(plan.nodes.size());
  summary.directory_depth = plan.depth;
  return summary;
}

}  // namespace quillstone_dat
