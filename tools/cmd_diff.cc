// `diff OLD NEW [ID|RANGE...] [--ids-from FILE] [--json | --summary]
// [--contents-only] [--patch DIR [--force]]`: what differs between two
// archives, by the library's comparison (archive_compare.h). One line per
// differing id, sorted by id, then one per differing header field; or the
// counts alone; or one JSON object. With --patch, also writes the patch
// folder that `apply` puts into OLD. As diff and cmp do, it exits 0 when
// nothing differs, 1 when something does and 2 on trouble.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "command.h"
#include "entry_json.h"
#include "error_text.h"
#include "file_id.h"
#include "header_json.h"
#include "id_selection.h"
#include "output.h"
#include "patch_folder.h"
#include "quillstone_dat/archive_compare.h"
#include "quillstone_dat/archive_patch.h"
#include "quillstone_dat/dat_database.h"

namespace quillstone_dat::tool {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

// diff's own statuses, those of diff and cmp.
constexpr ExitStatus kSame = ExitStatus::kSuccess;
constexpr ExitStatus kDifferent = ExitStatus::kFailure;
constexpr ExitStatus kTrouble = ExitStatus::kUsage;

constexpr std::string_view kDiffStatuses =
    "Exit status:\n"
    "  0    nothing differs (as diff and cmp, unlike the other commands)\n"
    "  1    something differs\n"
    "  2    trouble: the command line, an archive that does not open, a "
    "file that cannot\n"
    "       be read, an id in neither archive, a patch that cannot be "
    "written\n"
    "  141  the reader of standard output went away (| head)\n";

constexpr std::uint32_t kJsonFormat = 1;

struct Counts {
  std::size_t added = 0;
  std::size_t removed = 0;
  std::size_t changed = 0;
  std::size_t unreadable = 0;
};

Counts count(const ArchiveComparison& comparison) {
  Counts counts;
  for (const FileDifference& file : comparison.files) {
    switch (file.change) {
      case FileChange::kAdded:
        ++counts.added;
        break;
      case FileChange::kRemoved:
        ++counts.removed;
        break;
      case FileChange::kChanged:
        ++counts.changed;
        break;
      case FileChange::kUnreadable:
        ++counts.unreadable;
        break;
    }
  }
  return counts;
}

std::vector<std::string_view> aspect_names(FileAspects what) {
  std::vector<std::string_view> names;
  for (const FileAspect aspect : kFileAspects) {
    if (what.has(aspect)) names.push_back(to_string(aspect));
  }
  return names;
}

// "+ 0x0A000001 added 1,234 bytes", "~ 0x0A000003 timestamp, version".
std::string file_line(const FileDifference& file) {
  const std::string id = shown_id(file.id);
  const std::string unreadable = file.unreadable() ? " (unreadable)" : "";
  switch (file.change) {
    case FileChange::kAdded:
      return fmt::format("+ {} added {} bytes{}\n", id,
                         grouped(file.new_file->entry.size), unreadable);
    case FileChange::kRemoved:
      return fmt::format("- {} removed {} bytes{}\n", id,
                         grouped(file.old_file->entry.size), unreadable);
    case FileChange::kChanged:
      return fmt::format("~ {} {}\n", id,
                         fmt::join(aspect_names(file.what), ", "));
    case FileChange::kUnreadable:
      break;
  }
  if (file.what.empty()) return fmt::format("! {} unreadable\n", id);
  return fmt::format("! {} unreadable; {}\n", id,
                     fmt::join(aspect_names(file.what), ", "));
}

Json side_json(const std::optional<FileSide>& side) {
  if (!side) return nullptr;
  Json object = entry_to_json(side->entry);
  if (side->stored) {
    object["checksum"] = side->stored->hex();
  } else {
    object["checksum"] = nullptr;
    object["error"] = side->stored.error().message();
  }
  return object;
}

class DiffCommand final : public Command {
 public:
  std::string_view name() const override { return "diff"; }
  std::string_view summary() const override {
    return "Show what differs between two archives, or write it as a patch";
  }
  std::string_view synopsis() const override {
    return "OLD NEW [ID|RANGE...] [--ids-from FILE] [--json | --summary] "
           "[--contents-only] [--patch DIR [--force]]";
  }
  std::string_view details() const override {
    return "One line per id that differs, by id: '+' added, '-' removed, "
           "'~' changed and\nwhat changed (contents, storage, bit_flags, "
           "timestamp, version), '!' a file\nthat cannot be read; then '~ "
           "header' and each header field that differs. Layout\n(block "
           "size, offsets, free list, file_size, root and LRU fields) is no "
           "difference.\n\n--patch DIR writes the difference as a folder "
           "that 'apply' puts into OLD in one\ncommit: the stored bytes of "
           "the files to put, and DIR/patch.json.\n";
  }
  std::string_view example() const override {
    return "  quillstone-dat diff portal-v1.dat portal-v2.dat\n"
           "  quillstone-dat diff old.dat new.dat --json | jq '.files[] | "
           "select(.change == \"added\")'\n"
           "  quillstone-dat diff old.dat new.dat --patch update   # exits 1: "
           "they differ\n"
           "  quillstone-dat apply copy-of-old.dat update\n";
  }
  std::string_view exit_statuses() const override { return kDiffStatuses; }

  void configure(CLI::App& parser) override {
    parser.add_option("OLD", old_path_, "The archive to compare from")
        ->required()
        ->type_name("PATH");
    parser.add_option("NEW", new_path_, "The archive to compare to")
        ->required()
        ->type_name("PATH");
    selection_.configure(parser,
                         "Ids or ranges (06000000-06FFFFFF) to compare; "
                         "default: all");
    auto* json = parser.add_flag("--json", json_,
                                 "Write one JSON object instead of lines");
    parser.add_flag("--summary", summary_only_, "Print only the counts")
        ->excludes(json);
    auto* contents = parser.add_flag(
        "--contents-only", contents_only_,
        "Compare only contents: not storage, flags, timestamps, versions or "
        "the header");
    auto* patch =
        parser
            .add_option("--patch", patch_folder_,
                        "Write the difference as a patch folder for apply")
            ->type_name("DIR")
            ->excludes(contents);
    parser
        .add_flag("--force,-f", force_, "Replace the patch folder if it exists")
        ->needs(patch);
  }

  ExitStatus run() const override {
    const auto old_archive = DatDatabase::open(old_path_);
    if (!old_archive) return trouble(old_archive.error(), old_path_);
    const auto new_archive = DatDatabase::open(new_path_);
    if (!new_archive) return trouble(new_archive.error(), new_path_);

    CompareOptions options{.files = {}, .contents_only = contents_only_};
    std::vector<IdRange> missing;
    if (!selection_.empty()) {
      IdSelection::Match match =
          selection_.match(entries_of_either(*old_archive, *new_archive));
      std::vector<std::uint32_t> ids;
      for (const DatFileEntry& entry : match.entries) ids.push_back(entry.id);
      options.files = FileSelection::of(std::move(ids));
      missing = std::move(match.missing);
    }
    const ArchiveComparison comparison =
        compare_archives(*old_archive, *new_archive, options);

    bool troubled = report_unreadable(comparison) || !missing.empty();
    if (!patch_folder_.empty() && !troubled) {
      troubled = !write_patch(comparison, *old_archive, *new_archive);
    }
    const ExitStatus written = write_stdout(
        json_           ? render_json(comparison, *old_archive, *new_archive)
        : summary_only_ ? render_summary(comparison)
                        : render_lines(comparison, *old_archive, *new_archive));
    if (written == ExitStatus::kBrokenPipe) return written;
    if (!missing.empty()) {
      report_failure(
          old_path_ + ", " + new_path_,
          fmt::format("neither archive holds {}", describe_missing(missing)));
    }
    if (troubled || written != ExitStatus::kSuccess) return kTrouble;
    return comparison.same() ? kSame : kDifferent;
  }

 private:
  static ExitStatus trouble(const DatError& error, const std::string& path) {
    report_error(error, ErrorScene::open(path));
    return kTrouble;
  }

  // Every entry of either archive, each id once.
  static std::vector<DatFileEntry> entries_of_either(const DatDatabase& a,
                                                     const DatDatabase& b) {
    std::vector<DatFileEntry> entries(a.files().begin(), a.files().end());
    for (const DatFileEntry& entry : b.files()) {
      if (!a.files().contains(entry.id)) entries.push_back(entry);
    }
    return entries;
  }

  static std::string describe_missing(const std::vector<IdRange>& missing) {
    std::vector<std::string> shown;
    for (const IdRange& range : missing) shown.push_back(shown_range(range));
    return fmt::format("{}", fmt::join(shown, ", "));
  }

  // Names each file that could not be read on standard error, with its
  // archive; true when there was any.
  bool report_unreadable(const ArchiveComparison& comparison) const {
    bool any = false;
    for (const FileDifference& file : comparison.files) {
      if (file.old_file && !file.old_file->stored) {
        report_error(file.old_file->stored.error(),
                     ErrorScene::read(old_path_));
        any = true;
      }
      if (file.new_file && !file.new_file->stored) {
        report_error(file.new_file->stored.error(),
                     ErrorScene::read(new_path_));
        any = true;
      }
    }
    return any;
  }

  bool write_patch(const ArchiveComparison& comparison,
                   const DatDatabase& old_archive,
                   const DatDatabase& new_archive) const {
    auto patch =
        make_patch(comparison, old_archive.header(), new_archive.header());
    if (!patch) {
      report_error(patch.error(), ErrorScene::read(new_path_));
      return false;
    }
    fs::path folder(patch_folder_);
    if (folder.filename().empty()) folder = folder.parent_path();
    return write_patch_folder(folder, *patch, new_archive, new_path_, force_) ==
           ExitStatus::kSuccess;
  }

  static std::string render_summary(const ArchiveComparison& comparison) {
    const Counts counts = count(comparison);
    return fmt::format(
        "{} added, {} removed, {} changed, {} unreadable; {} header "
        "fields differ\n",
        counts.added, counts.removed, counts.changed, counts.unreadable,
        comparison.header.size());
  }

  static std::string render_lines(const ArchiveComparison& comparison,
                                  const DatDatabase& old_archive,
                                  const DatDatabase& new_archive) {
    std::string text;
    for (const FileDifference& file : comparison.files) text += file_line(file);
    const Json before = header_to_json(old_archive.header());
    const Json after = header_to_json(new_archive.header());
    for (const std::string_view field : comparison.header) {
      const std::string name(field);
      text += fmt::format("~ header {}: {} -> {}\n", name,
                          before.at(name).dump(), after.at(name).dump());
    }
    return text;
  }

  std::string render_json(const ArchiveComparison& comparison,
                          const DatDatabase& old_archive,
                          const DatDatabase& new_archive) const {
    const Json before = header_to_json(old_archive.header());
    const Json after = header_to_json(new_archive.header());
    Json header = Json::array();
    for (const std::string_view field : comparison.header) {
      const std::string name(field);
      header.push_back(
          {{"field", name}, {"old", before.at(name)}, {"new", after.at(name)}});
    }
    Json files = Json::array();
    for (const FileDifference& file : comparison.files) {
      files.push_back({{"id", file.id},
                       {"id_hex", hex_id(file.id)},
                       {"change", to_string(file.change)},
                       {"what", aspect_names(file.what)},
                       {"old", side_json(file.old_file)},
                       {"new", side_json(file.new_file)}});
    }
    const Counts counts = count(comparison);
    const Json object = {{"format", kJsonFormat},
                         {"old", old_path_},
                         {"new", new_path_},
                         {"header", std::move(header)},
                         {"files", std::move(files)},
                         {"counts",
                          {{"added", counts.added},
                           {"removed", counts.removed},
                           {"changed", counts.changed},
                           {"unreadable", counts.unreadable},
                           {"header", comparison.header.size()}}}};
    return object.dump() + "\n";
  }

  std::string old_path_;
  std::string new_path_;
  IdSelection selection_;
  std::string patch_folder_;
  bool json_ = false;
  bool summary_only_ = false;
  bool contents_only_ = false;
  bool force_ = false;
};

}  // namespace

std::unique_ptr<Command> make_diff_command() {
  return std::make_unique<DiffCommand>();
}

}  // namespace quillstone_dat::tool
