// Writing through a file descriptor as the library's writers need it: all
// of a buffer at an offset, and a file's length set, each retried after
// EINTR and refused with EFBIG past what off_t addresses.

#ifndef QUILLSTONE_DAT_UTILS_DESCRIPTOR_IO_H_
#define QUILLSTONE_DAT_UTILS_DESCRIPTOR_IO_H_

#include <cstdint>
#include <expected>
#include <span>

#include "quillstone_dat/io_error.h"

namespace quillstone_dat {

// Writes all of `bytes` at `offset`, continuing after short writes.
std::expected<void, IoError> write_all_at(int fd,
                                          std::span<const std::uint8_t> bytes,
                                          std::uint64_t offset);

// Sets the file's length; bytes never written read as zero.
std::expected<void, IoError> set_file_length(int fd, std::uint64_t length);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_UTILS_DESCRIPTOR_IO_H_
