#include "quillstone_dat/file_ext_polyfill.h"

namespace quillstone_dat {

std::expected<void, IoError> FileExtPolyfill::read_exact_at_compat(
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

}  // namespace quillstone_dat
