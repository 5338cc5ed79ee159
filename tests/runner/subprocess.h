// Runs a program to completion with an environment the caller controls and
// collects its exit status and both output streams. For tests that drive an
// executable from outside.

#ifndef QUILLSTONE_DAT_TESTS_RUNNER_SUBPROCESS_H_
#define QUILLSTONE_DAT_TESTS_RUNNER_SUBPROCESS_H_

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace runner::testing {

struct ProcessResult {
  // The exit status, or -1 when a signal ended the process.
  int exit_status = -1;
  // The signal that ended the process, 0 when it exited.
  int signal = 0;
  std::string out;
  std::string err;
};

struct ProcessOptions {
  // Changes to this process's environment: a value sets the variable,
  // nothing removes it.
  std::map<std::string, std::optional<std::string>> environment;
  // Give the child a standard output whose reader has already gone.
  bool close_stdout = false;
};

// Runs `argv[0]` (a path) with `argv`. Throws std::runtime_error when the
// process cannot be started.
ProcessResult run_process(const std::vector<std::string>& argv,
                          const ProcessOptions& options = {});

// The lines of `text`, without their line ends.
std::vector<std::string> lines_of(const std::string& text);

}  // namespace runner::testing

#endif  // QUILLSTONE_DAT_TESTS_RUNNER_SUBPROCESS_H_
