// WritableFile is a file the library both reads and changes in place: the
// positioned reads of FileExtPolyfill, plus positioned writes, a flush to
// stable storage and a length change. DatEditor does all its I/O through
// it, so an archive can be edited on a file of the caller's making (in
// memory, or a simulated disk that loses writes at a power cut). An
// implementation need not be safe to use from several threads at once:
// the editor holding it is not.

#ifndef QUILLSTONE_DAT_WRITABLE_FILE_H_
#define QUILLSTONE_DAT_WRITABLE_FILE_H_

#include <cstdint>
#include <expected>
#include <span>

#include "quillstone_dat/file_ext_polyfill.h"
#include "quillstone_dat/io_error.h"

namespace quillstone_dat {

class WritableFile : public FileExtPolyfill {
 public:
  // Writes all of `bytes` at `offset`, growing the file as needed.
  virtual std::expected<void, IoError> write_at(
      std::span<const std::uint8_t> bytes, std::uint64_t offset) = 0;

  // Returns once everything written so far is on stable storage. The
  // editor's promise after a crash rests on this: writes made before a
  // sync() that returned must survive, in any order among themselves.
  virtual std::expected<void, IoError> sync() = 0;

  // Sets the file's length; bytes never written read as zero.
  virtual std::expected<void, IoError> set_length(std::uint64_t length) = 0;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_WRITABLE_FILE_H_
