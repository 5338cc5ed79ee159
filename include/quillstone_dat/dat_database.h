// DatDatabase is one opened archive: its header, the complete table of
// directory entries and the open file. open() reads the header at offset 320
// and walks the whole directory B-tree before it returns, so a database
// exists only fully loaded; afterwards nothing changes it. A directory that
// nests deeper than 64 levels, or reaches a node twice, is Corruption.
//
// Every read after open is a positioned read and no state is kept per call,
// so get_file, get_stored, get_metadata, exists, read_file_data and
// for_each_file may run on one database from several threads at once
// without locks. Nothing is cached.

#ifndef QUILLSTONE_DAT_DAT_DATABASE_H_
#define QUILLSTONE_DAT_DAT_DATABASE_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "quillstone_dat/archive_check.h"
#include "quillstone_dat/batch_read.h"
#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/error.h"
#include "quillstone_dat/file_ext_polyfill.h"
#include "quillstone_dat/file_table.h"
#include "quillstone_dat/range_reader.h"
#include "quillstone_dat/resource_provider.h"

namespace quillstone_dat {

class DatDatabase final : public ResourceProvider {
 public:
  // Opens the archive at `path` read-only. A file that cannot be opened
  // gives PathError carrying `path` as given.
  static DatResult<DatDatabase> open(const std::filesystem::path& path);

  // Opens an archive read through `file` (an in-memory or fault-injecting
  // file, say).
  static DatResult<DatDatabase> open(
      std::shared_ptr<const FileExtPolyfill> file);

  const DatHeader& header() const { return header_; }
  const FileTable& files() const { return files_; }

  // The first `size` bytes of the block chain starting at `offset`. Each
  // block is block_size bytes: a u32 offset of the next block (0: the rest
  // follows contiguously), then payload. The walk ends when `size` bytes are
  // copied, so a looping chain ends too.
  DatResult<std::vector<std::uint8_t>> read_file_data(std::uint32_t offset,
                                                      std::uint32_t size) const;

  // The file's bytes, decompressed when its entry is compressed; NotFound
  // when the table has no entry for `id`.
  DatResult<std::vector<std::uint8_t>> get_file(
      std::uint32_t id) const override;

  // The file's stored bytes, not decompressed: what read_file_data gives for
  // its entry. NotFound when the table has no entry for `id`.
  DatResult<std::vector<std::uint8_t>> get_stored(std::uint32_t id) const;

  std::optional<FileMetadata> get_metadata(std::uint32_t id) const override;

  // The length of what get_file (get_stored when `raw`) returns for `id`,
  // reading no more than the format needs: a stored file's (or, raw, any
  // file's) entry size without reading anything; for a compressed file the
  // stored payload is read and its token stream walked without decoding
  // (lrs_decoded_size), so that a stream that ends early gives the length
  // it really decodes to, not the larger size its prefix declares.
  // NotFound for an absent id; a failed read, as get_file fails.
  DatResult<std::uint64_t> file_length(std::uint32_t id,
                                       bool raw = false) const;

  // A reader of ranges of `id` (range_reader.h); NotFound for an absent
  // id. Nothing is read until its first read.
  DatResult<RangeReader> range_reader(std::uint32_t id,
                                      bool raw = false) const;

  // Fills a prefix of `buffer` with bytes [offset, offset + size) of what
  // get_file (get_stored when `raw`) returns for `id`, as
  // RangeReader::read does, and returns its length. A stored file is read
  // from its chain's start to the range's last block, following next
  // fields, and from the range's first block on; only the blocks that hold
  // the range are read whole.
  DatResult<std::size_t> read_range(std::uint32_t id, std::uint64_t offset,
                                    std::span<std::uint8_t> buffer,
                                    bool raw = false) const;

  // Reads the selected files in the order their chains lie in the archive
  // and hands each to `visit` as a BatchFile: its entry and exactly what
  // get_file (get_stored when options.raw) would return, the bytes
  // valid during the call only. Absent ids come first, in list order. A
  // file that fails is handed over with its error and the pass goes on;
  // the pass ends early when `visit` returns BatchStep::kStop.
  //
  // Neighbouring chains whose blocks follow each other are fetched together
  // in reads of up to options.window_bytes; any other chain is read alone,
  // as get_file reads it. The pass holds the window, the file in hand and
  // a 16-byte record per selected file. Like get_file it takes no lock:
  // several threads may run passes on one database at once.
  //
  //   db.for_each_file({}, {}, [&](const BatchFile& file) {
  //     if (!file.bytes) return BatchStep::kStop;
  //     consume(file.id, *file.bytes);
  //     return BatchStep::kContinue;
  //   });
  template <BatchVisitor Visitor>
  void for_each_file(const FileSelection& selection,
                     const BatchOptions& options, Visitor&& visit) const {
    visit_files(selection, options, detail::BatchVisitorRef(visit));
  }

  // The ids in the order for_each_file(selection, ...) hands them over:
  // ids the archive lacks first, in list order, then by where their chains
  // start. A caller that reads a pass in parts of its own gives each part
  // as FileSelection::of, in this order, and gets the same visits.
  std::vector<std::uint32_t> batch_order(const FileSelection& selection) const;

  // Checks the whole archive as it is now (archive_check.h): walks the
  // directory again and follows every chain. Fails only where the directory
  // can no longer be walked, with the error the open would give.
  DatResult<CheckReport> check(const CheckOptions& options = {}) const;

 private:
  DatDatabase(std::shared_ptr<const FileExtPolyfill> file, DatHeader header,
              std::uint64_t length_at_open);

  void visit_files(const FileSelection& selection, const BatchOptions& options,
                   detail::BatchVisitorRef visit) const;

  // Fills files_ from the tree at header_.root_offset; only open() calls it.
  DatResult<void> read_directory();
  // The stored bytes of `entry`, a failure naming it in its context.
  DatResult<std::vector<std::uint8_t>> read_entry(
      const DatFileEntry& entry) const;

  DatHeader header_;
  FileTable files_;
  std::shared_ptr<const FileExtPolyfill> file_;
  std::uint64_t length_at_open_;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_DAT_DATABASE_H_
