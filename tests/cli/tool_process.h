// The quillstone-dat tool built alongside the tests, run as a child process
// through the tests' subprocess harness (support/subprocess.h).

#ifndef QUILLSTONE_DAT_TESTS_CLI_TOOL_PROCESS_H_
#define QUILLSTONE_DAT_TESTS_CLI_TOOL_PROCESS_H_

#include <string>
#include <vector>

#include "support/lines.h"
#include "support/subprocess.h"

namespace quillstone_dat::testing {

// The tool with `args`, run to completion.
ProcessResult run_tool(const std::vector<std::string>& args,
                       StdoutTarget target = StdoutTarget::kCapture);

// Runs the tool with `input` as its standard input.
ProcessResult run_tool_with_input(const std::vector<std::string>& args,
                                  const std::string& input);

// The tool with `args`, started, for a test that acts on it while it runs.
ChildProcess start_tool(const std::vector<std::string>& args);

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_CLI_TOOL_PROCESS_H_
