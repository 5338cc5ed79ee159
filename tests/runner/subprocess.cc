#include "runner/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace runner::testing {
namespace {

// A pipe whose ends close when it goes.
class Pipe {
 public:
  Pipe() {
    if (::pipe2(ends_.data(), O_CLOEXEC) != 0) {
      throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
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
    const std::string name = text.substr(0, text.find('='));
    if (!changes.contains(name)) result.push_back(text);
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

// Reads both pipes until both reach their ends.
void drain(Pipe& out_pipe, Pipe& err_pipe, ProcessResult& result) {
  std::array<pollfd, 2> fds{
      {{out_pipe.read_end(), POLLIN, 0}, {err_pipe.read_end(), POLLIN, 0}}};
  std::array<std::string*, 2> sinks{&result.out, &result.err};
  std::array<char, 4096> buffer;
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (got > 0) {
        sinks[i]->append(buffer.data(), static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
      }
    }
  }
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv,
                          const ProcessOptions& options) {
  Pipe out_pipe;
  Pipe err_pipe;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe.write_end(),
                                   STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_pipe.write_end(),
                                   STDERR_FILENO);
  // A pipe whose reader is gone makes every write fail with EPIPE (and
  // raise SIGPIPE), as when output is piped into `head`.
  if (options.close_stdout) out_pipe.close_read();

  std::vector<std::string> arguments = argv;
  std::vector<std::string> environment = child_environment(options.environment);
  std::vector<char*> argument_pointers = pointers_to(arguments);
  std::vector<char*> environment_pointers = pointers_to(environment);
  pid_t pid = 0;
  const int error =
      ::posix_spawn(&pid, arguments.front().c_str(), &actions, nullptr,
                    argument_pointers.data(), environment_pointers.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    throw std::runtime_error("cannot start " + arguments.front() + ": " +
                             std::strerror(error));
  }
  out_pipe.close_write();
  err_pipe.close_write();

  ProcessResult result;
  drain(out_pipe, err_pipe, result);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
    }
  }
  if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);)
    lines.push_back(std::move(line));
  return lines;
}

}  // namespace runner::testing
