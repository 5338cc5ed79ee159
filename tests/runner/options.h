// RunOptions is the runner's command line, read into a value. A case is
// selected by name when it matches one of the filters (any case, when there
// are none) and none of the skip texts; matching is by substring, or by the
// whole name under --exact.

#ifndef QUILLSTONE_DAT_TESTS_RUNNER_OPTIONS_H_
#define QUILLSTONE_DAT_TESTS_RUNNER_OPTIONS_H_

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace runner {

enum class IgnoredCases : unsigned char {
  kSkip,     // the default: ignored cases are reported as such, not run
  kOnly,     // --ignored: run the ignored cases alone
  kInclude,  // --include-ignored: run them with the others
};

struct RunOptions {
  std::vector<std::string> filters;
  std::vector<std::string> skips;
  bool exact = false;
  bool list = false;
  bool help = false;
  IgnoredCases ignored = IgnoredCases::kSkip;
  // Absent: one worker per hardware thread.
  std::optional<std::size_t> test_threads;
  bool capture = true;
  bool show_output = false;
  // Check each case's recorded place against the sources under this root
  // instead of running the cases.
  std::optional<std::string> check_locations;

  // Whether `name` passes the filters and skip texts (ignoring aside).
  bool selects(std::string_view name) const;
};

// Reads the arguments after the program name. On a usage error, the text
// to show the user.
std::expected<RunOptions, std::string> parse_options(
    std::span<const std::string_view> args);

// The text --help prints; `program` is the name the process was run under.
std::string usage(std::string_view program);

}  // namespace runner

#endif  // QUILLSTONE_DAT_TESTS_RUNNER_OPTIONS_H_
