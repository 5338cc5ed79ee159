#define FUSE_USE_VERSION FUSE_MAKE_VERSION(3, 12)
#include "mount_bench.h"

#include <dirent.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "quillstone_dat/dat_writer.h"
#include "report.h"
#include "timing.h"

extern char** environ;

namespace quillstone_dat::bench {
namespace {

namespace fs = std::filesystem;

constexpr double kTimeout = 365.0 * 24 * 3600;  // as the mount's
constexpr std::size_t kSmall = 4096;
constexpr std::size_t kLarge = std::size_t{64} << 20;

std::optional<std::string> why_no_fuse() {
  const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) return "no usable /dev/fuse";
  ::close(fd);
  if (std::system("command -v fusermount3 >/dev/null 2>&1") != 0) {
    return "no fusermount3 (Debian: apt install fuse3)";
  }
  return std::nullopt;
}

bool mounted_at(const fs::path& path) {
  std::ifstream info("/proc/self/mountinfo");
  std::string line;
  while (std::getline(info, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    if (point == path.string()) return true;
  }
  return false;
}

void unmount(const fs::path& path) {
  if (!mounted_at(path)) return;
  if (::geteuid() == 0) {
    ::umount2(path.c_str(), MNT_DETACH);
  } else {
    std::system(("fusermount3 -u -z '" + path.string() + "'").c_str());
  }
}

pid_t spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::vector<std::string> words = args;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool run(const std::vector<std::string>& args) {
  const pid_t pid = spawn(args);
  return pid > 0 && wait_for(pid) == 0;
}

template <typename Predicate>
bool poll_until(Predicate ready, double limit_seconds = 60) {
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::duration<double>(limit_seconds);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// Reads the whole file: open, read, close. False when any fails.
bool read_file(const fs::path& path, std::vector<char>& buffer) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) ok = false;
    if (n <= 0) break;
  }
  ::close(fd);
  return ok;
}

std::vector<std::string> names_in(const fs::path& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  return names;
}

// One pass over every file of the folder, by `threads` readers; seconds,
// or nothing when a read failed.
std::optional<double> read_all(const fs::path& folder, int threads,
                               std::size_t* files = nullptr) {
  std::atomic<bool> failed{false};
  std::size_t count = 0;
  const double seconds = seconds_of([&] {
    const std::vector<std::string> names = names_in(folder);
    count = names.size();
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < threads; ++t) {
      readers.emplace_back([&] {
        std::vector<char> buffer(128 << 10);
        for (std::size_t i = next++; i < names.size(); i = next++) {
          if (!read_file(folder / names[i], buffer)) failed = true;
        }
      });
    }
    for (auto& reader : readers) reader.join();
  });
  if (files != nullptr) *files = count;
  if (failed || count == 0) return std::nullopt;
  return seconds;
}

// A mount of the tool, in the background; unmounted when it goes.
struct ToolMount {
  ToolMount(const fs::path& tool, const fs::path& archive, const fs::path& point)
      : point_(point) {
    ok = run({tool.string(), "mount", archive.string(), point.string()});
  }
  ~ToolMount() {
    unmount(point_);
    poll_until([&] { return !mounted_at(point_); }, 10);
  }
  bool ok = false;
  fs::path point_;
};

// ---------------------------------------------------------------------------
// The floor: a minimal low-level FUSE file system, answering from memory,
// mounted with the mount's options and timeouts: the root, `small` (4 KiB)
// and `large` (64 MiB). Its files are opened without keep_cache, so each
// open reads through FUSE again, as each file of a fresh mount is.

struct FloorData {
  std::vector<char> small = std::vector<char>(kSmall, 's');
  std::vector<char> large = std::vector<char>(kLarge, 'l');
};

FloorData& floor_data() {
  static FloorData data;
  return data;
}

struct stat floor_stat(fuse_ino_t ino) {
  struct stat st {};
  st.st_ino = ino;
  st.st_mode = ino == 1 ? (S_IFDIR | 0555) : (S_IFREG | 0444);
  st.st_nlink = 1;
  st.st_size = ino == 2 ? kSmall : ino == 3 ? static_cast<off_t>(kLarge) : 0;
  return st;
}

void floor_lookup(fuse_req_t req, fuse_ino_t, const char* name) {
  fuse_entry_param e {};
  e.ino = std::strcmp(name, "small") == 0 ? 2 : std::strcmp(name, "large") == 0 ? 3 : 0;
  if (e.ino == 0) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  e.attr = floor_stat(e.ino);
  e.attr_timeout = e.entry_timeout = kTimeout;
  fuse_reply_entry(req, &e);
}

void floor_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  const struct stat st = floor_stat(ino);
  fuse_reply_attr(req, &st, kTimeout);
}

void floor_open(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  fi->keep_cache = 0;
  fi->noflush = 1;
  fuse_reply_open(req, fi);
}

void floor_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                fuse_file_info*) {
  const std::vector<char>& data = ino == 2 ? floor_data().small : floor_data().large;
  const std::size_t at = std::min<std::size_t>(static_cast<std::size_t>(offset), data.size());
  fuse_reply_buf(req, data.data() + at, std::min(size, data.size() - at));
}

void floor_release(fuse_req_t req, fuse_ino_t, fuse_file_info*) {
  fuse_reply_err(req, 0);
}

class Floor {
 public:
  explicit Floor(const fs::path& point) : point_(point) {
    fuse_lowlevel_ops ops {};
    ops.lookup = floor_lookup;
    ops.getattr = floor_getattr;
    ops.open = floor_open;
    ops.read = floor_read;
    ops.release = floor_release;
    std::vector<std::string> words = {"floor", "-o", "ro,fsname=floor,subtype=quillstone-floor"};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    session_ = fuse_session_new(&args, &ops, sizeof ops, nullptr);
    fuse_opt_free_args(&args);
    if (session_ == nullptr) return;
    if (fuse_session_mount(session_, point.c_str()) != 0) return;
    mounted_ = true;
    loop_ = std::thread([this] {
      fuse_loop_config* config = fuse_loop_cfg_create();
      fuse_loop_cfg_set_max_threads(config, 16);
      fuse_session_loop_mt(session_, config);
      fuse_loop_cfg_destroy(config);
    });
  }
  ~Floor() {
    if (mounted_) {
      unmount(point_);
      loop_.join();
      fuse_session_unmount(session_);
    }
    if (session_ != nullptr) fuse_session_destroy(session_);
  }
  bool ok() const { return mounted_; }

 private:
  fs::path point_;
  fuse_session* session_ = nullptr;
  bool mounted_ = false;
  std::thread loop_;
};

// Seconds per open, read and close of `path`, over `count` rounds.
double per_open_read_close(const fs::path& path, int count) {
  std::vector<char> buffer(128 << 10);
  return seconds_of([&] {
           for (int i = 0; i < count; ++i) read_file(path, buffer);
         }) /
         count;
}

long rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace

void measure_mount_figures(const BenchArchives& archives, const fs::path& tool,
                           const fs::path& scratch, int runs) {
  if (auto why = why_no_fuse()) {
    std::printf("mount figures: skipped: %s\n", why->c_str());
    return;
  }
  if (tool.empty()) {
    std::printf("mount figures: not measured (no --tool given)\n");
    return;
  }
  fs::remove_all(scratch);
  const fs::path point = scratch / "m";
  const fs::path floor_point = scratch / "floor";
  const fs::path out = scratch / "out";
  fs::create_directories(point);
  fs::create_directories(floor_point);
  runs = std::max(1, std::min(runs, 3));

  // mount_read_all_vs_extract: pairs of a fresh mount read by 2 threads
  // and an extract into an empty folder.
  std::vector<double> ratios, per_file;
  std::size_t files = 0;
  for (int i = 0; i < runs; ++i) {
    std::optional<double> mounted;
    {
      ToolMount mount(tool, archives.bulk, point);
      if (mount.ok) mounted = read_all(point, 2, &files);
    }
    fs::remove_all(out);
    const double extract = seconds_of([&] {
      run({tool.string(), "extract", archives.bulk.string(), out.string(), "-q"});
    });
    fs::remove_all(out);
    if (!mounted) {
      std::printf("mount figures: a read through the mount failed\n");
      return;
    }
    ratios.push_back(*mounted / extract);
    std::printf("mount_read_all_2_threads_s: %.3f, extract_s: %.3f (%zu files)\n",
                *mounted, extract, files);
    ToolMount mount(tool, archives.bulk, point);
    std::size_t one_files = 0;
    if (auto one = read_all(point, 1, &one_files)) per_file.push_back(*one / static_cast<double>(one_files));
  }
  report("mount_read_all_vs_extract", median(ratios), 3, Goal::kAtMost, 0.5);

  // The floor and the page cache.
  const fs::path page_small = scratch / "small";
  const fs::path page_large = scratch / "large";
  {
    std::ofstream(page_small, std::ios::binary).write(floor_data().small.data(), kSmall);
    std::ofstream(page_large, std::ios::binary).write(floor_data().large.data(), kLarge);
  }
  double floor_small = 0, floor_large = 0;
  {
    Floor floor(floor_point);
    if (!floor.ok()) {
      std::printf("mount figures: the floor file system did not mount\n");
      return;
    }
    per_open_read_close(floor_point / "small", 200);  // warm
    floor_small = median_of(5, [&] { return per_open_read_close(floor_point / "small", 2000); });
    floor_large = median_of(3, [&] { return per_open_read_close(floor_point / "large", 1); });
  }
  per_open_read_close(page_small, 200);
  const double cache_small = median_of(5, [&] { return per_open_read_close(page_small, 2000); });
  const double cache_large = median_of(3, [&] { return per_open_read_close(page_large, 1); });
  report("mount_floor_small_file_us", floor_small * 1e6, 1, "open, read, close of 4 KiB through the minimal FUSE file system");
  report("page_cache_small_file_us", cache_small * 1e6, 1, "the same of a file in page cache");
  report("mount_per_file_us", median(per_file) * 1e6, 1, "per file of bulk through the mount, 1 reader");
  report("mount_per_file_vs_floor", median(per_file) / floor_small, 3, Goal::kAtMost, 1.5);

  // mount_large_read_vs_floor: one 64 MiB stored file.
  const fs::path large_archive = scratch / "large.dat";
  {
    DatWriter writer({.block_size = 4096});
    (void)writer.add({.id = 0x0A000001, .contents = std::vector<std::uint8_t>(kLarge, 7)});
    (void)writer.write(large_archive);
  }
  std::vector<double> large;
  for (int i = 0; i < runs; ++i) {
    ToolMount mount(tool, large_archive, point);
    if (!mount.ok) break;
    large.push_back(per_open_read_close(point / "0A000001.bin", 1));
  }
  report("mount_large_read_s", median(large), 4, "64 MiB stored file, sequentially, fresh mount");
  report("mount_floor_large_read_s", floor_large, 4, "64 MiB from the minimal FUSE file system");
  report("page_cache_large_read_s", cache_large, 4, "64 MiB from page cache");
  report("mount_large_read_vs_floor", median(large) / floor_large, 3, Goal::kAtMost, 1.3);

  // wide: ready, listing and memory, with the mount in the foreground.
  auto db = DatDatabase::open(archives.wide);
  if (!db) return;
  const std::size_t entries = db->files().size();
  char first[16];
  std::snprintf(first, sizeof first, "%08X.bin", db->files().sorted_ids().front());
  std::vector<double> ready_ms, list_s, bytes_per_entry;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = spawn({tool.string(), "mount", archives.wide.string(), point.string(), "-f"});
    struct stat st {};
    const bool ready = poll_until([&] { return ::stat((point / first).c_str(), &st) == 0; });
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (ready) {
      ready_ms.push_back(elapsed.count() * 1000);
      list_s.push_back(seconds_of([&] {
        std::system(("ls -f '" + point.string() + "' | wc -l >/dev/null").c_str());
      }));
      bytes_per_entry.push_back(static_cast<double>(rss_kib(pid)) * 1024 / static_cast<double>(entries));
    }
    unmount(point);
    wait_for(pid);
  }
  report("mount_ready_wide_ms", median(ready_ms), 1, Goal::kAtMost, 500);
  report("mount_list_wide_s", median(list_s), 3, Goal::kAtMost, 3);
  report("mount_wide_bytes_per_entry", median(bytes_per_entry), 1, Goal::kAtMost, 64);
  fs::remove_all(scratch);
}

}  // namespace quillstone_dat::bench
