// The whole public interface of the library, one header per idea:
//
//   dat_database.h       DatDatabase: open an archive, list its entries,
//                        fetch files by id, check its integrity
//   batch_read.h         FileSelection, BatchOptions, BatchFile: reading
//                        many files in one pass (DatDatabase::for_each_file)
//   archive_check.h      CheckReport: what an integrity check found
//   dat_header.h         DatHeader: the archive's header record
//   dat_file_entry.h     DatFileEntry: one directory entry
//   file_table.h         FileTable: the entries of an open archive by id
//   dat_writer.h         DatWriter: build a whole archive from files
//   dat_editor.h         DatEditor: add, replace and remove files in place,
//                        safe against crashes and power loss
//   archive_compare.h    compare_archives: what differs between two archives
//   archive_patch.h      ArchivePatch: that difference, applied in one commit
//   checksum.h           Checksum: the 128-bit checksum comparisons rest on
//   lrs.h                decompress_lrs and compress_lrs
//   resource_provider.h  ResourceProvider: anything that serves files by id
//   file_ext_polyfill.h  FileExtPolyfill: positioned reads beneath a database
//   error.h, io_error.h  DatError, the one error type, and its I/O cause
//   portal_dat_path.h    get_portal_dat_path: where the portal archive lies
//
// Every fallible call returns DatResult<T> (std::expected<T, DatError>);
// the library reports failures as values, not exceptions.

#ifndef QUILLSTONE_DAT_QUILLSTONE_DAT_H_
#define QUILLSTONE_DAT_QUILLSTONE_DAT_H_

#include "quillstone_dat/archive_check.h"
#include "quillstone_dat/archive_compare.h"
#include "quillstone_dat/archive_patch.h"
#include "quillstone_dat/batch_read.h"
#include "quillstone_dat/checksum.h"
#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/dat_editor.h"
#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/dat_header.h"
#include "quillstone_dat/dat_writer.h"
#include "quillstone_dat/error.h"
#include "quillstone_dat/file_ext_polyfill.h"
#include "quillstone_dat/file_table.h"
#include "quillstone_dat/io_error.h"
#include "quillstone_dat/lrs.h"
#include "quillstone_dat/portal_dat_path.h"
#include "quillstone_dat/range_reader.h"
#include "quillstone_dat/resource_provider.h"

#endif  // QUILLSTONE_DAT_QUILLSTONE_DAT_H_
