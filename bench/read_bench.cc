#include "read_bench.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "timing.h"

namespace quillstone_dat::bench {

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "quillstone_dat_bench: %s\n", what);
  std::exit(1);
}

double process_cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

ReadPass read_sequentially(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("cannot open an archive for the sequential read");
  std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
  ReadPass pass;
  pass.seconds = seconds_of([&] {
    while (true) {
      const ssize_t n = ::pread(fd, buffer.data(), buffer.size(),
                                static_cast<off_t>(pass.bytes));
      if (n < 0) fail("sequential read failed");
      if (n == 0) break;
      pass.bytes += static_cast<std::uint64_t>(n);
    }
  });
  ::close(fd);
  return pass;
}

std::vector<std::uint32_t> ids_in_order(const DatDatabase& database) {
  std::vector<std::uint32_t> ids;
  ids.reserve(database.files().size());
  for (const DatFileEntry& entry : database.files()) ids.push_back(entry.id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

ReadPass get_every_file(const DatDatabase& database,
                        std::span<const std::uint32_t> ids, int threads) {
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<bool> failed{false};
  const auto read_range = [&](std::size_t begin, std::size_t end) {
    std::uint64_t mine = 0;
    for (std::size_t i = begin; i < end; ++i) {
      auto file = database.get_file(ids[i]);
      if (!file) {
        failed = true;
        return;
      }
      mine += file->size();
    }
    bytes += mine;
  };
  ReadPass pass;
  const double cpu_before = process_cpu_seconds();
  pass.seconds = seconds_of([&] {
    std::vector<std::jthread> workers;
    const auto count = static_cast<std::size_t>(threads);
    for (std::size_t t = 1; t < count; ++t) {
      workers.emplace_back(read_range, ids.size() * t / count,
                           ids.size() * (t + 1) / count);
    }
    read_range(0, ids.size() / count);
  });
  pass.cpu_seconds = process_cpu_seconds() - cpu_before;
  if (failed) fail("get_file failed on a benchmark archive");
  pass.bytes = bytes;
  return pass;
}

ReadPass batch_read_every_file(const DatDatabase& database) {
  ReadPass pass;
  bool failed = false;
  const double cpu_before = process_cpu_seconds();
  pass.seconds = seconds_of([&] {
    database.for_each_file({}, {}, [&](const BatchFile& file) {
      if (!file.bytes) {
        failed = true;
        return BatchStep::kStop;
      }
      pass.bytes += file.bytes->size();
      return BatchStep::kContinue;
    });
  });
  pass.cpu_seconds = process_cpu_seconds() - cpu_before;
  if (failed) fail("for_each_file failed on a benchmark archive");
  return pass;
}

}  // namespace quillstone_dat::bench
