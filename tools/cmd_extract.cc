// `extract ARCHIVE OUTDIR [ID|RANGE...] [--ids-from FILE] [--jobs N] [--raw]
// [--quiet] [--force | --skip-existing] [--sync]`: writes every file, or
// the ones asked for, to OUTDIR/XXXXXXXX.bin (the id in upper-case hex),
// decompressed unless --raw, and OUTDIR/manifest.json, from which pack
// rebuilds the archive. Several threads read the one open database, each
// a run of neighbouring files at a time in one batch pass. Each file
// appears under its final name only once complete; a file that cannot be
// read or written is reported and the others are still written. Like tar,
// extract leaves flushing to the system (written_file.h); --sync flushes
// the whole output once, at the end.

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "arguments.h"
#include "command.h"
#include "error_text.h"
#include "existing_files.h"
#include "file_id.h"
#include "id_selection.h"
#include "manifest.h"
#include "progress_bar.h"
#include "quillstone_dat/dat_database.h"
#include "written_file.h"

namespace quillstone_dat::tool {
namespace {

namespace fs = std::filesystem;

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// A worker takes this many neighbouring files, or this many stored bytes,
// at a time and reads them in one batch pass: runs long enough to read at
// the disk's pace, short enough to share the work out evenly.
constexpr std::size_t kRunFiles = 512;
constexpr std::uint64_t kRunBytes = std::uint64_t{16} << 20;

// Set by SIGINT or SIGTERM: the workers take no new file, so the run stops
// with every file either complete or not there at all.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void on_interrupt(int) { interrupted = true; }

void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  // A second signal ends the process at once.
  action.sa_flags = static_cast<int>(SA_RESETHAND);
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// One run over a fixed list of entries, shared by the worker threads.
class Extraction {
 public:
  Extraction(const DatDatabase& db, fs::path archive,
             std::vector<DatFileEntry> entries, fs::path folder, bool raw,
             bool show_progress)
      : db_(db),
        archive_(std::move(archive)),
        entries_(std::move(entries)),
        folder_(std::move(folder)),
        raw_(raw),
        runs_(runs_of(entries_)),
        progress_(entries_.size(), stored_bytes(entries_), show_progress) {}

  // True when every entry was written.
  bool run(unsigned jobs) {
    const std::size_t threads =
        std::max<std::size_t>(1, std::min<std::size_t>(jobs, runs_.size() - 1));
    {
      std::vector<std::jthread> workers;
      for (std::size_t i = 0; i < threads; ++i) {
        workers.emplace_back([this] { work(); });
      }
      std::unique_lock lock(mutex_);
      while (!done_.wait_for(lock, kRedrawInterval,
                             [&] { return finished_ == threads; })) {
        progress_.draw();
      }
    }
    progress_.finish();
    if (interrupted) {
      progress_.print(
          plain_line("", fmt::format("interrupted; {} of {} files written",
                                     written_.load(), entries_.size())));
      failed_ = true;
    }
    return !failed_;
  }

 private:
  static std::uint64_t stored_bytes(const std::vector<DatFileEntry>& entries) {
    std::uint64_t total = 0;
    for (const DatFileEntry& entry : entries) total += entry.size;
    return total;
  }

  // Where each run of neighbouring entries starts, and the end: entries
  // are in archive order, so a run is one stretch of the file.
  static std::vector<std::size_t> runs_of(
      const std::vector<DatFileEntry>& entries) {
    std::vector<std::size_t> starts = {0};
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (i - starts.back() == kRunFiles || bytes >= kRunBytes) {
        starts.push_back(i);
        bytes = 0;
      }
      bytes += entries[i].size;
    }
    if (!entries.empty()) starts.push_back(entries.size());
    return starts;
  }

  void work() {
    while (!interrupted) {
      const std::size_t run = next_run_++;
      if (run + 1 >= runs_.size()) break;
      extract_run(runs_[run], runs_[run + 1]);
    }
    std::lock_guard lock(mutex_);
    ++finished_;
    done_.notify_one();
  }

  void extract_run(std::size_t first, std::size_t last) {
    std::vector<std::uint32_t> ids;
    ids.reserve(last - first);
    for (std::size_t i = first; i < last; ++i) ids.push_back(entries_[i].id);
    db_.for_each_file(FileSelection::of(std::move(ids)), {.raw = raw_},
                      [&](const BatchFile& file) {
                        extract(*file.entry, file.bytes);
                        return interrupted ? BatchStep::kStop
                                           : BatchStep::kContinue;
                      });
  }

  void extract(const DatFileEntry& entry,
               const DatResult<std::span<const std::uint8_t>>& bytes) {
    const fs::path target = fs::path(folder_) / file_name_of(entry.id);
    auto written = bytes ? write_file(target, *bytes, entry.timestamp)
                         : std::unexpected(bytes.error());
    if (written) {
      ++written_;
    } else {
      failed_ = true;
      ErrorScene scene =
          bytes ? ErrorScene::write(target) : ErrorScene::read(archive_);
      scene.debug_label = hex_id(entry.id) + ": ";
      progress_.print(error_report(written.error(), scene));
    }
    progress_.advance(entry.size);
  }

  const DatDatabase& db_;
  const fs::path archive_;
  const std::vector<DatFileEntry> entries_;
  const fs::path folder_;
  const bool raw_;
  const std::vector<std::size_t> runs_;
  ProgressBar progress_;
  std::atomic<std::size_t> next_run_{0};
  std::atomic<std::size_t> written_{0};
  std::atomic<bool> failed_{false};
  std::mutex mutex_;
  std::condition_variable done_;
  std::size_t finished_ = 0;  // guarded by mutex_
};

class ExtractCommand final : public Command {
 public:
  std::string_view name() const override { return "extract"; }
  std::string_view summary() const override {
    return "Write files of the archive to a folder, one file per id, with a "
           "manifest";
  }
  std::string_view synopsis() const override {
    return "ARCHIVE OUTDIR [ID|RANGE...] [--ids-from FILE] [--jobs N] [--raw] "
           "[--quiet] [--force | --skip-existing] [--sync]";
  }
  std::string_view details() const override {
    return "Beside the files, OUTDIR/manifest.json keeps the header, and each "
           "entry's flags,\ntimestamp and version: pack OUTDIR rebuilds the "
           "archive from it. Files are dated\nwith their entry's timestamp. "
           "An existing file is replaced only with --force;\n--skip-existing "
           "keeps it, to resume an interrupted run.\n\nA file appears "
           "under its name only once complete, even if extract is\nkilled; "
           "like tar, extract leaves writing the data to disk to the system. "
           "With\n--sync it flushes everything before it exits 0, so that "
           "the files survive a\npower loss too.\n";
  }
  std::string_view example() const override {
    return "  quillstone-dat extract portal.dat out\n"
           "  quillstone-dat extract portal.dat out 06000000-06FFFFFF --raw\n"
           "  quillstone-dat ls portal.dat | awk '$4 > 100000 {print $1}' |\n"
           "      quillstone-dat extract portal.dat big --ids-from -\n";
  }

  void configure(CLI::App& parser) override {
    add_archive_argument(parser, archive_, "Path of the DAT archive");
    parser
        .add_option("OUTDIR", folder_,
                    "Folder to write XXXXXXXX.bin files into; made if missing")
        ->required()
        ->type_name("PATH");
    selection_.configure(parser,
                         "Ids or ranges (06000000-06FFFFFF) to write; "
                         "default: all");
    parser
        .add_option("--jobs,-j", jobs_,
                    "Threads reading and writing (default: one per core)")
        ->check(CLI::Range(1u, 1024u));
    parser.add_flag("--raw", raw_,
                    "Write the stored bytes without decompressing them");
    parser.add_flag("--quiet,-q", quiet_, "Show no progress bar");
    auto* force = parser.add_flag("--force,-f", force_,
                                  "Replace files that are already there");
    parser
        .add_flag("--skip-existing", skip_existing_,
                  "Keep files that are already there and write the others")
        ->excludes(force);
    parser.add_flag("--sync", sync_,
                    "Flush every file written to disk before exiting");
  }

  ExitStatus run() const override {
    catch_interrupts();
    const auto db = DatDatabase::open(archive_);
    if (!db) return report_error(db.error(), ErrorScene::open(archive_));
    const IdSelection::Match match = selection_.match(db->files());

    const fs::path manifest_path = fs::path(folder_) / kManifestName;
    std::vector<DatFileEntry> pending;
    if (auto refused = check_existing(match.entries, manifest_path, pending)) {
      return *refused;
    }
    std::error_code error;
    fs::create_directories(folder_, error);
    if (error) {
      return report_error(
          DatError::path_error(folder_, IoError::from_errno(error.value())),
          ErrorScene::write(folder_));
    }
    // The manifest comes first: a folder whose extraction stopped short
    // lacks files that it lists, which pack refuses.
    if (auto written = write_text_file(
            manifest_path, render_manifest(manifest_of(*db, match)));
        !written) {
      return report_error(written.error(), ErrorScene::write(manifest_path));
    }

    const bool show_progress = !quiet_ && ::isatty(STDERR_FILENO) == 1;
    // In archive order, so that the reads move forward through the file.
    std::ranges::sort(pending, {}, &DatFileEntry::offset);
    Extraction extraction(*db, archive_, std::move(pending), folder_, raw_,
                          show_progress);
    bool complete = extraction.run(jobs_);
    if (sync_) complete = flush_output() && complete;
    report_missing(match.missing, archive_);
    return complete && match.missing.empty() ? ExitStatus::kSuccess
                                             : ExitStatus::kFailure;
  }

 private:
  // Flushes the file system of the output folder: one call for every file
  // written, instead of one flush per file.
  bool flush_output() const {
    const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::syncfs(fd) != 0) {
      const int error = errno;
      if (fd >= 0) ::close(fd);
      report_error(DatError::path_error(folder_, IoError::from_errno(error)),
                   ErrorScene::write(folder_));
      return false;
    }
    ::close(fd);
    return true;
  }

  static unsigned default_jobs() {
    return std::max(1u, std::thread::hardware_concurrency());
  }

  // Applies the overwrite rule before anything is written: fills `pending`
  // with the entries to write, or reports the first file in the way.
  std::optional<ExitStatus> check_existing(
      const std::vector<DatFileEntry>& entries, const fs::path& manifest_path,
      std::vector<DatFileEntry>& pending) const {
    constexpr std::string_view kHint =
        "pass --force to replace the files there, or --skip-existing to "
        "keep them";
    if (!force_ && !skip_existing_ && name_taken(manifest_path)) {
      return report_taken(manifest_path, kHint);
    }
    for (const DatFileEntry& entry : entries) {
      if (force_ || !name_taken(fs::path(folder_) / file_name_of(entry.id))) {
        pending.push_back(entry);
      } else if (!skip_existing_) {
        return report_taken(fs::path(folder_) / file_name_of(entry.id), kHint);
      }
    }
    return std::nullopt;
  }

  Manifest manifest_of(const DatDatabase& db,
                       const IdSelection::Match& match) const {
    Manifest manifest{.header = db.header(),
                      .block_size = db.header().block_size,
                      .entries = {}};
    for (const DatFileEntry& entry : match.entries) {
      manifest.entries.push_back(manifest_entry_of(entry, raw_));
    }
    return manifest;
  }

  std::string archive_;
  std::string folder_;
  IdSelection selection_;
  unsigned jobs_ = default_jobs();
  bool raw_ = false;
  bool quiet_ = false;
  bool force_ = false;
  bool skip_existing_ = false;
  bool sync_ = false;
};

}  // namespace

std::unique_ptr<Command> make_extract_command() {
  return std::make_unique<ExtractCommand>();
}

}  // namespace quillstone_dat::tool
