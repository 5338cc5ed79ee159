#include "output.h"

#include <fmt/core.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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
    fmt::print(stderr, "error: cannot write to standard output: {}\n",
               written.error().debug());
    return ExitStatus::kFailure;
  }
  return ExitStatus::kSuccess;
}

ExitStatus write_stdout(std::string_view text) {
  return write_stdout(std::span(
      reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

ExitStatus report_error(const DatError& error) {
  fmt::print(stderr, "error: {}\n", error.debug());
  return ExitStatus::kFailure;
}

}  // namespace quillstone_dat::tool
