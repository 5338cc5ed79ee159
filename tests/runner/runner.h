// The fixture runner: takes a constant list of case records and the command
// line, selects cases by name, runs them on worker threads with each case's
// output captured apart, and prints one result line per case, the failures
// with their output and the check's source location, and a summary whose
// last line is "result: N passed, M failed, K skipped" (skipped counts
// ignored and filtered-out cases). A failed case ends only itself.

#ifndef QUILLSTONE_DAT_TESTS_RUNNER_RUNNER_H_
#define QUILLSTONE_DAT_TESTS_RUNNER_RUNNER_H_

#include <ostream>
#include <span>

#include "runner/options.h"
#include "runner/test_case.h"

namespace runner {

// The process entry's work: reads the options from `argv` and runs `cases`.
// Returns the exit status: 0 when every selected case passed, 1 when one
// failed, 2 on a usage error. Ignores SIGPIPE for the rest of the process,
// so that a closed standard output cannot end it.
int run_cases(int argc, char** argv, std::span<const TestCase> cases);

// The same with options already read, reporting to `report`.
int run_cases(const RunOptions& options, std::span<const TestCase> cases,
              std::ostream& report);

}  // namespace runner

#endif  // QUILLSTONE_DAT_TESTS_RUNNER_RUNNER_H_
