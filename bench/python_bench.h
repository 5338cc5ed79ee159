// The Python package against the library it is built on: the same work
// through quillstone_dat from Python (bench/python_bench.py, run by the
// given interpreter) and through the C++ API, in pairs that alternate.

#ifndef QUILLSTONE_DAT_BENCH_PYTHON_BENCH_H_
#define QUILLSTONE_DAT_BENCH_PYTHON_BENCH_H_

#include <filesystem>
#include <optional>
#include <string>

#include "archives.h"

namespace quillstone_dat::bench {

struct PythonFigures {
  // Each the median over the pairs; none when Python failed.
  // archive.items() over bulk against for_each_file: C++ time over Python
  // time, so above 1 would mean Python is faster.
  std::optional<double> items_vs_cpp;
  // archive[id] over spread ids of wide against get_file: Python time over
  // C++ time.
  std::optional<double> get_vs_cpp;
  // items() over bulk's ids in two halves: one thread's time over two
  // threads'.
  std::optional<double> threads_speedup_2;
  // The same split pass through for_each_file in C++: what two threads can
  // gain on this machine at the time.
  std::optional<double> cpp_threads_speedup_2;
  std::string failure;  // why a figure is missing
};

// Ids asked for by the get figure, spread evenly over wide's ids.
inline constexpr int kGetIds = 100'000;

PythonFigures measure_python(const BenchArchives& archives,
                             const std::filesystem::path& python,
                             const std::filesystem::path& script, int runs);

}  // namespace quillstone_dat::bench

#endif  // QUILLSTONE_DAT_BENCH_PYTHON_BENCH_H_
