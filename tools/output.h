// What the tool writes to standard output. A result counts only once every
// byte of it has been written, so a full disk is a failure, never a silent
// partial success. A reader that goes away (`| head`) is no failure of the
// tool: the command stops quietly with status 141, as tools ended by
// SIGPIPE do.

#ifndef QUILLSTONE_DAT_TOOLS_OUTPUT_H_
#define QUILLSTONE_DAT_TOOLS_OUTPUT_H_

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "command.h"
#include "quillstone_dat/io_error.h"

namespace quillstone_dat::tool {

// Writes all of `bytes` to the descriptor `fd`, retrying after EINTR and
// short writes.
std::expected<void, IoError> write_all(int fd,
                                       std::span<const std::uint8_t> bytes);

// Writes `bytes` to standard output. kSuccess once all are written;
// kBrokenPipe, silently, when the reader has gone; otherwise reports the
// failure on stderr and returns kFailure.
ExitStatus write_stdout(std::span<const std::uint8_t> bytes);
ExitStatus write_stdout(std::string_view text);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_OUTPUT_H_
