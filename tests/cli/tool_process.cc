#include "cli/tool_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace quillstone_dat::testing {
namespace {

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

struct Pipe {
  int read_end = -1;
  int write_end = -1;

  Pipe() {
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) fail("pipe2");
    read_end = fds[0];
    write_end = fds[1];
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  void close_read() {
    if (read_end >= 0) ::close(read_end);
    read_end = -1;
  }
  void close_write() {
    if (write_end >= 0) ::close(write_end);
    write_end = -1;
  }
};

// Reads both pipes to their end, whichever the child fills first, so that
// neither can block the child.
void drain(Pipe& out, std::string& out_text, Pipe& err, std::string& err_text) {
  std::array<char, 65536> buffer{};
  while (out.read_end >= 0 || err.read_end >= 0) {
    std::array<pollfd, 2> fds = {pollfd{out.read_end, POLLIN, 0},
                                 pollfd{err.read_end, POLLIN, 0}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      fail("poll");
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      Pipe& pipe = i == 0 ? out : err;
      std::string& text = i == 0 ? out_text : err_text;
      const ssize_t n = ::read(pipe.read_end, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) fail("read");
      if (n == 0) {
        pipe.close_read();
      } else {
        text.append(buffer.data(), static_cast<std::size_t>(n));
      }
    }
  }
}

}  // namespace

struct ToolProcess::Pipes {
  Pipe in;
  Pipe out;
  Pipe err;
};

ToolProcess::ToolProcess(const std::vector<std::string>& args,
                         StdoutTarget target,
                         const std::optional<std::string>& input)
    : pipes_(std::make_unique<Pipes>()) {
  std::vector<std::string> argv_text = {QUILLSTONE_DAT_TOOL_PATH};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  Pipe& out = pipes_->out;
  Pipe& err = pipes_->err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (target == StdoutTarget::kDevFull) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/full",
                                     O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out.write_end, STDOUT_FILENO);
  }
  posix_spawn_file_actions_adddup2(&actions, err.write_end, STDERR_FILENO);
  if (input) {
    posix_spawn_file_actions_adddup2(&actions, pipes_->in.read_end,
                                     STDIN_FILENO);
  }
  if (target == StdoutTarget::kClosedPipe) out.close_read();

  const int spawned =
      ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    errno = spawned;
    fail("posix_spawn");
  }
  out.close_write();
  err.close_write();
  pipes_->in.close_read();
  if (input) {
    // Small inputs only: the pipe holds them whole, so this cannot block.
    std::size_t written = 0;
    while (written < input->size()) {
      const ssize_t n = ::write(pipes_->in.write_end, input->data() + written,
                                input->size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) fail("write");
      written += static_cast<std::size_t>(n);
    }
  }
  pipes_->in.close_write();
}

ToolProcess::~ToolProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

void ToolProcess::send(int signal) const {
  if (::kill(pid_, signal) != 0) fail("kill");
}

std::string ToolProcess::read_stdout_then_close(std::size_t count) {
  std::string text;
  std::array<char, 4096> buffer{};
  while (text.size() < count) {
    const ssize_t n = ::read(pipes_->out.read_end, buffer.data(),
                             std::min(buffer.size(), count - text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("read");
    if (n == 0) break;
    text.append(buffer.data(), static_cast<std::size_t>(n));
  }
  pipes_->out.close_read();
  return text;
}

ToolResult ToolProcess::wait() {
  ToolResult result;
  drain(pipes_->out, result.out, pipes_->err, result.err);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) fail("waitpid");
  }
  pid_ = -1;
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

ToolResult run_tool(const std::vector<std::string>& args, StdoutTarget target) {
  return ToolProcess(args, target).wait();
}

ToolResult run_tool_with_input(const std::vector<std::string>& args,
                               const std::string& input) {
  return ToolProcess(args, StdoutTarget::kCapture, input).wait();
}

}  // namespace quillstone_dat::testing
