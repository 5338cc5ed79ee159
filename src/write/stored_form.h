// The bytes a file is stored as in an archive, chosen by its Storage:
// given as they are, LRS-compressed, the smaller of the two, or taken as
// already stored. A file given by path is read here.

#ifndef QUILLSTONE_DAT_WRITE_STORED_FORM_H_
#define QUILLSTONE_DAT_WRITE_STORED_FORM_H_

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "quillstone_dat/dat_writer.h"
#include "quillstone_dat/error.h"
#include "quillstone_dat/lrs.h"

namespace quillstone_dat {

// The most bytes a 32-bit entry size can state.
inline constexpr std::uint64_t kMaxStoredSize =
    std::numeric_limits<std::uint32_t>::max();

struct StoredForm {
  // The caller's bytes when they are stored as given; otherwise `owned`.
  const std::vector<std::uint8_t>* borrowed = nullptr;
  std::vector<std::uint8_t> owned;
  std::uint32_t bit_flags = 0;
  std::uint64_t content_size = 0;  // the file's bytes as given

  std::span<const std::uint8_t> bytes() const {
    if (borrowed != nullptr) return *borrowed;
    return owned;
  }
};

// The stored form of `file`, which must outlive it, compressed at `level`
// where its Storage asks. Fails when the file's path cannot be read
// (PathError) or its contents pass what a 32-bit size states.
DatResult<StoredForm> store(const WriterFile& file, LrsLevel level);

// Other("file 0x... holds N bytes, more than a 32-bit size can state").
DatError file_too_large(std::uint32_t id, std::uint64_t size);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_WRITE_STORED_FORM_H_
