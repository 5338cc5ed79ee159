// Turns fuzz input into what a DatWriter is given: its options and a list
// of files. The input is read front to back as a small program, so that
// mutating a byte changes one file, not everything after it:
//
//   byte      block size: a choice among sizes from 0 (refused) to 4096
//   4 bytes   header magic, written as given
//   then per file a control byte:
//     bits 0-1  storage: plain, compressed, smallest, pre-stored
//     bits 2-4  id: next, next plus a byte, any u32, same as the last
//               (a duplicate), near the top of the range, a batch of
//               empty files with consecutive ids, or a scrambled one
//     bits 5-7  contents: empty, up to 255 bytes of input, up to 65535
//               bytes of input, a run of one byte up to 16 KiB long
//
// Contents taken from the input end where the input ends. Totals are
// capped so that one input stays quick to write and read back.

#ifndef QUILLSTONE_DAT_FUZZ_FUZZED_FILE_SET_H_
#define QUILLSTONE_DAT_FUZZ_FUZZED_FILE_SET_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quillstone_dat/dat_writer.h"

namespace quillstone_dat::fuzz {

struct FuzzedFileSet {
  WriterOptions options;
  std::vector<WriterFile> files;
};

class FileSetReader {
 public:
  static constexpr std::size_t kMaxFiles = 20000;
  static constexpr std::size_t kMaxContentBytes = 1u << 18;

  explicit FileSetReader(std::span<const std::uint8_t> input) : input_(input) {}

  FuzzedFileSet read() {
    static constexpr std::uint32_t kBlockSizes[] = {
        8, 9, 12, 16, 20, 28, 64, 100, 256, 1024, 4096, 0, 7};
    FuzzedFileSet set;
    set.options.block_size = kBlockSizes[byte() % std::size(kBlockSizes)];
    set.options.magic = u32();
    set.options.dataset = set.options.magic ^ 0x5A5A5A5A;
    set.options.version_string[0] =
        static_cast<std::uint8_t>(set.options.magic);

    std::uint32_t id = 0;
    while (!input_.empty() && set.files.size() < kMaxFiles &&
           content_bytes_ < kMaxContentBytes) {
      const std::uint8_t control = byte();
      WriterFile file;
      file.storage = static_cast<Storage>(control & 3);
      switch ((control >> 2) & 7) {
        case 0:
          id += 1;
          break;
        case 1:
          id += 1u + byte();
          break;
        case 2:
          id = u32();
          break;
        case 3:
          break;
        case 4:
          id = 0xFFFFFFFFu - byte();
          break;
        case 5: {
          const std::size_t count = (byte() + 1u) * 8u;
          for (std::size_t i = 0; i < count && set.files.size() < kMaxFiles;
               ++i) {
            WriterFile empty;
            empty.id = ++id;
            set.files.push_back(std::move(empty));
          }
          continue;
        }
        default:
          id = id * 2654435761u + 1;
          break;
      }
      file.id = id;
      if (file.storage == Storage::kPreStored) file.bit_flags = byte() & 7u;
      file.timestamp = id ^ 0x12345678u;
      file.version = control;
      file.contents = contents(control >> 5);
      set.files.push_back(std::move(file));
    }
    return set;
  }

 private:
  std::uint8_t byte() {
    if (input_.empty()) return 0;
    const std::uint8_t b = input_.front();
    input_ = input_.subspan(1);
    return b;
  }

  std::uint32_t u32() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | byte();
    return value;
  }

  std::vector<std::uint8_t> take(std::size_t wanted) {
    const std::size_t n = std::min(wanted, input_.size());
    std::vector<std::uint8_t> out(
        input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
    input_ = input_.subspan(n);
    return out;
  }

  std::vector<std::uint8_t> contents(unsigned mode) {
    std::vector<std::uint8_t> out;
    switch (mode) {
      case 0:
        break;
      case 1:
      case 2:
      case 3:
        out = take(byte());
        break;
      case 4:
      case 5:
        out = take(std::size_t{byte()} << 8 | byte());
        break;
      default: {
        // Past the encoder's 4 KiB window and long enough to span hundreds
        // of blocks, yet quick to write and read back.
        const std::size_t length =
            ((std::size_t{byte()} << 8 | byte()) & 0x3FFF) + 1;
        out.assign(length, byte());
        // A few distinct bytes inside the run leave the encoder some
        // choices to make.
        for (std::size_t at = 97; at < out.size(); at += 997) {
          out[at] = static_cast<std::uint8_t>(at);
        }
        break;
      }
    }
    content_bytes_ += out.size();
    return out;
  }

  std::span<const std::uint8_t> input_;
  std::size_t content_bytes_ = 0;
};

}  // namespace quillstone_dat::fuzz

#endif  // QUILLSTONE_DAT_FUZZ_FUZZED_FILE_SET_H_
