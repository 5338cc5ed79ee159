// ErrorContext is what the library knew of the archive where a DatError
// arose: the facts DatError::message() explains the error by, such as the
// archive's length when a chain ran past its end, or the entry being read.
// It is not part of the error's debug form.

#ifndef QUILLSTONE_DAT_ERROR_CONTEXT_H_
#define QUILLSTONE_DAT_ERROR_CONTEXT_H_

#include <cstdint>
#include <optional>

#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/dat_header.h"

namespace quillstone_dat {

struct ErrorContext {
  // The archive file's length when it was opened.
  std::optional<std::uint64_t> archive_length;
  // The archive's header, once it was read.
  std::optional<DatHeader> header;
  // The directory node whose reading failed.
  std::optional<std::uint32_t> node_offset;
  // The entry whose chain was being read; none while the archive was being
  // opened (its header read and its directory walked).
  std::optional<DatFileEntry> entry;

  friend bool operator==(const ErrorContext&, const ErrorContext&) = default;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_ERROR_CONTEXT_H_
