// quillstone_dat_bench: builds the benchmark archives when missing, then
// measures reading, opening and LRS coding with the page cache warm, and
// the quillstone-dat tool against tar, and the Python package against the
// library (given an interpreter that has it), and prints one
// `name: value (goal ...)` line per figure. Each figure is the median of
// several runs. bench/run builds and starts it.
//
//   quillstone_dat_bench [--archives DIR] [--runs N] [--tool PATH]
//                        [--python PATH]
//                        [--only reads|open|lrs|tool|commit|diff|python|mount]

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "archives.h"
#include "diff_bench.h"
#include "edit_bench.h"
#include "lrs_bench.h"
#ifdef QUILLSTONE_DAT_HAVE_MOUNT
#include "mount_bench.h"
#endif
#include "open_bench.h"
#include "python_bench.h"
#include "read_bench.h"
#include "report.h"
#include "timing.h"
#include "tool_bench.h"

namespace quillstone_dat::bench {
namespace {

struct Options {
  std::filesystem::path archives = "build-bench/archives";
  int runs = 5;
  std::string only;            // one group of figures, or all when empty
  std::filesystem::path tool;  // the quillstone-dat executable, if given
  // An interpreter that can import quillstone_dat, if given.
  std::filesystem::path python;
};

// A tool figure stops starting new pairs after this long, so that a slow
// command (an extract that flushes every file) keeps the run short.
constexpr double kToolPairBudgetSeconds = 40;

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: quillstone_dat_bench [--archives DIR] [--runs N] "
               "[--tool PATH] [--python PATH] "
               "[--only reads|open|lrs|tool|commit|diff|python|mount]\n");
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
    } else if (arg == "--tool") {
      options.tool = argv[++i];
    } else if (arg == "--python") {
      options.python = argv[++i];
    } else if (arg == "--only") {
      options.only = argv[++i];
      if (options.only != "reads" && options.only != "open" &&
          options.only != "lrs" && options.only != "tool" &&
          options.only != "commit" && options.only != "diff" &&
          options.only != "python" && options.only != "mount") {
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
  // The batch read and the sequential read alternate and the ratio is
  // taken per pair: the sequential figure moves with the machine's load.
  batch_read_every_file(bulk);
  std::vector<double> batch_rate, batch_vs_seq;
  for (int i = 0; i < runs; ++i) {
    const double batch = batch_read_every_file(bulk).bytes_per_second();
    const double plain = read_sequentially(archives.bulk).bytes_per_second();
    batch_rate.push_back(batch);
    batch_vs_seq.push_back(batch / plain);
  }
  report("batch_read_gbps", median(batch_rate) / 1e9, 2,
         "for_each_file over every file, one thread");
  report("batch_read_vs_seq", median(batch_vs_seq), 2, Goal::kAtLeast, 0.5);

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
  report("open_wide_ms", open.milliseconds, 1, Goal::kAtMost, 150);
  report("open_wide_bytes_per_entry", open.bytes_per_entry, 1, Goal::kAtMost,
         64);
  report("open_wide_peak_bytes_per_entry", open.peak_bytes_per_entry, 1,
         "resident high-water mark during the open");
}

void measure_lrs_coding(int runs, const std::filesystem::path& scratch) {
  const LrsFigures lrs = measure_lrs(runs, scratch);
  report("lrs_decode_mbps", lrs.decode_mbps, 0, "output bytes");
  report("lrs_reference_decode_mbps", lrs.reference_mbps, 0,
         "the plain decoder");
  report("lrs_decode_vs_reference", lrs.decode_speedup, 2, Goal::kAtLeast, 5.0);
  report("lrs_compress_mbps", lrs.standard.mbps, 1, Goal::kAtLeast, 150);
  report("lrs_compress_ratio", lrs.standard.text_ratio, 3, Goal::kAtMost, 0.41);
  report("lrs_compress_ratio_binary", lrs.standard.binary_ratio, 3,
         "the binary-like half of the corpus");
  report("lrs_compress_fast_mbps", lrs.fast.mbps, 1, Goal::kAtLeast, 400);
  report("lrs_compress_fast_ratio", lrs.fast.text_ratio, 3, Goal::kAtMost,
         0.50);
  report("lrs_compress_best_mbps", lrs.best.mbps, 1, Goal::kAtLeast, 5);
  report("lrs_compress_best_ratio", lrs.best.text_ratio, 3, Goal::kAtMost,
         0.39);
  if (lrs.lz4_mbps) {
    report("lz4_compress_mbps", *lrs.lz4_mbps, 1, "lz4 -b1 on the corpus");
    report("lrs_compress_fast_vs_lz4", lrs.fast.mbps / *lrs.lz4_mbps, 2,
           Goal::kAtLeast, 0.6);
  } else {
    std::printf("lrs_compress_fast_vs_lz4: not measured (%s)\n",
                lrs.lz4_failure.c_str());
  }
}

void report_ratio(const char* name, const char* tool_name,
                  const ToolRatio& figure, double goal,
                  const char* yardstick = "tar", int decimals = 2) {
  if (!figure.ratio) {
    std::printf("%s: not measured (%s)\n", name, figure.failure.c_str());
    std::fflush(stdout);
    return;
  }
  report(name, *figure.ratio, decimals, Goal::kAtMost, goal);
  const std::string pairs = "median of " + std::to_string(figure.pairs) +
                            (figure.pairs == 1 ? " pair" : " pairs");
  report((std::string(tool_name) + "_seconds").c_str(), figure.tool_seconds,
         decimals, pairs.c_str());
  report((std::string(tool_name) + "_" + yardstick + "_seconds").c_str(),
         figure.tar_seconds, decimals, pairs.c_str());
}

void measure_tool_figures(const BenchArchives& archives,
                          const std::filesystem::path& tool, int runs) {
  if (tool.empty()) {
    std::printf("tool figures: not measured (no --tool given)\n");
    return;
  }
  // Under the archive cache: the same file system as the archives.
  const ToolFigures figures =
      measure_tool(tool, archives.bulk, archives.bulk.parent_path() / "scratch",
                   runs, kToolPairBudgetSeconds);
  report_ratio("extract_vs_tar", "extract", figures.extract, 1.0);
  report_ratio("extract_1thread_vs_tar", "extract_1thread",
               figures.extract_1thread, 1.3);
  report_ratio("pack_vs_tar", "pack", figures.pack, 1.2);
  // An edit takes milliseconds: two decimals would hide the goal's margin.
  report_ratio("edit_10_files_vs_pack", "edit", figures.edit, 0.02, "pack", 3);
}

// One commit of 10 files on bulk and on the archive eight times its size,
// in the same run: how a commit's cost grows with the archive's.
void measure_commit_growth(const BenchArchives& archives,
                           const std::filesystem::path& folder, int runs) {
  const std::filesystem::path bulk8 = prepare_bulk8(folder);
  const std::filesystem::path scratch = folder / "scratch-edit";
  const EditFigures small = measure_edit(archives.bulk, scratch, runs);
  const EditFigures large = measure_edit(bulk8, scratch, runs);
  for (const EditFigures* figures : {&small, &large}) {
    if (!figures->failure.empty()) {
      std::printf("commit figures: not measured (%s)\n",
                  figures->failure.c_str());
      return;
    }
  }
  report("edit_open_bulk_ms", small.open_ms, 2, "DatEditor::open of bulk");
  report("edit_commit_bulk_ms", small.commit_ms, 2,
         "10 files put and committed");
  report("edit_open_bulk8_ms", large.open_ms, 2, "the same on bulk8");
  report("edit_commit_bulk8_ms", large.commit_ms, 2, "the same on bulk8");
  report("edit_commit_growth_8x", large.commit_ms / small.commit_ms, 2,
         "bulk8's commit over bulk's; 8 would be a cost in the archive's "
         "size");
}

// compare_archives and apply_patch on bulk and a copy of it with 10 files
// replaced, against the passes and edits they are made of.
void measure_diff_figures(const BenchArchives& archives,
                          const std::filesystem::path& folder, int runs) {
  const DiffFigures figures =
      measure_diff(archives.bulk, folder / "scratch-diff", runs);
  if (!figures.failure.empty()) {
    std::printf("diff figures: not measured (%s)\n", figures.failure.c_str());
    std::fflush(stdout);
    return;
  }
  report("diff_vs_batch_read", figures.diff_vs_batch, 2, Goal::kAtMost, 2.5);
  report("diff_1thread_vs_batch_read", figures.one_thread_vs_batch, 2,
         "the same with the two archives read in turn, on one thread");
  report("diff_bulk_ms", figures.diff_ms, 1,
         "compare_archives of bulk and the copy");
  report("diff_batch_read_bulk_ms", figures.batch_ms, 1,
         "one for_each_file pass over bulk");
  report("apply_vs_edit", figures.apply_vs_edit, 2, Goal::kAtMost, 1.5);
  report("apply_bulk_ms", figures.apply_ms, 2,
         "the 10-file patch applied to a copy of bulk, base checked");
  report("apply_edit_bulk_ms", figures.edit_ms, 2,
         "the same 10 files put and committed");
}

void report_python(const char* name, const std::optional<double>& figure,
                   Goal goal, double bound, const std::string& failure) {
  if (!figure) {
    std::printf("%s: not measured (%s)\n", name, failure.c_str());
    std::fflush(stdout);
    return;
  }
  report(name, *figure, 2, goal, bound);
}

void measure_python_figures(const BenchArchives& archives,
                            const std::filesystem::path& python, int runs) {
  if (python.empty()) {
    std::printf("python figures: not measured (no --python given)\n");
    return;
  }
  // The script lies beside this file in the source tree.
  const std::filesystem::path script =
      std::filesystem::path(__FILE__).parent_path() / "python_bench.py";
  const PythonFigures figures = measure_python(archives, python, script, runs);
  report_python("python_items_vs_cpp", figures.items_vs_cpp, Goal::kAtLeast,
                0.6, figures.failure);
  report_python("python_get_vs_cpp", figures.get_vs_cpp, Goal::kAtMost, 2.0,
                figures.failure);
  report_python("python_threads_speedup_2", figures.threads_speedup_2,
                Goal::kAtLeast, 1.6, figures.failure);
  if (figures.cpp_threads_speedup_2) {
    report("python_threads_cpp_reference_2", *figures.cpp_threads_speedup_2, 2,
           "the same split pass in C++: what two threads gain here now");
  }
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
  if (wanted("lrs")) {
    measure_lrs_coding(options.runs, options.archives / "scratch-lrs");
  }
  if (wanted("tool")) {
    measure_tool_figures(archives, options.tool, options.runs);
  }
  if (wanted("commit")) {
    measure_commit_growth(archives, options.archives, options.runs);
  }
  if (wanted("diff")) {
    measure_diff_figures(archives, options.archives, options.runs);
  }
  if (wanted("python")) {
    measure_python_figures(archives, options.python, options.runs);
  }
  if (wanted("mount")) {
#ifdef QUILLSTONE_DAT_HAVE_MOUNT
    measure_mount_figures(archives, options.tool,
                          options.archives / "scratch-mount", options.runs);
#else
    std::printf("mount figures: skipped: built without libfuse3 "
                "(QUILLSTONE_DAT_BUILD_MOUNT is OFF)\n");
#endif
  }
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
