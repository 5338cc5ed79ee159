// Runs the quillstone-dat tool built alongside the tests as a child process
// and collects its exit status and both output streams, byte for byte.

#ifndef QUILLSTONE_DAT_TESTS_CLI_TOOL_PROCESS_H_
#define QUILLSTONE_DAT_TESTS_CLI_TOOL_PROCESS_H_

#include <sys/types.h>

#include <memory>
#include <optional>
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

// A running tool process, for tests that act on it while it runs. Its
// output is collected by wait(); destroyed before that, it kills the
// process and reaps it.
class ToolProcess {
 public:
  // `input`, when given, is the whole of the tool's standard input;
  // otherwise the tool shares the test's.
  explicit ToolProcess(const std::vector<std::string>& args,
                       StdoutTarget target = StdoutTarget::kCapture,
                       const std::optional<std::string>& input = std::nullopt);
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  pid_t pid() const { return pid_; }
  void send(int signal) const;
  // Reads `count` bytes of standard output (fewer if it ends first) and
  // closes the reading end, as `head -c COUNT` does.
  std::string read_stdout_then_close(std::size_t count);
  ToolResult wait();

 private:
  struct Pipes;
  std::unique_ptr<Pipes> pipes_;
  pid_t pid_ = -1;
};

ToolResult run_tool(const std::vector<std::string>& args,
                    StdoutTarget target = StdoutTarget::kCapture);

// Runs the tool with `input` as its standard input.
ToolResult run_tool_with_input(const std::vector<std::string>& args,
                               const std::string& input);

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_CLI_TOOL_PROCESS_H_
