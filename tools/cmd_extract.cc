// `extract ARCHIVE OUTDIR [--jobs N] [--raw] [--quiet] [ID...]`: writes every
// file, or the named ones, to OUTDIR/XXXXXXXX.bin (the id in upper-case hex),
// decompressed unless --raw. Several threads read the one open database.
// Each file appears under its final name only once complete; a file that
// cannot be read or written is reported and the others are still written.

#include <fmt/format.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "atomic_file.h"
#include "command.h"
#include "file_id.h"
#include "output.h"
#include "progress_bar.h"
#include "quillstone_dat/dat_database.h"

namespace quillstone_dat::tool {
namespace {

namespace fs = std::filesystem;

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

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

std::string output_name(std::uint32_t id) {
  return fmt::format("{:08X}.bin", id);
}

// One run over a fixed list of entries, shared by the worker threads.
class Extraction {
 public:
  Extraction(const DatDatabase& db, std::vector<DatFileEntry> entries,
             fs::path folder, bool raw, bool show_progress)
      : db_(db),
        entries_(std::move(entries)),
        folder_(std::move(folder)),
        raw_(raw),
        progress_(entries_.size(), stored_bytes(entries_), show_progress) {}

  // True when every entry was written.
  bool run(unsigned jobs) {
    const std::size_t threads =
        std::max<std::size_t>(1, std::min<std::size_t>(jobs, entries_.size()));
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
      report(fmt::format("error: interrupted; {} of {} files written\n",
                         written_.load(), entries_.size()));
      failed_ = true;
    }
    return !failed_;
  }

  void report(std::string_view line) { progress_.print(line); }

 private:
  static std::uint64_t stored_bytes(const std::vector<DatFileEntry>& entries) {
    std::uint64_t total = 0;
    for (const DatFileEntry& entry : entries) total += entry.size;
    return total;
  }

  void work() {
    while (!interrupted) {
      const std::size_t index = next_++;
      if (index >= entries_.size()) break;
      extract(entries_[index]);
    }
    std::lock_guard lock(mutex_);
    ++finished_;
    done_.notify_one();
  }

  void extract(const DatFileEntry& entry) {
    if (auto written = write_one(entry); written) {
      ++written_;
    } else {
      failed_ = true;
      report(fmt::format("error: {:08X}: {}\n", entry.id,
                         written.error().debug()));
    }
    progress_.advance(entry.size);
  }

  DatResult<void> write_one(const DatFileEntry& entry) const {
    const auto bytes = raw_ ? db_.read_file_data(entry.offset, entry.size)
                            : db_.get_file(entry.id);
    if (!bytes) return std::unexpected(bytes.error());
    return write_file_atomically(folder_ / output_name(entry.id), *bytes);
  }

  const DatDatabase& db_;
  const std::vector<DatFileEntry> entries_;
  const fs::path folder_;
  const bool raw_;
  ProgressBar progress_;
  std::atomic<std::size_t> next_{0};
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
    return "Write files of the archive to a folder, one file per id";
  }
  std::string_view synopsis() const override {
    return "ARCHIVE OUTDIR [--jobs N] [--raw] [--quiet] [ID...]";
  }

  void configure(CLI::App& parser) override {
    parser.add_option("ARCHIVE", archive_, "Path of the DAT archive")
        ->required()
        ->type_name("PATH");
    parser
        .add_option("OUTDIR", folder_,
                    "Folder to write XXXXXXXX.bin files into; made if missing")
        ->required()
        ->type_name("PATH");
    parser
        .add_option("ID", id_texts_,
                    "Files to write (decimal, or hex with 0x); default: all")
        ->type_name("UINT32")
        ->check(file_id_validator());
    parser
        .add_option("--jobs,-j", jobs_,
                    "Threads reading and writing (default: one per core)")
        ->check(CLI::Range(1u, 1024u));
    parser.add_flag("--raw", raw_,
                    "Write the stored bytes without decompressing them");
    parser.add_flag("--quiet,-q", quiet_, "Show no progress bar");
  }

  ExitStatus run() const override {
    const auto db = DatDatabase::open(archive_);
    if (!db) return report_error(db.error());
    std::vector<DatFileEntry> entries;
    bool missing = false;
    if (id_texts_.empty()) {
      entries.assign(db->files().begin(), db->files().end());
    } else {
      std::set<std::uint32_t> seen;
      for (const std::string& text : id_texts_) {
        // The validator has accepted the text already.
        const std::uint32_t id = parse_file_id(text).value();
        if (!seen.insert(id).second) continue;
        const DatFileEntry* entry = db->files().find(id);
        if (entry == nullptr) {
          report_error(DatError::not_found(id));
          missing = true;
        } else {
          entries.push_back(*entry);
        }
      }
    }
    // In archive order, so that the reads move forward through the file.
    std::ranges::sort(entries, {}, &DatFileEntry::offset);

    std::error_code error;
    fs::create_directories(folder_, error);
    if (error) {
      return report_error(
          DatError::path_error(folder_, IoError::from_errno(error.value())));
    }
    catch_interrupts();
    const bool show_progress = !quiet_ && ::isatty(STDERR_FILENO) == 1;
    Extraction extraction(*db, std::move(entries), folder_, raw_,
                          show_progress);
    const bool complete = extraction.run(jobs_);
    return complete && !missing ? ExitStatus::kSuccess : ExitStatus::kFailure;
  }

 private:
  static unsigned default_jobs() {
    return std::max(1u, std::thread::hardware_concurrency());
  }

  std::string archive_;
  std::string folder_;
  std::vector<std::string> id_texts_;
  unsigned jobs_ = default_jobs();
  bool raw_ = false;
  bool quiet_ = false;
};

}  // namespace

std::unique_ptr<Command> make_extract_command() {
  return std::make_unique<ExtractCommand>();
}

}  // namespace quillstone_dat::tool
