// quillstone_dat_bench: builds the benchmark archives when missing, then
// measures reading, opening and LRS coding with the page cache warm and
// prints one `name: value (goal ...)` line per figure. Each figure is the
// median of several runs. bench/run builds and starts it.
//
//   quillstone_dat_bench [--archives DIR] [--runs N] [--only reads|open|lrs]

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

#include "archives.h"
#include "lrs_bench.h"
#include "open_bench.h"
#include "read_bench.h"
#include "report.h"
#include "timing.h"

namespace quillstone_dat::bench {
namespace {

struct Options {
  std::filesystem::path archives = "build-bench/archives";
  int runs = 5;
  std::string only;  // one group of figures, or all when empty
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: quillstone_dat_bench [--archives DIR] [--runs N] "
               "[--only reads|open|lrs]\n");
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i + 1 >= argc) usage();
    if (arg == "--archives") {
      options.archives = argv[++i];
    } else if (arg == "--runs") {
      options.runs = std::atoi(argv[++i]);
      if (options.runs < 1) usage();
    } else if (arg == "--only") {
      options.only = argv[++i];
      if (options.only != "reads" && options.only != "open" &&
          options.only != "lrs") {
        usage();
      }
    } else {
      usage();
    }
  }
  return options;
}

std::string load_average() {
  std::ifstream file("/proc/loadavg");
  std::string one_minute;
  file >> one_minute;
  return one_minute.empty() ? "unknown" : one_minute;
}

DatDatabase open_or_exit(const std::filesystem::path& path) {
  auto database = DatDatabase::open(path);
  if (!database) {
    std::fprintf(stderr, "quillstone_dat_bench: cannot open %s: %s\n",
                 path.c_str(), database.error().debug().c_str());
    std::exit(1);
  }
  return std::move(*database);
}

void measure_reads(const BenchArchives& archives, int runs) {
  const double seq = median_of(runs, [&] {
    return read_sequentially(archives.bulk).bytes_per_second();
  });
  report("seq_read_gbps", seq / 1e9, 2, "the bound for the reads below");

  // One thread and two alternate, so that both see the same load from
  // whatever else runs on the machine; the speedup is taken per pair.
  const DatDatabase bulk = open_or_exit(archives.bulk);
  const std::vector<std::uint32_t> ids = ids_in_order(bulk);
  get_every_file(bulk, ids, 1);  // warms the allocator
  std::vector<double> one_thread, speedup, cpu_growth;
  for (int i = 0; i < runs; ++i) {
    const ReadPass one = get_every_file(bulk, ids, 1);
    const ReadPass two = get_every_file(bulk, ids, 2);
    one_thread.push_back(one.bytes_per_second());
    speedup.push_back(one.seconds / two.seconds);
    cpu_growth.push_back(two.cpu_seconds / one.cpu_seconds);
  }
  const double bulk_rate = median(one_thread);
  report("bulk_read_gbps", bulk_rate / 1e9, 2, "get_file, one thread");
  report("bulk_read_vs_seq", bulk_rate / seq, 2, Goal::kAtLeast, 0.5);

  const DatDatabase mixed = open_or_exit(archives.mixed);
  const std::vector<std::uint32_t> mixed_ids = ids_in_order(mixed);
  const double mixed_rate = median_of(runs, [&] {
    return get_every_file(mixed, mixed_ids, 1).bytes_per_second();
  });
  report("mixed_read_mbps", mixed_rate / 1e6, 0,
         "a quarter of the files decompressed");
  report("parallel_speedup_2", median(speedup), 2, Goal::kAtLeast, 1.7);
  report("parallel_cpu_growth_2", median(cpu_growth), 2,
         "CPU time of two threads over one; near 1: they do not contend");
}

void measure_open_wide(const BenchArchives& archives, int runs) {
  const OpenFigures open = measure_open(archives.wide, runs);
  report("open_wide_ms", open.milliseconds, 1, Goal::kAtMost, 250);
  report("open_wide_bytes_per_entry", open.bytes_per_entry, 1, Goal::kAtMost,
         64);
  report("open_wide_peak_bytes_per_entry", open.peak_bytes_per_entry, 1,
         "resident high-water mark during the open");
}

void measure_lrs_coding(int runs) {
  const LrsFigures lrs = measure_lrs(runs);
  report("lrs_decode_mbps", lrs.decode_mbps, 0, "output bytes");
  report("lrs_reference_decode_mbps", lrs.reference_mbps, 0,
         "the plain decoder");
  report("lrs_decode_vs_reference", lrs.decode_speedup, 2, Goal::kAtLeast, 3.0);
  report("lrs_compress_mbps", lrs.compress_mbps, 1, Goal::kAtLeast, 50);
  report("lrs_compress_ratio", lrs.text_ratio, 3, Goal::kBelow, 0.5);
  report("lrs_compress_ratio_binary", lrs.binary_ratio, 3,
         "the binary-like half of the corpus");
}

int run(const Options& options) {
  std::printf("cores: %u\n", std::thread::hardware_concurrency());
  std::printf("load_average_at_start: %s\n", load_average().c_str());
  std::fflush(stdout);
  const BenchArchives archives = prepare_archives(options.archives);
  // Every measurement reads from a warm page cache.
  for (const auto& path : {archives.bulk, archives.mixed, archives.wide}) {
    read_sequentially(path);
  }
  const auto wanted = [&](const char* group) {
    return options.only.empty() || options.only == group;
  };
  if (wanted("reads")) measure_reads(archives, options.runs);
  if (wanted("open")) measure_open_wide(archives, options.runs);
  if (wanted("lrs")) measure_lrs_coding(options.runs);
  std::printf("load_average_at_end: %s\n", load_average().c_str());
  return 0;
}

}  // namespace
}  // namespace quillstone_dat::bench

int main(int argc, char** argv) {
  using namespace quillstone_dat::bench;
  if (argc == 3 && std::string_view(argv[1]) == kOpenChildFlag) {
    return open_child_main(argv[2]);
  }
  return run(parse(argc, argv));
}
