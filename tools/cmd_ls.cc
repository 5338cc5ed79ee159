// `ls ARCHIVE [ID|RANGE...] [--ids-from FILE] [--json | -l]`: directory
// entries sorted by id, all of them or the ones asked for. The plain form
// is one aligned line per entry (id, flags, offset, size, timestamp,
// version), stable for scripts; -l shows sizes and times for people;
// --json writes JSON Lines, one object per entry.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "arguments.h"
#include "command.h"
#include "entry_json.h"
#include "error_text.h"
#include "file_id.h"
#include "id_selection.h"
#include "number_text.h"
#include "output.h"
#include "quillstone_dat/dat_database.h"

namespace quillstone_dat::tool {
namespace {

std::string render_json_lines(const std::vector<DatFileEntry>& entries) {
  std::string text;
  for (const DatFileEntry& entry : entries) {
    text += entry_to_json(entry).dump();
    text += '\n';
  }
  return text;
}

// Every line of a column as wide as its widest cell.
template <typename Cell>
std::size_t column_width(const std::vector<DatFileEntry>& entries, Cell cell) {
  std::size_t width = 1;
  for (const DatFileEntry& entry : entries) {
    width = std::max(width, cell(entry).size());
  }
  return width;
}

// Ids, flags and offsets are fixed-width hex; the decimal columns are as
// wide as their widest value, so every line has the same length.
std::string render_text(const std::vector<DatFileEntry>& entries) {
  const auto decimal = [](std::uint32_t value) {
    return fmt::format("{}", value);
  };
  const std::size_t size_width = column_width(
      entries, [&](const DatFileEntry& e) { return decimal(e.size); });
  const std::size_t timestamp_width = column_width(
      entries, [&](const DatFileEntry& e) { return decimal(e.timestamp); });
  const std::size_t version_width = column_width(
      entries, [&](const DatFileEntry& e) { return decimal(e.version); });
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

// A time of 0 is no time at all.
std::string shown_time(std::uint32_t timestamp) {
  return timestamp == 0 ? std::string("-") : iso_time(timestamp);
}

std::string render_long(const std::vector<DatFileEntry>& entries) {
  const std::size_t size_width = column_width(
      entries, [](const DatFileEntry& e) { return human_bytes(e.size); });
  const std::size_t time_width = column_width(
      entries, [](const DatFileEntry& e) { return shown_time(e.timestamp); });
  std::string text;
  for (const DatFileEntry& entry : entries) {
    fmt::format_to(std::back_inserter(text),
                   "{:08X}  0x{:08X}  0x{:08X}  {:>{}}  {:<{}}  v{}{}\n",
                   entry.id, entry.bit_flags, entry.offset,
                   human_bytes(entry.size), size_width,
                   shown_time(entry.timestamp), time_width, entry.version,
                   entry.is_compressed() ? "  compressed" : "");
  }
  return text;
}

class LsCommand final : public Command {
 public:
  std::string_view name() const override { return "ls"; }
  std::string_view summary() const override {
    return "List directory entries, sorted by id";
  }
  std::string_view synopsis() const override {
    return "ARCHIVE [ID|RANGE...] [--ids-from FILE] [--json | -l]";
  }
  std::string_view details() const override {
    return "Columns, one entry a line:\n"
           "  id         the file id, 8 hex digits: what cat and extract take\n"
           "  flags      the entry's bit flags; bit 0 set: stored compressed\n"
           "  offset     where the file's first block lies in the archive\n"
           "  size       the stored bytes (compressed: the whole payload)\n"
           "  timestamp  seconds since 1970, as the archive records it\n"
           "  version    the entry's version number\n"
           "With -l, the size is shown in KiB or MiB and the timestamp as "
           "an ISO date\n(UTC; - for none), and compressed entries are "
           "marked.\n";
  }
  std::string_view example() const override {
    return "  quillstone-dat ls portal.dat | head\n"
           "  quillstone-dat ls portal.dat 06000000-06FFFFFF -l\n"
           "  quillstone-dat ls portal.dat --json | jq -r "
           "'select(.compressed) | .id_hex'\n";
  }

  void configure(CLI::App& parser) override {
    add_archive_argument(parser, archive_, "Path of the DAT archive");
    selection_.configure(parser,
                         "Ids or ranges (06000000-06FFFFFF) to list; "
                         "default: all");
    auto* json = parser.add_flag("--json", json_,
                                 "Write JSON Lines, one entry per line");
    parser
        .add_flag("-l,--long", long_,
                  "Sizes and dates for people instead of raw numbers")
        ->excludes(json);
  }

  ExitStatus run() const override {
    const auto db = DatDatabase::open(archive_);
    if (!db) return report_error(db.error(), ErrorScene::open(archive_));
    const IdSelection::Match match = selection_.match(db->files());
    const ExitStatus written =
        write_stdout(json_   ? render_json_lines(match.entries)
                     : long_ ? render_long(match.entries)
                             : render_text(match.entries));
    if (written != ExitStatus::kSuccess) return written;
    report_missing(match.missing, archive_);
    return match.missing.empty() ? ExitStatus::kSuccess : ExitStatus::kFailure;
  }

 private:
  std::string archive_;
  IdSelection selection_;
  bool json_ = false;
  bool long_ = false;
};

}  // namespace

std::unique_ptr<Command> make_ls_command() {
  return std::make_unique<LsCommand>();
}

}  // namespace quillstone_dat::tool
