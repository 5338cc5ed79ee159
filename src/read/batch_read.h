// The pass behind DatDatabase::for_each_file. The selected files are taken
// in the order their chains start in the archive, and runs of neighbouring
// chains are fetched into one window with one positioned read. A chain in
// the window whose next fields show its blocks back to back is compacted
// there in place, as the chain reader compacts a batch; every other chain
// is read alone by read_block_chain, so its bytes or its error are exactly
// get_file's.

#ifndef QUILLSTONE_DAT_READ_BATCH_READ_H_
#define QUILLSTONE_DAT_READ_BATCH_READ_H_

#include <cstdint>
#include <vector>

#include "quillstone_dat/batch_read.h"
#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/file_ext_polyfill.h"
#include "quillstone_dat/file_table.h"

namespace quillstone_dat {

// What a pass reads from: an open database's file, table and header, and
// the archive's length when it was opened.
struct BatchSource {
  const FileExtPolyfill& file;
  const FileTable& files;
  const DatHeader& header;
  std::uint64_t length_at_open;
};

void read_in_batches(const BatchSource& source, const FileSelection& selection,
                     const BatchOptions& options,
                     detail::BatchVisitorRef visit);

// The ids in the order read_in_batches hands the selection over.
std::vector<std::uint32_t> batch_order(const FileTable& files,
                                       const FileSelection& selection);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_READ_BATCH_READ_H_
