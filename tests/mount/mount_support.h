// Helpers of the mount tests: whether this machine can mount FUSE file
// systems, and a mount of the tool held for the length of a test, always
// unmounted when the test ends, passed or failed.

#ifndef QUILLSTONE_DAT_TESTS_MOUNT_MOUNT_SUPPORT_H_
#define QUILLSTONE_DAT_TESTS_MOUNT_MOUNT_SUPPORT_H_

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/subprocess.h"

namespace quillstone_dat::testing {

// Why real mounts cannot run here (no /dev/fuse, no fusermount3), or
// nothing.
std::optional<std::string> why_no_fuse();

// Whether /proc/self/mountinfo lists a quillstone-dat mount at `path`.
bool mounted_at(const std::filesystem::path& path);

// Polls `ready` every millisecond until it holds or `limit` passes.
template <typename Predicate>
bool poll_until(Predicate ready,
                std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The tool, `mount ARCHIVE MOUNTPOINT -f` and `extra`, run for the life of
// the object. ready() once the mount is listed. The destructor unmounts
// (lazily, so a file left open cannot keep it) and waits for the process.
class ForegroundMount {
 public:
  ForegroundMount(const std::filesystem::path& archive,
                  const std::filesystem::path& mountpoint,
                  const std::vector<std::string>& extra = {});
  ~ForegroundMount();
  ForegroundMount(const ForegroundMount&) = delete;
  ForegroundMount& operator=(const ForegroundMount&) = delete;

  bool ready() const { return ready_; }
  ChildProcess& process() { return *process_; }
  // Unmounts and waits for the process: its exit status and output.
  ProcessResult finish();
  // Waits for the process to end by itself (after a signal, say).
  ProcessResult wait();

 private:
  std::filesystem::path mountpoint_;
  std::unique_ptr<ChildProcess> process_;
  std::optional<ProcessResult> result_;
  bool ready_ = false;
};

// Unmounts `path` at once (detached if busy), if it is mounted.
void force_unmount(const std::filesystem::path& path);

// The quillstone-dat tool with `args`, run to completion.
ProcessResult run_tool(const std::vector<std::string>& args);

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_MOUNT_MOUNT_SUPPORT_H_
