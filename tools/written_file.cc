#include "written_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>

#include "file_id.h"
#include "utils/staged_file.h"

namespace quillstone_dat::tool {

namespace fs = std::filesystem;

std::string file_name_of(std::uint32_t id) { return hex_id(id) + ".bin"; }

DatResult<void> write_file(const fs::path& target,
                           std::span<const std::uint8_t> bytes,
                           std::uint32_t timestamp) {
  auto staged = StagedFile::create(target);
  if (!staged) {
    return std::unexpected(DatError::path_error(
        target.has_parent_path() ? target.parent_path() : ".", staged.error()));
  }
  auto done = staged->write_at(bytes, 0);
  if (done) done = staged->commit(StagedFile::Durability::kLeftToSystem);
  if (!done) return std::unexpected(DatError::path_error(target, done.error()));
  if (timestamp != 0) {
    const struct timespec times[2] = {{0, UTIME_OMIT},
                                      {static_cast<time_t>(timestamp), 0}};
    if (::utimensat(AT_FDCWD, target.c_str(), times, 0) != 0) {
      return std::unexpected(
          DatError::path_error(target, IoError::from_errno(errno)));
    }
  }
  return {};
}

DatResult<void> write_text_file(const fs::path& target, std::string_view text) {
  return write_file(
      target, std::span(reinterpret_cast<const std::uint8_t*>(text.data()),
                        text.size()));
}

}  // namespace quillstone_dat::tool
