// Test-side helpers for building archives byte by byte: a header, blocks and
// directory nodes placed at chosen offsets, so that well-formed and
// malformed archives alike take a few lines each. The records are laid out
// by support/record_bytes.h, not by the library's encoders. Also in-memory
// and fault-injecting files to put beneath a database, and a scratch
// folder.

#ifndef QUILLSTONE_DAT_TESTS_SUPPORT_ARCHIVE_BUILDER_H_
#define QUILLSTONE_DAT_TESTS_SUPPORT_ARCHIVE_BUILDER_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/error.h"
#include "quillstone_dat/file_ext_polyfill.h"
#include "quillstone_dat/writable_file.h"
#include "support/record_bytes.h"

namespace quillstone_dat::testing {

Bytes bytes_of(std::string_view text);

// `size` bytes, byte i being first + i * step (mod 256): with the default
// step every value once in 256 bytes, neighbours apart, so that bytes out
// of place show.
Bytes numbered(std::size_t size, std::uint8_t first = 1, std::uint8_t step = 7);

// `size` bytes of noise that differ from one salt to another and hardly
// compress.
Bytes pattern(std::size_t size, std::uint32_t salt);

// The directory node that `db`'s archive holds at `offset`: the 1716 bytes
// its chain yields, read as the directory walk reads them, then taken apart
// by node_from_bytes rather than by the library's decoder.
DatResult<Node> read_directory_node(const DatDatabase& db,
                                    std::uint32_t offset);

class ArchiveBuilder {
 public:
  // An image of 400 bytes whose header has the given block size and
  // root_offset 0 (an empty directory).
  explicit ArchiveBuilder(std::uint32_t block_size = 256);

  DatHeader& header() { return header_; }

  // Writes raw bytes at `offset`, growing the image with zeros as needed.
  ArchiveBuilder& put(std::uint64_t offset, std::span<const std::uint8_t> data);
  ArchiveBuilder& put_u32(std::uint64_t offset, std::uint32_t value);

  // Lays `data` out as a chain through `blocks` (block offsets, in chain
  // order): each block's next field points at the following one, the last
  // block's at `last_next` (0 by default). Every block but the last carries
  // block_size - 4 bytes; the last carries the rest, contiguously.
  ArchiveBuilder& put_chain(std::span<const std::uint32_t> blocks,
                            std::span<const std::uint8_t> data,
                            std::uint32_t last_next = 0);

  // A node stored as a one-block chain at `offset`: next field 0, then the
  // node's 1716 bytes.
  ArchiveBuilder& put_node(std::uint32_t offset, const Node& node);

  // Stores `node` at end() as above and makes it the directory's root.
  ArchiveBuilder& put_root(const Node& node);

  // A directory `levels` deep, one node a level: node_at(level, child) at
  // 1000 + level * 1728, `child` the offset of the node below it (0 under
  // the last), and the root at 1000.
  ArchiveBuilder& put_nested_nodes(
      std::uint32_t levels,
      const std::function<Node(std::uint32_t level, std::uint32_t child)>&
          node_at);

  // The first offset past the image's current end, rounded up to 16.
  std::uint32_t end() const;

  // Stores `data` contiguously at end() (one block with next field 0) and
  // returns an entry for it.
  DatFileEntry add_file(std::uint32_t id, std::span<const std::uint8_t> data,
                        std::uint32_t bit_flags = 0);

  // The image with the header encoded at offset 320.
  Bytes bytes() const;
  // Writes bytes() to `path` and returns it.
  std::filesystem::path write(const std::filesystem::path& path) const;

 private:
  DatHeader header_{};
  Bytes image_;
};

struct TestFile {
  std::uint32_t id;
  Bytes data;
  std::uint32_t bit_flags = 0;
};

// A well-formed archive: every file stored as a chain of scattered blocks,
// directory a root leaf or, past 61 files, a root with leaf children.
Bytes build_archive(std::span<const TestFile> files,
                    std::uint32_t block_size = 256);

// A file held in memory. Thread-safe for reads.
class MemoryFile : public FileExtPolyfill {
 public:
  explicit MemoryFile(Bytes bytes) : bytes_(std::move(bytes)) {}
  std::expected<std::size_t, IoError> read_at(
      std::span<std::uint8_t> buffer, std::uint64_t offset) const override;
  std::expected<std::uint64_t, IoError> length() const override;
  // Shortens the file, as if truncated after it was opened.
  void truncate(std::size_t length) { bytes_.resize(length); }

 private:
  Bytes bytes_;
};

// A file held in memory that can be written too, and made to fail every
// write from a given one on (counted from 1) with `errno_value`.
class MemoryWritableFile final : public WritableFile {
 public:
  explicit MemoryWritableFile(Bytes bytes = {}) : bytes_(std::move(bytes)) {}
  void fail_from(std::size_t write, int errno_value) {
    fail_from_ = write;
    failure_ = errno_value;
  }
  const Bytes& bytes() const { return bytes_; }
  std::size_t syncs() const { return syncs_; }

  std::expected<std::size_t, IoError> read_at(
      std::span<std::uint8_t> buffer, std::uint64_t offset) const override;
  std::expected<std::uint64_t, IoError> length() const override {
    return bytes_.size();
  }
  std::expected<void, IoError> write_at(std::span<const std::uint8_t> bytes,
                                        std::uint64_t offset) override;
  std::expected<void, IoError> sync() override;
  std::expected<void, IoError> set_length(std::uint64_t length) override;

 private:
  // Counts a write or length change; false when it is to fail.
  bool counts();

  Bytes bytes_;
  std::size_t writes_ = 0;
  std::size_t syncs_ = 0;
  std::size_t fail_from_ = 0;
  int failure_ = 0;
};

// Wraps a file and lets a test decide each read_at call's fate: before the
// call, `fault` is asked with the call's index (from 0) and offset; an error
// it returns is reported instead of reading. `max_chunk` caps the bytes one
// call returns, to produce short reads.
class FaultyFile : public FileExtPolyfill {
 public:
  using Fault = std::function<std::optional<IoError>(std::size_t call,
                                                     std::uint64_t offset)>;

  FaultyFile(std::shared_ptr<const FileExtPolyfill> inner, Fault fault,
             std::size_t max_chunk = SIZE_MAX)
      : inner_(std::move(inner)),
        fault_(std::move(fault)),
        max_chunk_(max_chunk) {}

  std::expected<std::size_t, IoError> read_at(
      std::span<std::uint8_t> buffer, std::uint64_t offset) const override;
  std::expected<std::uint64_t, IoError> length() const override {
    return inner_->length();
  }
  std::size_t calls() const { return calls_; }

 private:
  std::shared_ptr<const FileExtPolyfill> inner_;
  Fault fault_;
  std::size_t max_chunk_;
  mutable std::atomic<std::size_t> calls_{0};
};

// Writes `bytes` to `path`, replacing it, and returns the path.
std::filesystem::path write_bytes(const std::filesystem::path& path,
                                  std::span<const std::uint8_t> bytes);
// The bytes of the file at `path`; none when it cannot be read.
Bytes read_bytes(const std::filesystem::path& path);

// Opens an archive image held in memory.
DatResult<DatDatabase> open_in_memory(Bytes image);

// Opens an archive image held in memory, then fails every later read with
// EIO: what the database still answers, it answers from the table read at
// open.
DatResult<DatDatabase> open_then_fail_reads(Bytes image);

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const {
    return path_ / name;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_SUPPORT_ARCHIVE_BUILDER_H_
