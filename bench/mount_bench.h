// The mount's figures (bench/run --only mount): `quillstone-dat mount`
// against what users would do instead (extract) and against FUSE's own
// floor, a minimal FUSE file system built here on the same libfuse and
// options that answers from memory; the page cache's figures beside them.
// Skipped, saying why, where /dev/fuse or fusermount3 is missing.

#ifndef QUILLSTONE_DAT_BENCH_MOUNT_BENCH_H_
#define QUILLSTONE_DAT_BENCH_MOUNT_BENCH_H_

#include <filesystem>

#include "archives.h"

namespace quillstone_dat::bench {

void measure_mount_figures(const BenchArchives& archives,
                           const std::filesystem::path& tool,
                           const std::filesystem::path& scratch, int runs);

}  // namespace quillstone_dat::bench

#endif  // QUILLSTONE_DAT_BENCH_MOUNT_BENCH_H_
