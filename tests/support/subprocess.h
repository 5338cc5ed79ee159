// Runs a program as a child process, with an environment, standard input
// and standard output the caller controls, and collects its exit status and
// both output streams byte for byte; or starts it, for a test that acts on
// it while it runs. The runner's tests drive the fixture executables with
// it, the CLI tests the quillstone-dat tool.

#ifndef QUILLSTONE_DAT_TESTS_SUPPORT_SUBPROCESS_H_
#define QUILLSTONE_DAT_TESTS_SUPPORT_SUBPROCESS_H_

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillstone_dat::testing {

struct ProcessResult {
  int exit_code = -1;  // -1 when a signal ended the process
  int signal = 0;      // the signal that ended it, 0 when it exited
  std::string out;
  std::string err;
};

// Where the child's standard output goes.
enum class StdoutTarget {
  kCapture,     // a pipe read into ProcessResult::out
  kDevFull,     // /dev/full: every write fails with ENOSPC
  kClosedPipe,  // a pipe whose reader has gone, as when output is piped
                // into `head`: every write fails with EPIPE (and SIGPIPE)
};

struct ProcessOptions {
  // Changes to this process's environment: a value sets the variable,
  // nothing removes it.
  std::map<std::string, std::optional<std::string>> environment;
  StdoutTarget stdout_target = StdoutTarget::kCapture;
  // The whole of the child's standard input, small enough for a pipe to
  // hold; without it the child shares the test's.
  std::optional<std::string> input;
};

// A running child. Its output is collected by wait(); destroyed before
// that, it kills the process and reaps it.
class ChildProcess {
 public:
  // Starts `argv[0]` (a path) with `argv`. Throws std::system_error when
  // the process cannot be started.
  explicit ChildProcess(const std::vector<std::string>& argv,
                        const ProcessOptions& options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void send(int signal) const;
  // Reads `count` bytes of standard output (fewer if it ends first) and
  // closes the reading end, as `head -c COUNT` does.
  std::string read_stdout_then_close(std::size_t count);
  ProcessResult wait();

 private:
  struct Pipes;
  std::unique_ptr<Pipes> pipes_;
  pid_t pid_ = -1;
};

// Runs `argv[0]` with `argv` to completion.
ProcessResult run_process(const std::vector<std::string>& argv,
                          const ProcessOptions& options = {});

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_SUPPORT_SUBPROCESS_H_
