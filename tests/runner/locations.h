// Checks a case record's source position against the sources: the line and
// columns it records must frame the case function's name, standing alone as
// a word.

#ifndef QUILLSTONE_DAT_TESTS_RUNNER_LOCATIONS_H_
#define QUILLSTONE_DAT_TESTS_RUNNER_LOCATIONS_H_

#include <filesystem>
#include <optional>
#include <string>

#include "runner/test_case.h"

namespace runner {

// Nothing when `test_case`'s source_path, read under `root`, holds the
// case's function name exactly where the record says; otherwise what is
// wrong.
std::optional<std::string> location_mismatch(const TestCase& test_case,
                                             const std::filesystem::path& root);

}  // namespace runner

#endif  // QUILLSTONE_DAT_TESTS_RUNNER_LOCATIONS_H_
