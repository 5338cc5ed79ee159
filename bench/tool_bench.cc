#include "tool_bench.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>
#include <vector>

#include "payloads.h"
#include "quillstone_dat/dat_database.h"
#include "timing.h"

extern char** environ;

namespace quillstone_dat::bench {

namespace {

namespace fs = std::filesystem;

// A command and the file or folder it writes, which must not exist before
// it runs (a folder exists, empty) and is removed after it.
struct Command {
  std::vector<std::string> args;
  fs::path output;
  bool output_is_folder = false;
};

struct Timed {
  bool ok = false;
  double seconds = 0;
  std::string failure;
};

std::string first_line_of(const fs::path& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

void remove_quietly(const fs::path& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

// Runs `args` (the program looked up in PATH) with standard output
// discarded and standard error kept in `log`; the wall time from spawn to
// exit.
Timed run(const std::vector<std::string>& args, const fs::path& log) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null",
                                   O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  Timed timed;
  timed.seconds = seconds_of([&] {
    const int spawned =
        ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    if (spawned != 0) {
      timed.failure = "cannot start " + args[0] + ": " + std::strerror(spawned);
      return;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      timed.failure =
          args[0] + " " + args[1] + " failed: " + first_line_of(log);
      return;
    }
    timed.ok = true;
  });
  posix_spawn_file_actions_destroy(&actions);
  return timed;
}

// Runs `command` on a clean slate: its output absent (or an empty folder)
// and earlier writes flushed, so that one command's write-back does not
// land in the next one's time.
Timed run_clean(const Command& command, const fs::path& log,
                bool keep_output = false) {
  remove_quietly(command.output);
  if (command.output_is_folder) {
    std::error_code ignored;
    fs::create_directories(command.output, ignored);
  }
  ::sync();
  const Timed timed = run(command.args, log);
  if (!keep_output) remove_quietly(command.output);
  return timed;
}

// Pairs of tool and tar times, and the ratios taken per pair.
class Pairs {
 public:
  Pairs(int runs, double budget_seconds)
      : runs_(runs), budget_seconds_(budget_seconds) {}

  bool wants_more() const {
    return failure_.empty() && static_cast<int>(tool_.size()) < runs_ &&
           spent_ < budget_seconds_;
  }

  void add(const Timed& tool, const Timed& tar) {
    if (!tool.ok || !tar.ok) {
      failure_ = !tool.failure.empty() ? tool.failure : tar.failure;
      return;
    }
    tool_.push_back(tool.seconds);
    tar_.push_back(tar.seconds);
    ratios_.push_back(tool.seconds / tar.seconds);
    spent_ += tool.seconds + tar.seconds;
  }

  // The tool first in even pairs, tar first in odd ones; a failed command
  // ends the figure.
  template <typename Tool, typename Tar>
  void run_pair(Tool&& tool, Tar&& tar) {
    Timed tool_time, tar_time;
    if (tool_.size() % 2 == 0) {
      tool_time = tool();
      if (tool_time.ok) tar_time = tar();
    } else {
      tar_time = tar();
      if (tar_time.ok) tool_time = tool();
    }
    add(tool_time, tar_time);
  }

  ToolRatio result() const {
    ToolRatio figure;
    figure.pairs = static_cast<int>(ratios_.size());
    figure.failure = failure_;
    if (failure_.empty() && !ratios_.empty()) {
      figure.ratio = median(ratios_);
      figure.tool_seconds = median(tool_);
      figure.tar_seconds = median(tar_);
    }
    return figure;
  }

 private:
  int runs_;
  double budget_seconds_;
  double spent_ = 0;
  std::vector<double> tool_, tar_, ratios_;
  std::string failure_;
};

std::size_t files_in(const fs::path& folder) {
  std::size_t count = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) ++count;
  }
  return count;
}

// Removes the scratch folder when the measurement ends, however it ends.
class ScratchFolder {
 public:
  explicit ScratchFolder(fs::path path) : path_(std::move(path)) {
    remove_quietly(path_);
  }
  ~ScratchFolder() { remove_quietly(path_); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

 private:
  fs::path path_;
};

ToolFigures failed(const std::string& why) {
  ToolFigures figures;
  for (ToolRatio* figure : {&figures.extract, &figures.extract_1thread,
                            &figures.pack, &figures.edit}) {
    figure->failure = why;
  }
  return figures;
}

}  // namespace

ToolFigures measure_tool(const fs::path& tool, const fs::path& archive,
                         const fs::path& scratch, int runs,
                         double budget_seconds) {
  const ScratchFolder cleanup(scratch);
  std::error_code error;
  fs::create_directories(scratch, error);
  if (error) return failed("cannot create " + scratch.string());
  const fs::path log = scratch / "stderr.log";
  const fs::path unpacked = scratch / "unpacked";
  const fs::path tar_file = scratch / "files.tar";
  const fs::path out = scratch / "out";

  const auto extract = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {tool.string(), "extract", archive.string(),
                                     out.string(), "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Command{args, out, true};
  };
  const Command tar_extract{
      {"tar", "-xf", tar_file.string(), "-C", out.string()}, out, true};

  // The first extract also makes the folder the tar and pack work from:
  // the files alone, without the manifest extract writes beside them.
  Pairs extract_pairs(runs, budget_seconds);
  const Timed first = run_clean(extract({}), log, true);
  if (!first.ok) return failed(first.failure);
  fs::rename(out, unpacked, error);
  if (error) return failed("cannot rename " + out.string());
  remove_quietly(unpacked / "manifest.json");
  auto database = DatDatabase::open(archive);
  if (!database) return failed("cannot open " + archive.string());
  const std::size_t expected = database->files().size();
  if (files_in(unpacked) != expected) {
    return failed("extract wrote " + std::to_string(files_in(unpacked)) +
                  " files, the archive holds " + std::to_string(expected));
  }
  const Timed tar_made =
      run({"tar", "-cf", tar_file.string(), "-C", unpacked.string(), "."}, log);
  if (!tar_made.ok) return failed(tar_made.failure);
  extract_pairs.add(first, run_clean(tar_extract, log));

  while (extract_pairs.wants_more()) {
    extract_pairs.run_pair([&] { return run_clean(extract({}), log); },
                           [&] { return run_clean(tar_extract, log); });
  }
  Pairs one_thread_pairs(runs, budget_seconds);
  while (one_thread_pairs.wants_more()) {
    one_thread_pairs.run_pair(
        [&] {
          return run_clean(extract({"--jobs", "1"}), log);
        },
        [&] { return run_clean(tar_extract, log); });
  }
  const Command pack{{tool.string(), "pack", unpacked.string(),
                      (scratch / "packed.dat").string(), "--compress", "none"},
                     scratch / "packed.dat"};
  const Command tar_create{{"tar", "-cf", (scratch / "packed.tar").string(),
                            "-C", unpacked.string(), "."},
                           scratch / "packed.tar"};
  Pairs pack_pairs(runs, budget_seconds);
  while (pack_pairs.wants_more()) {
    pack_pairs.run_pair([&] { return run_clean(pack, log); },
                        [&] { return run_clean(tar_create, log); });
  }

  // Ten files spread through the archive, each replaced by new bytes of
  // about the archive's average file size, in a packed copy that the
  // edits keep changing.
  const fs::path ten = scratch / "ten";
  fs::create_directories(ten, error);
  std::vector<std::uint32_t> ids;
  for (const DatFileEntry& entry : database->files()) ids.push_back(entry.id);
  std::ranges::sort(ids);
  for (std::size_t i = 0; i < 10 && !ids.empty(); ++i) {
    const std::uint32_t id = ids[i * ids.size() / 10];
    char name[16];
    std::snprintf(name, sizeof name, "%08X.bin", id);
    const std::vector<std::uint8_t> bytes = replacement_bytes(id);
    std::ofstream(ten / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  const fs::path edited = scratch / "edited.dat";
  const Timed copy_made = run_clean(
      {{tool.string(), "pack", unpacked.string(), edited.string()}, edited},
      log, true);
  if (!copy_made.ok) return failed(copy_made.failure);
  const Command edit{
      {tool.string(), "add", edited.string(), ten.string(), "--replace"},
      scratch / "no-output"};
  Pairs edit_pairs(runs, budget_seconds);
  while (edit_pairs.wants_more()) {
    edit_pairs.run_pair([&] { return run_clean(edit, log); },
                        [&] { return run_clean(pack, log); });
  }

  return {extract_pairs.result(), one_thread_pairs.result(),
          pack_pairs.result(), edit_pairs.result()};
}

}  // namespace quillstone_dat::bench
