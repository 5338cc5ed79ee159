// Wall-clock timing for the benchmarks: the duration of one call and the
// median of several, so that one slow run on a shared machine does not
// move a figure.

#ifndef QUILLSTONE_DAT_BENCH_TIMING_H_
#define QUILLSTONE_DAT_BENCH_TIMING_H_

#include <algorithm>
#include <chrono>
#include <vector>

namespace quillstone_dat::bench {

template <typename F>
double seconds_of(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  const std::chrono::duration<double> elapsed =
      std::chrono::steady_clock::now() - start;
  return elapsed.count();
}

inline double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid]
                                : (values[mid - 1] + values[mid]) / 2;
}

// The median of `runs` values returned by `f`.
template <typename F>
double median_of(int runs, F&& f) {
  std::vector<double> values;
  for (int i = 0; i < runs; ++i) values.push_back(f());
  return median(std::move(values));
}

}  // namespace quillstone_dat::bench

#endif  // QUILLSTONE_DAT_BENCH_TIMING_H_
