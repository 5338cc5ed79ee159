// Assertions on calls that were to fail with a given kind of error. On a
// call that succeeded instead, the failure says what it returned.

#ifndef QUILLSTONE_DAT_TESTS_SUPPORT_EXPECT_ERROR_H_
#define QUILLSTONE_DAT_TESTS_SUPPORT_EXPECT_ERROR_H_

#include <gtest/gtest.h>

#include <string>

#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/error.h"
#include "support/little_endian.h"

namespace quillstone_dat::testing {

inline std::string what_succeeded(const DatDatabase& db) {
  return "opened with " + std::to_string(db.files().size()) + " entries";
}

inline std::string what_succeeded(const Bytes& bytes) {
  return "read " + std::to_string(bytes.size()) + " bytes";
}

template <typename T>
void expect_corruption(const DatResult<T>& result) {
  ASSERT_FALSE(result) << what_succeeded(*result);
  EXPECT_EQ(result.error().kind(), DatError::Kind::kCorruption)
      << result.error();
}

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_SUPPORT_EXPECT_ERROR_H_
