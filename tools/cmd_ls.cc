// `ls ARCHIVE [--json]`: every directory entry, sorted by id. The text form
// is one aligned line per entry (id, flags, offset, size, timestamp,
// version); --json writes JSON Lines, one object per entry.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "command.h"
#include "output.h"
#include "quillstone_dat/dat_database.h"

namespace quillstone_dat::tool {
namespace {

std::vector<DatFileEntry> sorted_by_id(const FileTable& files) {
  std::vector<DatFileEntry> entries(files.begin(), files.end());
  std::ranges::sort(entries, {}, &DatFileEntry::id);
  return entries;
}

std::string render_json_lines(const std::vector<DatFileEntry>& entries) {
  std::string text;
  for (const DatFileEntry& entry : entries) {
    const nlohmann::ordered_json object = {
        {"id", entry.id},
        {"bit_flags", entry.bit_flags},
        {"offset", entry.offset},
        {"size", entry.size},
        {"timestamp", entry.timestamp},
        {"version", entry.version},
        {"compressed", entry.is_compressed()},
    };
    text += object.dump();
    text += '\n';
  }
  return text;
}

std::size_t decimal_width(std::uint32_t value) {
  return fmt::formatted_size("{}", value);
}

// Ids, flags and offsets are fixed-width hex; the decimal columns are as
// wide as their widest value, so every line has the same length.
std::string render_text(const std::vector<DatFileEntry>& entries) {
  std::size_t size_width = 1;
  std::size_t timestamp_width = 1;
  std::size_t version_width = 1;
  for (const DatFileEntry& entry : entries) {
    size_width = std::max(size_width, decimal_width(entry.size));
    timestamp_width = std::max(timestamp_width, decimal_width(entry.timestamp));
    version_width = std::max(version_width, decimal_width(entry.version));
  }
  std::string text;
  for (const DatFileEntry& entry : entries) {
    fmt::format_to(std::back_inserter(text),
                   "{:08X}  0x{:08X}  0x{:08X}  {:>{}}  {:>{}}  {:>{}}\n",
                   entry.id, entry.bit_flags, entry.offset, entry.size,
                   size_width, entry.timestamp, timestamp_width, entry.version,
                   version_width);
  }
  return text;
}

class LsCommand final : public Command {
 public:
  std::string_view name() const override { return "ls"; }
  std::string_view summary() const override {
    return "List every directory entry, sorted by id";
  }
  std::string_view synopsis() const override { return "ARCHIVE [--json]"; }

  void configure(CLI::App& parser) override {
    parser.add_option("ARCHIVE", archive_, "Path of the DAT archive")
        ->required()
        ->type_name("PATH");
    parser.add_flag("--json", json_, "Write JSON Lines, one entry per line");
  }

  ExitStatus run() const override {
    const auto db = DatDatabase::open(archive_);
    if (!db) return report_error(db.error());
    const std::vector<DatFileEntry> entries = sorted_by_id(db->files());
    return write_stdout(json_ ? render_json_lines(entries)
                              : render_text(entries));
  }

 private:
  std::string archive_;
  bool json_ = false;
};

}  // namespace

std::unique_ptr<Command> make_ls_command() {
  return std::make_unique<LsCommand>();
}

}  // namespace quillstone_dat::tool
