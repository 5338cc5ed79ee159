// `info ARCHIVE [--json]`: the header's seventeen fields and a summary of
// the directory: how many entries, how many compressed, and the total of
// their stored sizes.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "command.h"
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

std::string hex_bytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) text += fmt::format("{:02x}", byte);
  return text;
}

// A header field as shown: a number, or version_string as hex digits.
// Offsets and the magic number read better in hex as well in the text form.
struct HeaderField {
  const char* name;
  std::variant<std::uint32_t, std::string> value;
  bool also_hex = false;
};

// The seventeen header fields in their on-disk order.
std::vector<HeaderField> header_fields(const DatHeader& h) {
  return {
      {"magic", h.magic, true},
      {"block_size", h.block_size},
      {"file_size", h.file_size},
      {"dataset", h.dataset},
      {"subset", h.subset},
      {"free_head", h.free_head, true},
      {"free_tail", h.free_tail, true},
      {"free_count", h.free_count},
      {"root_offset", h.root_offset, true},
      {"new_lru", h.new_lru},
      {"old_lru", h.old_lru},
      {"use_lru", h.use_lru},
      {"master_map_id", h.master_map_id},
      {"engine_version", h.engine_version},
      {"game_version", h.game_version},
      {"version_string", hex_bytes(h.version_string)},
      {"version_minor", h.version_minor},
  };
}

std::string render_json(const DatHeader& header,
                        const DirectorySummary& summary) {
  nlohmann::ordered_json object;
  for (const HeaderField& field : header_fields(header)) {
    std::visit([&](const auto& value) { object[field.name] = value; },
               field.value);
  }
  object["entry_count"] = summary.entry_count;
  object["compressed_count"] = summary.compressed_count;
  object["stored_bytes"] = summary.stored_bytes;
  return object.dump(2) + "\n";
}

std::string render_text(const DatHeader& header,
                        const DirectorySummary& summary) {
  std::vector<std::pair<std::string, std::string>> lines;
  for (const HeaderField& field : header_fields(header)) {
    const auto* number = std::get_if<std::uint32_t>(&field.value);
    lines.emplace_back(field.name,
                       number == nullptr ? std::get<std::string>(field.value)
                       : field.also_hex
                           ? fmt::format("{} (0x{:08X})", *number, *number)
                           : fmt::format("{}", *number));
  }
  lines.emplace_back("entry_count", fmt::format("{}", summary.entry_count));
  lines.emplace_back("compressed_count",
                     fmt::format("{}", summary.compressed_count));
  lines.emplace_back("stored_bytes", fmt::format("{}", summary.stored_bytes));

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

  void configure(CLI::App& parser) override {
    parser.add_option("ARCHIVE", archive_, "Path of the DAT archive")
        ->required()
        ->type_name("PATH");
    parser.add_flag("--json", json_, "Write one JSON object");
  }

  ExitStatus run() const override {
    const auto db = DatDatabase::open(archive_);
    if (!db) return report_error(db.error());
    const DirectorySummary summary = summarize(db->files());
    return write_stdout(json_ ? render_json(db->header(), summary)
                              : render_text(db->header(), summary));
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
