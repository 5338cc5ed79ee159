// The benchmark archives, written with DatWriter into a cache folder and
// reused from there when present:
//
//   bulk   about 256 MiB of files, sizes log-uniform from 64 B to 64 KiB,
//          half text-like and half binary-like, block size 1024, stored
//          as given
//   mixed  the same files, every fourth id LRS-compressed
//   wide   1,000,000 files of 0 to 64 bytes, block size 128
//   bulk8  as bulk, eight times the bytes (2 GiB): built only for the
//          commit figures, which compare an edit of bulk with one of it
//
// Contents follow from fixed seeds, so every build yields the same bytes.

#ifndef QUILLSTONE_DAT_BENCH_ARCHIVES_H_
#define QUILLSTONE_DAT_BENCH_ARCHIVES_H_

#include <filesystem>

namespace quillstone_dat::bench {

struct BenchArchives {
  std::filesystem::path bulk;
  std::filesystem::path mixed;
  std::filesystem::path wide;
};

// Builds the archives missing from `folder`; exits the process with a
// message when one cannot be written.
BenchArchives prepare_archives(const std::filesystem::path& folder);
std::filesystem::path prepare_bulk8(const std::filesystem::path& folder);

}  // namespace quillstone_dat::bench

#endif  // QUILLSTONE_DAT_BENCH_ARCHIVES_H_
