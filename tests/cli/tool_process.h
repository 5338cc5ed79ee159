// Runs the quillstone-dat tool built alongside the tests as a child process
// and collects its exit status and both output streams, byte for byte.

#ifndef QUILLSTONE_DAT_TESTS_CLI_TOOL_PROCESS_H_
#define QUILLSTONE_DAT_TESTS_CLI_TOOL_PROCESS_H_

#include <string>
#include <vector>

namespace quillstone_dat::testing {

struct ToolResult {
  int exit_code = -1;  // -1 when a signal ended the process
  int signal = 0;
  std::string out;
  std::string err;
};

// Where the tool's standard output goes.
enum class StdoutTarget {
  kCapture,     // a pipe read into ToolResult::out
  kDevFull,     // /dev/full: every write fails with ENOSPC
  kClosedPipe,  // a pipe whose reading end is already closed: EPIPE
};

ToolResult run_tool(const std::vector<std::string>& args,
                    StdoutTarget target = StdoutTarget::kCapture);

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_CLI_TOOL_PROCESS_H_
