// The libfuse side of `quillstone-dat mount`: a FUSE 3 low-level session
// whose requests go to an ArchiveFs, mounted read-only, served by several
// threads. Entries and attributes are given long timeouts and file data
// stays in the page cache between opens: nothing in a mounted snapshot
// changes.

#ifndef QUILLSTONE_DAT_TOOLS_MOUNT_FUSE_GLUE_H_
#define QUILLSTONE_DAT_TOOLS_MOUNT_FUSE_GLUE_H_

#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "mount/archive_fs.h"

struct fuse_session;

namespace quillstone_dat::tool {

class FuseSession {
 public:
  // Mounts `fs` at `mountpoint` with the -o `options` given (ro and the
  // file system's name are added). What libfuse says on failure, in one
  // line.
  static std::expected<std::unique_ptr<FuseSession>, std::string> mount(
      ArchiveFs& fs, const std::filesystem::path& mountpoint,
      const std::vector<std::string>& options, const std::string& fsname);

  ~FuseSession();  // unmounts, if still mounted

  // Serves requests until the file system is unmounted, or SIGINT, SIGTERM
  // or SIGHUP arrives (then it unmounts). 0, or what failed.
  int run();

 private:
  FuseSession(ArchiveFs& fs, fuse_session* session);
  ArchiveFs& fs_;
  fuse_session* session_;
  bool mounted_ = true;
};

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_MOUNT_FUSE_GLUE_H_
