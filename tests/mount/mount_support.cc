#include "mount/mount_support.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace quillstone_dat::testing {

namespace fs = std::filesystem;

std::optional<std::string> why_no_fuse() {
  const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) return "no usable /dev/fuse on this machine";
  ::close(fd);
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (::access((fs::path(dir) / "fusermount3").c_str(), X_OK) == 0) {
      return std::nullopt;
    }
  }
  return "no fusermount3 on this machine (Debian: apt install fuse3)";
}

bool mounted_at(const fs::path& path) {
  std::ifstream info("/proc/self/mountinfo");
  std::string line;
  while (std::getline(info, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    const auto dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream rest(line.substr(dash + 3));
    std::string type;
    rest >> type;
    if (point == path.string() && type == "fuse.quillstone-dat") return true;
  }
  return false;
}

void force_unmount(const fs::path& path) {
  if (!mounted_at(path)) return;
  if (::geteuid() == 0) {
    ::umount2(path.c_str(), MNT_DETACH);
  } else {
    run_process({"/bin/sh", "-c", "fusermount3 -u -z \"$0\"", path.string()});
  }
}

ProcessResult run_tool(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {QUILLSTONE_DAT_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv);
}

ForegroundMount::ForegroundMount(const fs::path& archive,
                                 const fs::path& mountpoint,
                                 const std::vector<std::string>& extra)
    : mountpoint_(fs::absolute(mountpoint)) {
  std::vector<std::string> argv = {QUILLSTONE_DAT_TOOL_PATH, "mount",
                                   archive.string(), mountpoint_.string(),
                                   "-f"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  process_ = std::make_unique<ChildProcess>(argv);
  ready_ = poll_until([&] { return mounted_at(mountpoint_); });
}

ProcessResult ForegroundMount::finish() {
  if (!result_) {
    force_unmount(mountpoint_);
    result_ = process_->wait();
  }
  return *result_;
}

ProcessResult ForegroundMount::wait() {
  if (!result_) result_ = process_->wait();
  return *result_;
}

ForegroundMount::~ForegroundMount() { finish(); }

}  // namespace quillstone_dat::testing
