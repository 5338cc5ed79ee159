// DatWriter builds a complete archive from a set of files. An archive it
// writes, with B the block size:
//
//   0 .. 319      zero
//   320 .. 399    header
//   .. kB         zero, up to the first multiple of B
//   file chains   one per file, in id order
//   directory     the B-tree's nodes, each a chain of its own
//
// Every chain lies in consecutive blocks that start at multiples of B: each
// block's next field points at the block after it, the last block's is 0.
// The directory is a balanced B-tree: entries sorted by id, at most 61 per
// node, an internal node with k entries has k + 1 children, every leaf at
// the same depth. The header's file_size is the archive's length; the free
// list and the LRU fields are 0.
//
// The archive is written under a temporary name beside the target and
// renamed over it only once complete and flushed to disk, so the target
// names either its old contents or the whole new archive, never a part.

#ifndef QUILLSTONE_DAT_DAT_WRITER_H_
#define QUILLSTONE_DAT_DAT_WRITER_H_

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string_view>
#include <unordered_set>
#include <variant>
#include <vector>

#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/error.h"
#include "quillstone_dat/lrs.h"
#include "quillstone_dat/writable_file.h"
#include "quillstone_dat/writer_file.h"

namespace quillstone_dat {

namespace detail {
class ArchiveSink;  // where write() puts an archive's bytes
}  // namespace detail

struct WriterOptions {
  // At least DatWriter::kMinBlockSize.
  std::uint32_t block_size = 1024;
  // Header fields written as given; the writer fills in the rest.
  std::uint32_t magic = 0;
  std::uint32_t dataset = 0;
  std::uint32_t subset = 0;
  std::uint32_t master_map_id = 0;
  std::uint32_t engine_version = 0;
  std::uint32_t game_version = 0;
  std::array<std::uint8_t, 16> version_string{};
  std::uint32_t version_minor = 0;
  // How hard files stored as kCompressed or kSmallest are compressed.
  LrsLevel level = LrsLevel::kDefault;

  // Whether the writer takes the header field `name` (as
  // for_each_header_field names it) as given, rather than filling it in.
  static bool takes_header_field(std::string_view name);

  // The options that write an archive with `header`'s block size and the
  // fields above: to rewrite an archive keeping its header.
  static WriterOptions from_header(const DatHeader& header) {
    return {.block_size = header.block_size,
            .magic = header.magic,
            .dataset = header.dataset,
            .subset = header.subset,
            .master_map_id = header.master_map_id,
            .engine_version = header.engine_version,
            .game_version = header.game_version,
            .version_string = header.version_string,
            .version_minor = header.version_minor};
  }

  // The reverse: sets in `header` the block size and the fields above,
  // leaving the others (file size, root, free list, LRU fields) as they
  // are.
  void apply_to(DatHeader& header) const {
    header.magic = magic;
    header.block_size = block_size;
    header.dataset = dataset;
    header.subset = subset;
    header.master_map_id = master_map_id;
    header.engine_version = engine_version;
    header.game_version = game_version;
    header.version_string = version_string;
    header.version_minor = version_minor;
  }
};

// What write() produced.
struct ArchiveSummary {
  DatHeader header;  // as written; header.file_size is the archive's length
  std::uint32_t file_count = 0;
  std::uint32_t compressed_count = 0;  // entries with bit_flags bit 0 set
  std::uint64_t content_bytes = 0;     // the files' bytes as given
  std::uint64_t stored_bytes = 0;      // the entries' sizes
  std::uint32_t directory_nodes = 0;
  std::uint32_t directory_depth = 0;  // 0 for an empty directory
};

class DatWriter {
 public:
  // Smaller blocks would carry less payload than their own next field.
  static constexpr std::uint32_t kMinBlockSize = 8;

  explicit DatWriter(WriterOptions options = {});

  // Adds a file. DuplicateId when a file with that id was added before; the
  // earlier one is kept.
  DatResult<void> add(WriterFile file);

  std::size_t file_count() const { return files_.size(); }

  // Writes the archive to `target`, replacing any file there. Fails with no
  // file left behind and `target` untouched when the block size is under
  // kMinBlockSize, when the archive would pass the 4 GiB that 32-bit
  // offsets reach (checked before anything is written wherever the sizes
  // are known in advance), when a file's contents cannot be read (PathError
  // with that file's path; a reader's own error), or when writing fails
  // (PathError with `target` when the temporary file cannot be created, Io
  // after that).
  DatResult<ArchiveSummary> write(const std::filesystem::path& target) const;

  // Writes the archive into `file` in place of whatever it held, then
  // flushes it: an archive in memory, say. Fails as above, with Io for the
  // file's own errors; a failure after the first write leaves `file` holding
  // part of an archive, since there is no other name to write under.
  DatResult<ArchiveSummary> write(WritableFile& file) const;

 private:
  // The files in id order, once the block size and the 4 GiB limit allow
  // them.
  DatResult<std::vector<const WriterFile*>> order_checked() const;
  DatResult<ArchiveSummary> write_archive(
      std::span<const WriterFile* const> order,
      detail::ArchiveSink& sink) const;

  WriterOptions options_;
  std::vector<WriterFile> files_;
  std::unordered_set<std::uint32_t> ids_;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_DAT_WRITER_H_
