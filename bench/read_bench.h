// Reading whole archives: a plain front-to-back read of the archive file,
// which bounds everything else, get_file over every entry from one or more
// threads sharing one open database, and for_each_file over every entry.

#ifndef QUILLSTONE_DAT_BENCH_READ_BENCH_H_
#define QUILLSTONE_DAT_BENCH_READ_BENCH_H_

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "quillstone_dat/dat_database.h"

namespace quillstone_dat::bench {

struct ReadPass {
  std::uint64_t bytes = 0;
  double seconds = 0;
  // User and system time of the whole process during the pass: with other
  // work on the machine, two threads may get less than two cores, but
  // their CPU time still shows whether they slow each other down.
  double cpu_seconds = 0;

  double bytes_per_second() const {
    return static_cast<double>(bytes) / seconds;
  }
};

// The whole file in 1 MiB pread calls into one reused buffer.
ReadPass read_sequentially(const std::filesystem::path& path);

// Every entry's id, in ascending order, which is the order the writer lays
// the files out in.
std::vector<std::uint32_t> ids_in_order(const DatDatabase& database);

// get_file for every id, the ids split into `threads` consecutive ranges,
// one thread each; bytes counts what get_file returned.
ReadPass get_every_file(const DatDatabase& database,
                        std::span<const std::uint32_t> ids, int threads);

// for_each_file over every file, one thread; bytes counts what it handed
// over.
ReadPass batch_read_every_file(const DatDatabase& database);

}  // namespace quillstone_dat::bench

#endif  // QUILLSTONE_DAT_BENCH_READ_BENCH_H_
