#include "write/stored_form.h"

#include <sys/stat.h>

#include <limits>
#include <string>

#include "quillstone_dat/lrs.h"
#include "utils/posix_file.h"
#include "utils/shown_numbers.h"

namespace quillstone_dat {

namespace {

// A regular file's contents, as long as its length was when opened.
DatResult<std::vector<std::uint8_t>> read_contents(
    std::uint32_t id, const std::filesystem::path& path) {
  auto file = PosixFile::open(path);
  if (!file) return std::unexpected(DatError::path_error(path, file.error()));
  struct stat status {};
  if (::fstat(file->descriptor(), &status) != 0) {
    return std::unexpected(
        DatError::path_error(path, IoError::from_errno(errno)));
  }
  if (!S_ISREG(status.st_mode)) {
    return std::unexpected(DatError::path_error(
        path, IoError(IoErrorKind::kInvalidInput, "not a regular file")));
  }
  const auto length = static_cast<std::uint64_t>(status.st_size);
  if (length > kMaxStoredSize) {
    return std::unexpected(file_too_large(id, length));
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
  if (auto read = file->read_exact_at_compat(bytes, 0); !read) {
    return std::unexpected(DatError::path_error(path, read.error()));
  }
  return bytes;
}

}  // namespace

DatError file_too_large(std::uint32_t id, std::uint64_t size) {
  return DatError::other("file " + shown_id(id) + " holds " +
                         std::to_string(size) +
                         " bytes, more than a 32-bit size can state");
}

DatResult<StoredForm> store(const WriterFile& file, LrsLevel level) {
  StoredForm form;
  if (const auto* bytes =
          std::get_if<std::vector<std::uint8_t>>(&file.contents)) {
    form.borrowed = bytes;
  } else {
    const auto* path = std::get_if<std::filesystem::path>(&file.contents);
    auto loaded = path ? read_contents(file.id, *path)
                       : std::get<ContentsReader>(file.contents).read();
    if (!loaded) return std::unexpected(std::move(loaded.error()));
    form.owned = std::move(*loaded);
  }
  form.content_size = form.bytes().size();
  if (form.content_size > kMaxStoredSize) {
    return std::unexpected(file_too_large(file.id, form.content_size));
  }
  switch (file.storage) {
    case Storage::kPlain:
      break;
    case Storage::kPreStored:
      form.bit_flags = file.bit_flags;
      break;
    case Storage::kCompressed:
    case Storage::kSmallest: {
      std::vector<std::uint8_t> packed = compress_lrs(form.bytes(), level);
      if (file.storage == Storage::kCompressed ||
          packed.size() < form.content_size) {
        form.borrowed = nullptr;
        form.owned = std::move(packed);
        form.bit_flags = 1;
      }
      break;
    }
  }
  if (form.bytes().size() > kMaxStoredSize) {
    return std::unexpected(file_too_large(file.id, form.bytes().size()));
  }
  return form;
}

}  // namespace quillstone_dat
