// `mount ARCHIVE MOUNTPOINT [--raw] [-f] [-o OPTIONS] [--log FILE]`: shows
// the archive as a read-only folder, the one extract would write, through
// FUSE (mount/archive_fs.h, mount/fuse_glue.h). The archive is opened and
// its directory read first, so one that does not open is refused with the
// tool's one-line error before anything is mounted. Without -f the command
// forks, and returns once the mount is ready (0) or has failed (1, with
// the reason); the mount's process serves it until it is unmounted.
//
// `umount MOUNTPOINT [--lazy]`: unmounts such a folder, as fusermount3 -u
// does.

#include <fcntl.h>
#include <fmt/format.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "arguments.h"
#include "command.h"
#include "error_text.h"
#include "mount/archive_fs.h"
#include "mount/fuse_glue.h"

extern char** environ;

namespace quillstone_dat::tool {
namespace {

namespace fs = std::filesystem;

// The reason a mount point cannot take a mount, or nothing.
std::optional<std::string> mountpoint_problem(const fs::path& mountpoint) {
  struct stat st {};
  if (::stat(mountpoint.c_str(), &st) != 0) {
    return fmt::format("cannot mount here: {}", std::strerror(errno));
  }
  if (!S_ISDIR(st.st_mode)) return "cannot mount here: not a folder";
  return std::nullopt;
}

// Writes all of `text` to `fd`, as far as it goes.
void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

class MountCommand final : public Command {
 public:
  std::string_view name() const override { return "mount"; }
  std::string_view summary() const override {
    return "Show the archive as a read-only folder, as extract would write "
           "it (FUSE)";
  }
  std::string_view synopsis() const override {
    return "ARCHIVE MOUNTPOINT [--raw] [-f] [-o OPTIONS] [--log FILE]";
  }
  std::string_view details() const override {
    return "The folder holds XXXXXXXX.bin for each entry, dated with its "
           "timestamp, and\nmanifest.json: what extract (extract --raw with "
           "--raw) writes, read only when\nopened. It is the archive as it "
           "was when mounted; once the archive is written\nto, its files "
           "read as errors (EIO) until it is mounted again. A file that "
           "cannot\nbe read gives EIO and one line on standard error (with "
           "-f), in --log FILE, or\nin the system log. Without -f the "
           "command returns once the folder is ready;\n'quillstone-dat "
           "umount MOUNTPOINT' unmounts it.\n";
  }
  std::string_view example() const override {
    return "  quillstone-dat mount portal.dat /mnt/portal\n"
           "  grep -l Holtburg /mnt/portal/*.bin\n"
           "  quillstone-dat umount /mnt/portal\n";
  }

  void configure(CLI::App& parser) override {
    add_archive_argument(parser, archive_, "Path of the DAT archive");
    parser.add_option("MOUNTPOINT", mountpoint_, "Folder to mount it on")
        ->required()
        ->type_name("PATH");
    parser.add_flag("--raw", raw_,
                    "Show the stored bytes without decompressing them");
    parser.add_flag("--foreground,-f", foreground_,
                    "Stay in the foreground until unmounted or interrupted");
    parser
        .add_option("-o", options_,
                    "FUSE mount options, comma-separated (allow_other, ...)")
        ->type_name("OPTIONS");
    parser
        .add_option("--log", log_,
                    "Append a line for each file that cannot be read to FILE")
        ->type_name("FILE");
  }

  ExitStatus run() const override {
    const fs::path mountpoint = fs::absolute(mountpoint_);
    int log_fd = -1;
    if (!log_.empty()) {
      log_fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                      0644);
      if (log_fd < 0) {
        return report_failure(log_, fmt::format("cannot write: {}",
                                                std::strerror(errno)));
      }
    }
    // Before forking, stderr is the user's; after, the log file or syslog.
    auto log_to = std::make_shared<int>(log_fd >= 0 ? log_fd : STDERR_FILENO);
    auto use_syslog = std::make_shared<bool>(false);
    ArchiveFsOptions options{
        .raw = raw_,
        .mount_time = std::time(nullptr),
        .log = [log_to, use_syslog](const std::string& line) {
          if (*use_syslog) {
            ::syslog(LOG_ERR, "%s", line.c_str());
          } else {
            write_all(*log_to, line + "\n");
          }
        }};
    auto archive = ArchiveFs::open(archive_, std::move(options));
    if (!archive) {
      return report_error(archive.error(), ErrorScene::open(archive_));
    }
    if (auto problem = mountpoint_problem(mountpoint)) {
      return report_failure(mountpoint_, *problem);
    }
    const std::string fsname = fs::absolute(archive_).string();

    if (foreground_) {
      auto session = FuseSession::mount(**archive, mountpoint, options_, fsname);
      if (!session) {
        return report_failure(mountpoint_, "cannot mount: " + session.error());
      }
      return (*session)->run() == 0 ? ExitStatus::kSuccess
                                    : ExitStatus::kFailure;
    }

    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
      return report_failure("", fmt::format("cannot start the mount: {}",
                                            std::strerror(errno)));
    }
    const pid_t child = ::fork();
    if (child < 0) {
      return report_failure("", fmt::format("cannot start the mount: {}",
                                            std::strerror(errno)));
    }
    if (child == 0) {
      ::close(ready[0]);
      ::setsid();
      auto session = FuseSession::mount(**archive, mountpoint, options_, fsname);
      if (!session) {
        write_all(ready[1], "cannot mount: " + session.error());
        ::_exit(1);
      }
      // Standard streams go; the mount's lines go to the log.
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, STDIN_FILENO);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      if (null > STDERR_FILENO) ::close(null);
      if (log_fd < 0) {
        ::openlog("quillstone-dat", LOG_PID, LOG_USER);
        *use_syslog = true;
      }
      (void)::chdir("/");
      write_all(ready[1], "ready");
      ::close(ready[1]);
      const int result = (*session)->run();
      session->reset();
      ::_exit(result == 0 ? 0 : 1);
    }
    ::close(ready[1]);
    std::string said;
    char buffer[512];
    for (;;) {
      const ssize_t n = ::read(ready[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      said.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(ready[0]);
    if (said == "ready") return ExitStatus::kSuccess;
    int status = 0;
    ::waitpid(child, &status, 0);
    return report_failure(mountpoint_,
                          said.empty() ? "the mount's process ended before "
                                         "the mount was ready"
                                       : said);
  }

 private:
  std::string archive_;
  std::string mountpoint_;
  bool raw_ = false;
  bool foreground_ = false;
  std::vector<std::string> options_;
  std::string log_;
};

// Whether /proc/self/mountinfo lists a quillstone-dat mount at `path`.
bool is_our_mount(const fs::path& path) {
  std::ifstream info("/proc/self/mountinfo");
  std::string line;
  while (std::getline(info, line)) {
    // ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    const auto dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream rest(line.substr(dash + 3));
    std::string type;
    rest >> type;
    // Spaces and the like are octal escapes in mountinfo.
    std::string unescaped;
    for (std::size_t i = 0; i < point.size(); ++i) {
      if (point[i] == '\\' && i + 3 < point.size()) {
        unescaped += static_cast<char>(std::stoi(point.substr(i + 1, 3), nullptr, 8));
        i += 3;
      } else {
        unescaped += point[i];
      }
    }
    if (unescaped == path.string() && type == "fuse.quillstone-dat") return true;
  }
  return false;
}

class UmountCommand final : public Command {
 public:
  std::string_view name() const override { return "umount"; }
  std::string_view summary() const override {
    return "Unmount a folder that mount shows, as fusermount3 -u does";
  }
  std::string_view synopsis() const override {
    return "MOUNTPOINT [--lazy]";
  }
  std::string_view details() const override {
    return "A folder with a file held open is busy: umount fails and leaves "
           "it mounted,\nunless --lazy, which detaches it now and ends the "
           "mount once the last file\nis closed.\n";
  }
  std::string_view example() const override {
    return "  quillstone-dat umount /mnt/portal\n";
  }

  void configure(CLI::App& parser) override {
    parser.add_option("MOUNTPOINT", mountpoint_, "Folder the archive is mounted on")
        ->required()
        ->type_name("PATH");
    parser.add_flag("--lazy,-z", lazy_,
                    "Detach at once, even while files are open");
  }

  ExitStatus run() const override {
    std::error_code error;
    fs::path path = fs::weakly_canonical(fs::absolute(mountpoint_), error);
    if (error) path = fs::absolute(mountpoint_);
    if (!is_our_mount(path)) {
      return report_failure(mountpoint_, "not a quillstone-dat mount");
    }
    if (::geteuid() == 0) {
      if (::umount2(path.c_str(), lazy_ ? MNT_DETACH : 0) != 0) {
        return report_failure(mountpoint_, fmt::format("cannot unmount: {}",
                                                       std::strerror(errno)));
      }
      return ExitStatus::kSuccess;
    }
    std::vector<std::string> words = {"fusermount3", "-u"};
    if (lazy_) words.push_back("-z");
    words.push_back(path.string());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (const int failed = ::posix_spawnp(&pid, "fusermount3", nullptr, nullptr,
                                          argv.data(), environ);
        failed != 0) {
      return report_failure(mountpoint_,
                            fmt::format("cannot run fusermount3: {}",
                                        std::strerror(failed)));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return report_failure(mountpoint_, "cannot unmount (fusermount3 failed)");
    }
    return ExitStatus::kSuccess;
  }

 private:
  std::string mountpoint_;
  bool lazy_ = false;
};

}  // namespace

std::unique_ptr<Command> make_mount_command() {
  return std::make_unique<MountCommand>();
}

std::unique_ptr<Command> make_umount_command() {
  return std::make_unique<UmountCommand>();
}

}  // namespace quillstone_dat::tool
