// The tool when the machine works against it: a disk that fills, an output
// folder that turns unwritable mid-run, a reader that leaves after one
// byte, a signal in the middle of a write. Each must end in a clear error
// and a non-zero status, with every file under a final name complete and
// nothing left anywhere else.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cli/folder_files.h"
#include "cli/tool_process.h"
#include "support/archive_builder.h"
#include "support/id_text.h"

namespace quillstone_dat::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// An archive of `count` files of `size` bytes, ids 1 to count.
std::map<std::uint32_t, Bytes> write_archive(const fs::path& path,
                                             std::uint32_t count,
                                             std::size_t size) {
  std::map<std::uint32_t, Bytes> files;
  std::vector<TestFile> listed;
  for (std::uint32_t id = 1; id <= count; ++id) {
    files[id] = pattern(size, id);
    listed.push_back({id, files[id]});
  }
  write_bytes(path, build_archive(listed, 1024));
  return files;
}

// Every name in `folder` but the manifest is a final name of one of
// `files`, holding exactly its bytes; returns how many there are.
std::size_t expect_only_complete_files(
    const fs::path& folder, const std::map<std::uint32_t, Bytes>& files) {
  std::map<std::string, const Bytes*> by_name;
  for (const auto& [id, bytes] : files) by_name[bin_name(id)] = &bytes;
  std::size_t complete = 0;
  for (const std::string& name : names_in(folder)) {
    if (name == "manifest.json") continue;
    const auto found = by_name.find(name);
    if (found == by_name.end()) {
      ADD_FAILURE() << "unexpected file " << name;
      continue;
    }
    EXPECT_EQ(read_bytes(folder / name), *found->second) << name;
    ++complete;
  }
  return complete;
}

// Waits until `folder` holds a file, for at most a few seconds.
bool wait_for_a_file(const fs::path& folder) {
  for (int i = 0; i < 5000; ++i) {
    std::error_code error;
    if (fs::directory_iterator(folder, error) != fs::directory_iterator()) {
      return true;
    }
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

// Waits until process `pid` holds a file open in `folder` (its staged
// output, named or not), up to five seconds.
bool wait_for_a_file_opened_in(pid_t pid, const fs::path& folder) {
  const fs::path descriptors = fs::path("/proc") / std::to_string(pid) / "fd";
  const std::string prefix = folder.string() + "/";
  for (int i = 0; i < 5000; ++i) {
    std::error_code error;
    for (fs::directory_iterator it(descriptors, error), end;
         !error && it != end; it.increment(error)) {
      std::error_code unreadable;
      if (fs::read_symlink(it->path(), unreadable).string().starts_with(prefix))
        return true;
    }
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

// A tmpfs of a few pages mounted for the test's life; needs root.
class SmallDisk {
 public:
  SmallDisk(fs::path where, std::size_t bytes) : where_(std::move(where)) {
    fs::create_directories(where_);
    const std::string options = "size=" + std::to_string(bytes);
    mounted_ =
        ::mount("tmpfs", where_.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool mounted() const { return mounted_; }

 private:
  fs::path where_;
  bool mounted_ = false;
};

// Makes a folder refuse new names: read-only permissions bind everyone but
// root, so for root the folder is made immutable instead.
class UnwritableFolder {
 public:
  explicit UnwritableFolder(fs::path folder) : folder_(std::move(folder)) {}
  ~UnwritableFolder() {
    if (immutable_) set_immutable(false);
    std::error_code ignored;
    fs::permissions(folder_, fs::perms::owner_all, ignored);
  }
  UnwritableFolder(const UnwritableFolder&) = delete;
  UnwritableFolder& operator=(const UnwritableFolder&) = delete;

  // False when neither way is open to the test.
  bool apply() {
    if (::geteuid() != 0) {
      std::error_code error;
      fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec,
                      error);
      return !error;
    }
    immutable_ = set_immutable(true);
    return immutable_;
  }

 private:
  bool set_immutable(bool on) const {
    const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
      flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
      done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
  }

  fs::path folder_;
  bool immutable_ = false;
};

class HostileTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(HostileTest, ExtractOntoAFullDiskKeepsOnlyCompleteFiles) {
  const fs::path archive = dir_ / "a.dat";
  const auto files = write_archive(archive, 48, 16 * 1024);
  const SmallDisk disk(dir_ / "disk", 256 * 1024);
  if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  const fs::path out = dir_ / "disk" / "out";

  for (const char* jobs : {"1", "2"}) {
    fs::remove_all(out);
    const ProcessResult result =
        run_tool({"extract", archive.string(), out.string(), "--jobs", jobs});
    EXPECT_EQ(result.exit_code, 1) << jobs;
    EXPECT_NE(result.err.find("No space left on device"), std::string::npos)
        << result.err;
    const std::size_t complete = expect_only_complete_files(out, files);
    EXPECT_GT(complete, 0u) << jobs;
    EXPECT_LT(complete, files.size()) << jobs;
    // One error line per file that is not there, naming the file.
    std::size_t errors = 0;
    for (std::size_t at = 0; at < result.err.size();
         at = result.err.find('\n', at) + 1) {
      if (result.err.compare(at, 16 + out.string().size(),
                             "quillstone-dat: " + out.string()) == 0) {
        ++errors;
      }
      if (result.err.find('\n', at) == std::string::npos) break;
    }
    EXPECT_EQ(errors, files.size() - complete) << result.err;
  }
  EXPECT_EQ(names_in(dir_ / "disk"), std::vector<std::string>{"out"});
}

TEST_F(HostileTest, ExtractIntoAFolderThatTurnsUnwritableStopsCleanly) {
  const fs::path archive = dir_ / "a.dat";
  // Each file is flushed to disk before the next: enough of them that the
  // run is still going when the folder changes.
  const auto files = write_archive(archive, 3000, 2048);
  const fs::path out = dir_ / "out";
  fs::create_directories(out);
  UnwritableFolder unwritable(out);

  ChildProcess tool =
      start_tool({"extract", archive.string(), out.string(), "--jobs", "2"});
  ASSERT_TRUE(wait_for_a_file(out));
  if (!unwritable.apply()) GTEST_SKIP() << "cannot make the folder unwritable";
  const ProcessResult result = tool.wait();

  EXPECT_EQ(result.exit_code, 1) << result.err;
  EXPECT_EQ(result.signal, 0);
  const std::size_t complete = expect_only_complete_files(out, files);
  ASSERT_LT(complete, files.size()) << "the run ended before the change";
  EXPECT_NE(result.err.find("quillstone-dat: " + out.string()),
            std::string::npos);
  EXPECT_EQ(names_in(dir_.path()), (std::vector<std::string>{"a.dat", "out"}));
}

TEST_F(HostileTest, ExtractStoppedBySignalLeavesOnlyCompleteFiles) {
  const fs::path archive = dir_ / "a.dat";
  const auto files = write_archive(archive, 3000, 2048);
  const fs::path out = dir_ / "out";
  for (const int signal : {SIGINT, SIGTERM, SIGKILL}) {
    fs::remove_all(out);
    fs::create_directories(out);
    ChildProcess tool =
        start_tool({"extract", archive.string(), out.string(), "--jobs", "2"});
    ASSERT_TRUE(wait_for_a_file(out));
    tool.send(signal);
    const ProcessResult result = tool.wait();
    if (signal == SIGKILL) {
      EXPECT_EQ(result.signal, SIGKILL);
    } else {
      // The run finishes the files in hand, says so and fails.
      EXPECT_EQ(result.exit_code, 1) << strsignal(signal);
      EXPECT_NE(result.err.find("interrupted"), std::string::npos)
          << result.err;
    }
    const std::size_t complete = expect_only_complete_files(out, files);
    EXPECT_LT(complete, files.size()) << strsignal(signal);
  }
}

TEST_F(HostileTest, PackStoppedBySignalLeavesNoArchive) {
  const fs::path in = dir_ / "in";
  fs::create_directories(in);
  for (std::uint32_t id = 1; id <= 48; ++id) {
    write_bytes(in / bin_name(id), pattern(1 << 20, id));
  }
  const fs::path out = dir_ / "out";
  fs::create_directories(out);
  const fs::path archive = out / "a.dat";
  const Bytes old_archive = bytes_of("the archive that was here before");

  for (const int signal : {SIGINT, SIGTERM, SIGKILL}) {
    for (const bool replacing : {false, true}) {
      fs::remove_all(out);
      fs::create_directories(out);
      if (replacing) write_bytes(archive, old_archive);
      // The slowest level, so that the signal comes while it writes.
      ChildProcess tool =
          start_tool({"pack", in.string(), archive.string(), "--compress",
                      "all", "--level", "best", "--force"});
      ASSERT_TRUE(wait_for_a_file_opened_in(tool.pid(), out));
      std::this_thread::sleep_for(20ms);
      tool.send(signal);
      const ProcessResult result = tool.wait();
      ASSERT_NE(result.exit_code, 0)
          << "pack ended before the signal; the test needs more input";
      if (replacing) {
        EXPECT_EQ(names_in(out), std::vector<std::string>{"a.dat"});
        EXPECT_EQ(read_bytes(archive), old_archive) << strsignal(signal);
      } else {
        EXPECT_EQ(names_in(out), std::vector<std::string>{})
            << strsignal(signal);
      }
    }
  }
}

TEST_F(HostileTest, CatOrLsIntoAReaderThatLeavesAfterOneByte) {
  const fs::path archive = dir_ / "a.dat";
  // Larger than a pipe holds, so the tool is still writing when the reader
  // goes.
  write_archive(archive, 1, 1 << 20);
  const fs::path listed = dir_ / "many.dat";
  write_archive(listed, 3000, 1);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"cat", archive.string(), "1"},
        {"cat", archive.string(), "1", "--raw"},
        {"ls", listed.string()}}) {
    // What `| head -c 1` does: the command stops quietly, as one ended by
    // SIGPIPE would.
    ChildProcess tool = start_tool(args);
    EXPECT_EQ(tool.read_stdout_then_close(1).size(), 1u);
    const ProcessResult result = tool.wait();
    EXPECT_EQ(result.signal, 0) << args.back();
    EXPECT_EQ(result.exit_code, 141) << args.back();
    EXPECT_EQ(result.err, "") << args.back();
  }
}

}  // namespace
}  // namespace quillstone_dat::testing
