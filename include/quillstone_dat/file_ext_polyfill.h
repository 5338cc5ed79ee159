// FileExtPolyfill is the library's interface for positioned reads. The
// archive file implements it over pread(2); tests and in-memory archives
// supply their own. Implementations never use or move a file cursor, and a
// const object may be read from several threads at once.

#ifndef QUILLSTONE_DAT_FILE_EXT_POLYFILL_H_
#define QUILLSTONE_DAT_FILE_EXT_POLYFILL_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>

#include "quillstone_dat/io_error.h"

namespace quillstone_dat {

class FileExtPolyfill {
 public:
  virtual ~FileExtPolyfill() = default;

  // One positioned read, with pread(2)'s contract: fills a prefix of
  // `buffer` with the bytes at `offset` and returns its length; 0 means end
  // of file. An error of kind kInterrupted is retried by the callers.
  virtual std::expected<std::size_t, IoError> read_at(
      std::span<std::uint8_t> buffer, std::uint64_t offset) const = 0;

  // The file's current length in bytes.
  virtual std::expected<std::uint64_t, IoError> length() const = 0;

  // Fills the whole of `buffer` with the bytes at `offset`: retries after
  // EINTR, continues after short reads, and reports end of data as
  // UnexpectedEof "failed to fill whole buffer". An empty buffer succeeds
  // without any read.
  std::expected<void, IoError> read_exact_at_compat(
      std::span<std::uint8_t> buffer, std::uint64_t offset) const {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
      auto n = read_at(buffer.subspan(filled), offset + filled);
      if (!n) {
        if (n.error().kind() == IoErrorKind::kInterrupted) continue;
        return std::unexpected(std::move(n.error()));
      }
      if (*n == 0) return std::unexpected(IoError::fill_whole_buffer());
      filled += *n;
    }
    return {};
  }
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_FILE_EXT_POLYFILL_H_
