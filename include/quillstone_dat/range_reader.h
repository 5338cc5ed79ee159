// RangeReader reads parts of one file of an open archive: the bytes
// [offset, offset + n) of what get_file (get_stored, raw) returns for it,
// without reading the rest where the format allows. DatDatabase::
// range_reader makes one; DatDatabase::read_range reads one range without
// keeping a reader.
//
// A stored file (or any file, raw) is read from the blocks that hold the
// range. The reader remembers where the chain's blocks lie as it passes
// them, so reads in sequence cost one positioned read each, however long
// the file, and a read behind one already made starts from the block it
// needs. A block it has not passed is found by following next fields from
// the last block it knows, in large reads over blocks that follow each
// other. A compressed file cannot be entered midway: the first read
// decodes it whole and the reader keeps the decoded bytes.
//
// One reader takes one read at a time (it locks); make one per thread for
// reads at once. It must not outlive its database.

#ifndef QUILLSTONE_DAT_RANGE_READER_H_
#define QUILLSTONE_DAT_RANGE_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/error.h"

namespace quillstone_dat {

class DatDatabase;

class RangeReader {
 public:
  RangeReader(RangeReader&&) noexcept;
  RangeReader& operator=(RangeReader&&) noexcept;
  ~RangeReader();

  const DatFileEntry& entry() const;
  bool raw() const;

  // Fills a prefix of `buffer` with the file's bytes from `offset` and
  // returns its length: all of `buffer` unless the file ends first, 0 from
  // its end on. Fails where the bytes cannot be read (a chain that leads
  // past the end of the archive, say), with the error get_file gives,
  // carrying the entry as its context; a range that lies before the damage
  // reads as get_file's would.
  DatResult<std::size_t> read(std::uint64_t offset,
                              std::span<std::uint8_t> buffer);

  // For tests: how many records of the chain's layout the reader holds
  // (0 for a decoded file).
  std::size_t layout_records() const;

 private:
  friend class DatDatabase;
  struct State;
  explicit RangeReader(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_RANGE_READER_H_
