// Opening an archive: the time DatDatabase::open takes and how much resident
// memory the open database adds per directory entry. Each open runs in a
// fresh process, so that the growth is the open's own and not memory an
// earlier step freed and the allocator handed back out.

#ifndef QUILLSTONE_DAT_BENCH_OPEN_BENCH_H_
#define QUILLSTONE_DAT_BENCH_OPEN_BENCH_H_

#include <filesystem>

namespace quillstone_dat::bench {

struct OpenFigures {
  double milliseconds = 0;
  // Resident memory added by the open, the database still alive.
  double bytes_per_entry = 0;
  // The high-water mark's growth: what the open needed at its peak.
  double peak_bytes_per_entry = 0;
};

// The argument that makes the benchmark executable a child of measure_open.
inline constexpr const char* kOpenChildFlag = "--open-child";

// The child's side: opens `archive`, prints its measurements on stdout for
// measure_open to read, returns the exit status.
int open_child_main(const std::filesystem::path& archive);

// Runs `runs` child processes of this executable, each opening `archive`
// once; the median of each figure.
OpenFigures measure_open(const std::filesystem::path& archive, int runs);

}  // namespace quillstone_dat::bench

#endif  // QUILLSTONE_DAT_BENCH_OPEN_BENCH_H_
