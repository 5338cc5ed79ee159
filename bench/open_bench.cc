#include "open_bench.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "timing.h"

extern char** environ;

namespace quillstone_dat::bench {

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "quillstone_dat_bench: %s\n", what.c_str());
  std::exit(1);
}

// A "Name:   123 kB" line of /proc/self/status, in bytes.
double status_bytes(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(name + ":")) {
      std::istringstream fields(line.substr(name.size() + 1));
      double kib = 0;
      fields >> kib;
      return kib * 1024;
    }
  }
  fail("no " + name + " in /proc/self/status");
}

// Runs this executable with `args`, returning what it printed.
std::string run_child(const std::vector<std::string>& args) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) fail("cannot create a pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  std::vector<char*> argv;
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, "/proc/self/exe", &actions, nullptr,
                                    argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  if (spawned != 0) fail("cannot start a child process");
  std::string output;
  std::array<char, 256> buffer;
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buffer.data(), buffer.size())) > 0) {
    output.append(buffer.data(), static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fail("the open measurement failed");
  }
  return output;
}

}  // namespace

int open_child_main(const std::filesystem::path& archive) {
  const double resident_before = status_bytes("VmRSS");
  const double peak_before = status_bytes("VmHWM");
  std::optional<DatResult<DatDatabase>> database;
  const double seconds =
      seconds_of([&] { database.emplace(DatDatabase::open(archive)); });
  if (!*database) {
    std::fprintf(stderr, "open failed: %s\n",
                 (*database).error().debug().c_str());
    return 1;
  }
  const double resident_after = status_bytes("VmRSS");
  const double peak_after = status_bytes("VmHWM");
  std::printf("%.9f %.0f %.0f %zu\n", seconds, resident_after - resident_before,
              peak_after - peak_before, (**database).files().size());
  return 0;
}

OpenFigures measure_open(const std::filesystem::path& archive, int runs) {
  std::vector<double> milliseconds, per_entry, peak_per_entry;
  for (int i = 0; i < runs; ++i) {
    std::istringstream fields(
        run_child({"quillstone_dat_bench", kOpenChildFlag, archive.string()}));
    double seconds = 0, growth = 0, peak = 0, entries = 0;
    if (!(fields >> seconds >> growth >> peak >> entries) || entries == 0) {
      fail("the open measurement printed nothing usable");
    }
    milliseconds.push_back(seconds * 1000);
    per_entry.push_back(growth / entries);
    peak_per_entry.push_back(peak / entries);
  }
  return {median(milliseconds), median(per_entry), median(peak_per_entry)};
}

}  // namespace quillstone_dat::bench
