// Prints the benchmark's figures, one `name: value (goal ...)` line each,
// with whether the goal was met.

#ifndef QUILLSTONE_DAT_BENCH_REPORT_H_
#define QUILLSTONE_DAT_BENCH_REPORT_H_

#include <cstdio>

namespace quillstone_dat::bench {

enum class Goal { kAtLeast, kAtMost, kBelow };

inline void report(const char* name, double value, int decimals, Goal goal,
                   double bound) {
  bool met = false;
  const char* relation = "";
  switch (goal) {
    case Goal::kAtLeast:
      met = value >= bound;
      relation = ">=";
      break;
    case Goal::kAtMost:
      met = value <= bound;
      relation = "<=";
      break;
    case Goal::kBelow:
      met = value < bound;
      relation = "<";
      break;
  }
  std::printf("%s: %.*f (goal %s %g, %s)\n", name, decimals, value, relation,
              bound, met ? "met" : "MISSED");
  std::fflush(stdout);
}

// A figure with no goal of its own: a baseline or a detail.
inline void report(const char* name, double value, int decimals,
                   const char* note) {
  std::printf("%s: %.*f (no goal: %s)\n", name, decimals, value, note);
  std::fflush(stdout);
}

}  // namespace quillstone_dat::bench

#endif  // QUILLSTONE_DAT_BENCH_REPORT_H_
