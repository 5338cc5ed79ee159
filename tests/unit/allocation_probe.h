// A watch on the largest single request made through operator new, so that
// a test can show that an operation never asked for a huge buffer on the
// word of a malformed archive. The test executable replaces the global
// operator new to feed it.

#ifndef QUILLSTONE_DAT_TESTS_UNIT_ALLOCATION_PROBE_H_
#define QUILLSTONE_DAT_TESTS_UNIT_ALLOCATION_PROBE_H_

#include <cstddef>

namespace quillstone_dat::testing {

class LargestAllocation {
 public:
  // Starts watching from now on.
  LargestAllocation();

  // The largest request in bytes since construction, from any thread.
  std::size_t bytes() const;
};

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_UNIT_ALLOCATION_PROBE_H_
