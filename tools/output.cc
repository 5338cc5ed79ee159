#include "output.h"

#include <fmt/core.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "error_text.h"

namespace quillstone_dat::tool {

std::expected<void, IoError> write_all(int fd,
                                       std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_errno(errno));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return {};
}

ExitStatus write_stdout(std::span<const std::uint8_t> bytes) {
  if (auto written = write_all(STDOUT_FILENO, bytes); !written) {
    if (written.error().os_error() == EPIPE) return ExitStatus::kBrokenPipe;
    if (error_style() == ErrorStyle::kDebug) {
      fmt::print(stderr, "error: cannot write to standard output: {}\n",
                 written.error().debug());
      return ExitStatus::kFailure;
    }
    return report_failure(
        "", "cannot write to standard output: " + written.error().message());
  }
  return ExitStatus::kSuccess;
}

ExitStatus write_stdout(std::string_view text) {
  return write_stdout(std::span(
      reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace quillstone_dat::tool
