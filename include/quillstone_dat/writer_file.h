// WriterFile is one file to store in an archive, as DatWriter writes a
// whole archive of them and DatEditor puts them into one in place: its id,
// its contents (bytes, a path, or a reader called while writing), how to
// store them (Storage) and the entry's other fields.

#ifndef QUILLSTONE_DAT_WRITER_FILE_H_
#define QUILLSTONE_DAT_WRITER_FILE_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <variant>
#include <vector>

#include "quillstone_dat/error.h"

namespace quillstone_dat {

// How a file's bytes are stored.
enum class Storage : std::uint8_t {
  kPlain,       // as given; bit_flags 0
  kCompressed,  // LRS-compressed; bit_flags 1
  kSmallest,    // compressed where that is smaller, otherwise as given
  kPreStored,   // the bytes already are the stored form; bit_flags as given
};

// Contents that a function yields when the archive is written: bytes kept
// elsewhere, such as another archive's. `read` may be called from any of
// the writer's threads, at most once a write; `size` is what it will
// yield, known in advance.
struct ContentsReader {
  std::uint64_t size = 0;
  std::function<DatResult<std::vector<std::uint8_t>>()> read;
};

struct WriterFile {
  std::uint32_t id = 0;
  // The file's bytes, or a file or reader whose contents are read when the
  // archive is written (so a large set need not be held in memory).
  std::variant<std::vector<std::uint8_t>, std::filesystem::path, ContentsReader>
      contents;
  Storage storage = Storage::kPlain;
  std::uint32_t bit_flags = 0;  // used by kPreStored only
  std::uint32_t timestamp = 0;
  std::uint32_t version = 0;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_WRITER_FILE_H_
