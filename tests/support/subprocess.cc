#include "support/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <system_error>

extern char** environ;

namespace quillstone_dat::testing {
namespace {

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// A pipe whose ends close when it goes.
class Pipe {
 public:
  Pipe() {
    if (::pipe2(ends_.data(), O_CLOEXEC) != 0) fail("pipe2");
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  int read_end() const { return ends_[0]; }
  int write_end() const { return ends_[1]; }
  void close_read() { close_end(0); }
  void close_write() { close_end(1); }

 private:
  void close_end(std::size_t which) {
    if (ends_[which] >= 0) ::close(ends_[which]);
    ends_[which] = -1;
  }
  std::array<int, 2> ends_{-1, -1};
};

std::vector<std::string> child_environment(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (!changes.contains(text.substr(0, text.find('=')))) {
      result.push_back(text);
    }
  }
  for (const auto& [name, value] : changes) {
    if (value) result.push_back(name + "=" + *value);
  }
  return result;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Reads both pipes to their end, whichever the child fills first, so that
// neither can block the child.
void drain(Pipe& out, std::string& out_text, Pipe& err, std::string& err_text) {
  std::array<char, 65536> buffer{};
  while (out.read_end() >= 0 || err.read_end() >= 0) {
    std::array<pollfd, 2> fds = {pollfd{out.read_end(), POLLIN, 0},
                                 pollfd{err.read_end(), POLLIN, 0}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      fail("poll");
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      Pipe& pipe = i == 0 ? out : err;
      std::string& text = i == 0 ? out_text : err_text;
      const ssize_t n = ::read(pipe.read_end(), buffer.data(), buffer.size());
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

// The actions that give the child its standard streams, undone on every
// way out.
class SpawnActions {
 public:
  SpawnActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;

  void dup2(int fd, int target) {
    ::posix_spawn_file_actions_adddup2(&actions_, fd, target);
  }
  void open(int target, const char* path, int flags) {
    ::posix_spawn_file_actions_addopen(&actions_, target, path, flags, 0);
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

struct ChildProcess::Pipes {
  Pipe in;
  Pipe out;
  Pipe err;
};

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const ProcessOptions& options)
    : pipes_(std::make_unique<Pipes>()) {
  SpawnActions actions;
  if (options.stdout_target == StdoutTarget::kDevFull) {
    actions.open(STDOUT_FILENO, "/dev/full", O_WRONLY);
  } else {
    actions.dup2(pipes_->out.write_end(), STDOUT_FILENO);
  }
  actions.dup2(pipes_->err.write_end(), STDERR_FILENO);
  if (options.input) actions.dup2(pipes_->in.read_end(), STDIN_FILENO);
  if (options.stdout_target == StdoutTarget::kClosedPipe) {
    pipes_->out.close_read();
  }

  std::vector<std::string> arguments = argv;
  std::vector<std::string> environment = child_environment(options.environment);
  const std::vector<char*> argument_pointers = pointers_to(arguments);
  const std::vector<char*> environment_pointers = pointers_to(environment);
  const int spawned =
      ::posix_spawn(&pid_, arguments.front().c_str(), actions.get(), nullptr,
                    argument_pointers.data(), environment_pointers.data());
  if (spawned != 0) {
    pid_ = -1;
    errno = spawned;
    fail(("cannot start " + arguments.front()).c_str());
  }
  pipes_->out.close_write();
  pipes_->err.close_write();
  pipes_->in.close_read();
  if (options.input) {
    const std::string& input = *options.input;
    std::size_t written = 0;
    while (written < input.size()) {
      const ssize_t n = ::write(pipes_->in.write_end(), input.data() + written,
                                input.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) fail("write");
      written += static_cast<std::size_t>(n);
    }
  }
  pipes_->in.close_write();
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

void ChildProcess::send(int signal) const {
  if (::kill(pid_, signal) != 0) fail("kill");
}

std::string ChildProcess::read_stdout_then_close(std::size_t count) {
  std::string text;
  std::array<char, 4096> buffer{};
  while (text.size() < count) {
    const ssize_t n = ::read(pipes_->out.read_end(), buffer.data(),
                             std::min(buffer.size(), count - text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("read");
    if (n == 0) break;
    text.append(buffer.data(), static_cast<std::size_t>(n));
  }
  pipes_->out.close_read();
  return text;
}

ProcessResult ChildProcess::wait() {
  ProcessResult result;
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

ProcessResult run_process(const std::vector<std::string>& argv,
                          const ProcessOptions& options) {
  return ChildProcess(argv, options).wait();
}

}  // namespace quillstone_dat::testing
