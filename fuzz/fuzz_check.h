// The fuzz targets' assertion: a broken promise of the library aborts the
// process with a message, which the fuzzing engine reports as a finding.
// Unlike assert() it stays on in optimised builds.

#ifndef QUILLSTONE_DAT_FUZZ_FUZZ_CHECK_H_
#define QUILLSTONE_DAT_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>
#include <source_location>

namespace quillstone_dat::fuzz {

inline void check(
    bool holds, const char* what,
    std::source_location where = std::source_location::current()) {
  if (holds) return;
  std::fprintf(stderr, "%s:%u: broken promise: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), what);
  std::abort();
}

}  // namespace quillstone_dat::fuzz

#endif  // QUILLSTONE_DAT_FUZZ_FUZZ_CHECK_H_
