#include "format/directory_walk.h"

#include <array>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "format/block_chain.h"
#include "quillstone_dat/error_context.h"

namespace quillstone_dat {

DatResult<DatHeader> read_header(const FileExtPolyfill& file) {
  std::array<std::uint8_t, kHeaderSize> bytes{};
  std::size_t filled = 0;
  std::optional<IoError> error;
  while (filled < bytes.size()) {
    auto n =
        file.read_at(std::span(bytes).subspan(filled), kHeaderOffset + filled);
    if (!n) {
      if (n.error().kind() == IoErrorKind::kInterrupted) continue;
      error = std::move(n.error());
      break;
    }
    if (*n == 0) break;
    filled += *n;
  }
  auto header = decode_header(std::span(bytes).first(filled), std::move(error));
  if (header) return *header;
  DatError failed(std::move(header.error()));
  ErrorContext context;
  if (const auto length = file.length()) context.archive_length = *length;
  failed.set_context(std::move(context));
  return std::unexpected(std::move(failed));
}

namespace {

class Walk {
 public:
  Walk(const FileExtPolyfill& file, const DatHeader& header,
       std::uint64_t file_length, const NodeVisitor& visit)
      : file_(file),
        header_(header),
        file_length_(file_length),
        visit_(visit) {}

  DatResult<void> node(std::uint32_t offset, std::uint32_t depth) {
    if (depth > kMaxDirectoryDepth) {
      return fail(
          DatError::corruption("directory nests deeper than " +
                               std::to_string(kMaxDirectoryDepth) +
                               " levels at node " + std::to_string(offset)),
          offset);
    }
    if (!visited_.insert(offset).second) {
      return fail(
          DatError::corruption("directory node at offset " +
                               std::to_string(offset) + " is reached twice"),
          offset);
    }
    auto bytes = read_block_chain(file_, header_.block_size, offset, kNodeSize,
                                  file_length_);
    if (!bytes) return fail(std::move(bytes.error()), offset);
    auto decoded =
        decode_directory_node(std::span<const std::uint8_t, kNodeSize>(*bytes));
    if (!decoded) return fail(DatError(std::move(decoded.error())), offset);
    visit_({offset, depth, *decoded});
    for (const std::uint32_t branch : decoded->child_branches()) {
      if (branch == 0) continue;
      if (auto child = node(branch, depth + 1); !child) return child;
    }
    return {};
  }

 private:
  std::unexpected<DatError> fail(DatError error, std::uint32_t offset) const {
    ErrorContext context;
    context.archive_length = file_length_;
    context.header = header_;
    context.node_offset = offset;
    error.set_context(std::move(context));
    return std::unexpected(std::move(error));
  }

  const FileExtPolyfill& file_;
  const DatHeader& header_;
  const std::uint64_t file_length_;
  const NodeVisitor& visit_;
  std::unordered_set<std::uint32_t> visited_;
};

}  // namespace

DatResult<void> walk_directory(const FileExtPolyfill& file,
                               const DatHeader& header,
                               std::uint64_t file_length,
                               const NodeVisitor& visit) {
  if (header.root_offset == 0) return {};
  return Walk(file, header, file_length, visit).node(header.root_offset, 1);
}

}  // namespace quillstone_dat
