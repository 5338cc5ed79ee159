// TestCase is one record of the constant case list that an executable hands
// to the runner: the case's full name, whether it is ignored, where its
// function sits in the sources, what failure (if any) it is expected to end
// with, its kind, and the function itself. Records are built at compile time
// and never change.

#ifndef QUILLSTONE_DAT_TESTS_RUNNER_TEST_CASE_H_
#define QUILLSTONE_DAT_TESTS_RUNNER_TEST_CASE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace runner {

// What a case must end with to pass.
struct ExpectedFailure {
  enum class Kind : std::uint8_t {
    kNone,        // passes only by returning
    kAny,         // passes only by failing, with any message
    kContaining,  // passes only by failing with a message containing `text`
  };

  Kind kind = Kind::kNone;
  std::string_view text;

  static constexpr ExpectedFailure none() { return {}; }
  static constexpr ExpectedFailure any() { return {Kind::kAny, {}}; }
  static constexpr ExpectedFailure containing(std::string_view text) {
    return {Kind::kContaining, text};
  }
};

enum class CaseKind : std::uint8_t {
  kUnit,
  kIntegration,
};

struct TestCase {
  // Full name: the case function's namespace path, parts joined by "::".
  std::string_view name;
  bool ignore = false;
  std::optional<std::string_view> ignore_message;
  // Source file holding the case function, relative to the package root.
  std::string_view source_path;
  // Where the function's name stands in that file: 1-based line and column
  // of its first character, and the column just past its last.
  std::size_t start_line = 0;
  std::size_t start_col = 0;
  std::size_t end_line = 0;
  std::size_t end_col = 0;
  ExpectedFailure expected_failure;
  CaseKind kind = CaseKind::kUnit;
  void (*function)() = nullptr;
};

// The last "::"-separated part of a case name: the function's own name.
constexpr std::string_view function_name(std::string_view case_name) {
  const std::size_t colons = case_name.rfind("::");
  return colons == std::string_view::npos ? case_name
                                          : case_name.substr(colons + 2);
}

// A record for an integration case that is not ignored and must pass by
// returning; its function name starts at `line`:`column` of `source_path`.
constexpr TestCase integration_case(std::string_view name,
                                    std::string_view source_path,
                                    std::size_t line, std::size_t column,
                                    void (*function)()) {
  return TestCase{
      .name = name,
      .ignore = false,
      .ignore_message = std::nullopt,
      .source_path = source_path,
      .start_line = line,
      .start_col = column,
      .end_line = line,
      .end_col = column + function_name(name).size(),
      .expected_failure = ExpectedFailure::none(),
      .kind = CaseKind::kIntegration,
      .function = function,
  };
}

}  // namespace runner

#endif  // QUILLSTONE_DAT_TESTS_RUNNER_TEST_CASE_H_
