// `info ARCHIVE [--json]`: the header's seventeen fields and a summary of
// the directory: how many entries, how many compressed, and the total of
// their stored sizes. The header is shown even when the directory cannot
// be walked; the failure is then reported after it.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arguments.h"
#include "command.h"
#include "error_text.h"
#include "header_json.h"
#include "output.h"
#include "quillstone_dat/dat_database.h"

namespace quillstone_dat::tool {
namespace {

struct DirectorySummary {
  std::uint64_t entry_count = 0;
  std::uint64_t compressed_count = 0;
  // 64 bits: the sizes of a few large entries overflow 32.
  std::uint64_t stored_bytes = 0;
};

DirectorySummary summarize(const FileTable& files) {
  DirectorySummary summary;
  for (const DatFileEntry& entry : files) {
    ++summary.entry_count;
    if (entry.is_compressed()) ++summary.compressed_count;
    summary.stored_bytes += entry.size;
  }
  return summary;
}

// Offsets and the magic number read better in hex as well.
bool also_hex(std::string_view field) {
  return field == "magic" || field.ends_with("_offset") ||
         (field.starts_with("free_") && field != "free_count");
}

// Without a summary, the directory could not be walked: `failure` says why.
std::string render_json(const DatHeader& header,
                        const std::optional<DirectorySummary>& summary,
                        std::string_view failure) {
  nlohmann::ordered_json object = header_to_json(header);
  if (summary) {
    object["entry_count"] = summary->entry_count;
    object["compressed_count"] = summary->compressed_count;
    object["stored_bytes"] = summary->stored_bytes;
  } else {
    object["error"] = failure;
  }
  return object.dump(2) + "\n";
}

std::string render_text(const DatHeader& header,
                        const std::optional<DirectorySummary>& summary) {
  std::vector<std::pair<std::string, std::string>> lines;
  const nlohmann::ordered_json fields = header_to_json(header);
  for (const auto& [name, value] : fields.items()) {
    if (!value.is_number()) {
      lines.emplace_back(name, value.get<std::string>());
      continue;
    }
    const auto number = value.get<std::uint32_t>();
    lines.emplace_back(name, also_hex(name)
                                 ? fmt::format("{} (0x{:08X})", number, number)
                                 : fmt::format("{}", number));
  }
  if (summary) {
    lines.emplace_back("entry_count", fmt::format("{}", summary->entry_count));
    lines.emplace_back("compressed_count",
                       fmt::format("{}", summary->compressed_count));
    lines.emplace_back("stored_bytes",
                       fmt::format("{}", summary->stored_bytes));
  }

  std::size_t width = 0;
  for (const auto& [name, value] : lines) width = std::max(width, name.size());
  std::string text;
  for (const auto& [name, value] : lines) {
    text += fmt::format("{:<{}} {}\n", name + ":", width + 1, value);
  }
  return text;
}

class InfoCommand final : public Command {
 public:
  std::string_view name() const override { return "info"; }
  std::string_view summary() const override {
    return "Show the archive's header and a summary of its directory";
  }
  std::string_view synopsis() const override { return "ARCHIVE [--json]"; }
  std::string_view details() const override {
    return "The header is shown even when the directory cannot be read; the "
           "error follows\n(and, with --json, is the member 'error' in place "
           "of the summary).\n";
  }
  std::string_view example() const override {
    return "  quillstone-dat info portal.dat\n"
           "  quillstone-dat info portal.dat --json | jq .entry_count\n";
  }

  void configure(CLI::App& parser) override {
    add_archive_argument(parser, archive_, "Path of the DAT archive");
    parser.add_flag("--json", json_, "Write one JSON object");
  }

  ExitStatus run() const override {
    const auto db = DatDatabase::open(archive_);
    if (db) {
      const DirectorySummary summary = summarize(db->files());
      return write_stdout(json_ ? render_json(db->header(), summary, "")
                                : render_text(db->header(), summary));
    }
    // What can still be shown of an archive whose directory is damaged.
    const ErrorScene scene = ErrorScene::open(archive_);
    const auto header = read_dat_header(archive_);
    if (!header) return report_error(db.error(), scene);
    const ExitStatus written = write_stdout(
        json_ ? render_json(*header, std::nullopt, describe(db.error(), scene))
              : render_text(*header, std::nullopt));
    if (written != ExitStatus::kSuccess) return written;
    return report_error(db.error(), scene);
  }

 private:
  std::string archive_;
  bool json_ = false;
};

}  // namespace

std::unique_ptr<Command> make_info_command() {
  return std::make_unique<InfoCommand>();
}

}  // namespace quillstone_dat::tool
