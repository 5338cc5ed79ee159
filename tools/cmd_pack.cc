// `pack INDIR ARCHIVE [--manifest PATH] [--block-size N]
// [--compress none|all|auto] [--force]`: builds an archive from the files
// of a folder. With a manifest (INDIR/manifest.json as extract writes it,
// or --manifest), the archive gets back the header fields, flags,
// timestamps, versions and storage it lists, and the folder must hold
// exactly the files it lists. Without one, a file named by an id (8 hex
// digits, then optionally an extension: 0A000001.bin) becomes the entry for
// that id, stored as --compress says; anything else is reported and left
// out. The archive appears under its name only once complete.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "arguments.h"
#include "command.h"
#include "error_text.h"
#include "existing_files.h"
#include "file_id.h"
#include "input_folder.h"
#include "manifest.h"
#include "output.h"
#include "quillstone_dat/dat_writer.h"
#include "quillstone_dat/lrs.h"

namespace quillstone_dat::tool {
namespace {

namespace fs = std::filesystem;

// The writer's file for a manifest entry whose bytes are in `path`.
DatResult<WriterFile> writer_file(const ManifestEntry& entry,
                                  const fs::path& path, LrsLevel level) {
  WriterFile file{.id = entry.id,
                  .contents = path,
                  .storage = Storage::kPreStored,
                  .bit_flags = entry.bit_flags,
                  .timestamp = entry.timestamp,
                  .version = entry.version};
  const bool compressed = (entry.bit_flags & 1u) != 0;
  if (entry.stored || !compressed) return file;
  // Decoded bytes of a compressed entry are compressed again: by the
  // writer when the flags are those it sets, else here, to keep them.
  if (entry.bit_flags == 1) {
    file.storage = Storage::kCompressed;
    return file;
  }
  auto bytes = read_whole_file(path);
  if (!bytes) return std::unexpected(bytes.error());
  file.contents = compress_lrs(*bytes, level);
  return file;
}

class PackCommand final : public Command {
 public:
  std::string_view name() const override { return "pack"; }
  std::string_view summary() const override {
    return "Build an archive from a folder of files named by id";
  }
  std::string_view synopsis() const override {
    return "INDIR ARCHIVE [--manifest PATH] [--block-size N] "
           "[--compress none|all|auto] [--level fast|default|best] [--force]";
  }
  std::string_view details() const override {
    return "A folder that extract wrote holds manifest.json: pack then "
           "restores the header\nfields, flags, timestamps, versions and "
           "storage it lists, and refuses a folder\nthat lacks a listed file "
           "or holds one it does not list. --compress applies\nonly without "
           "a manifest; --block-size overrides the manifest's.\n";
  }
  std::string_view example() const override {
    return "  quillstone-dat pack my-files new.dat --compress auto "
           "--block-size 4096\n"
           "  quillstone-dat extract portal.dat unpacked && quillstone-dat "
           "pack unpacked copy.dat\n";
  }

  void configure(CLI::App& parser) override {
    parser
        .add_option("INDIR", folder_,
                    "Folder of files named XXXXXXXX or XXXXXXXX.ext (hex id)")
        ->required()
        ->type_name("PATH");
    add_archive_argument(parser, archive_, "Path of the archive to write");
    parser
        .add_option("--manifest", manifest_path_,
                    "Manifest to follow (default: INDIR/manifest.json when "
                    "there)")
        ->type_name("PATH");
    block_size_option_ =
        parser.add_option("--block-size", block_size_, "Block size in bytes")
            ->capture_default_str()
            ->check(CLI::Range(DatWriter::kMinBlockSize,
                               std::numeric_limits<std::uint32_t>::max()));
    compress_option_ = add_compress_option(parser, compress_);
    add_level_option(parser, level_);
    parser.add_flag("--force,-f", force_, "Replace ARCHIVE if it exists");
  }

  ExitStatus run() const override {
    if (!force_ && name_taken(archive_)) return report_taken(archive_);
    InputListing listing;
    if (auto listed = list_folder(folder_, listing); !listed) {
      return report_error(listed.error(), ErrorScene::input(folder_));
    }
    if (report_duplicate_inputs(listing, folder_)) return ExitStatus::kFailure;

    const fs::path manifest_path = manifest_path_.empty()
                                       ? fs::path(folder_) / kManifestName
                                       : fs::path(manifest_path_);
    std::optional<DatWriter> writer;
    if (!manifest_path_.empty() || name_taken(manifest_path)) {
      if (compress_option_->count() > 0) {
        return report_failure(manifest_path.string(),
                              "--compress does not apply with a manifest: "
                              "it gives each file's storage");
      }
      auto prepared = writer_from_manifest(manifest_path, listing);
      if (!prepared) return prepared.error();
      writer.emplace(std::move(*prepared));
    } else {
      for (const std::string& line : listing.skipped) {
        std::fputs(plain_line("warning", "skipping " + line).c_str(), stderr);
      }
      writer.emplace(
          WriterOptions{.block_size = block_size_, .level = level_of(level_)});
      for (const auto& [id, files] : listing.sources) {
        if (auto added =
                writer->add(WriterFile{.id = id,
                                       .contents = files.front().path,
                                       .storage = storage_of(compress_)});
            !added) {
          return report_error(added.error(), ErrorScene::open(folder_));
        }
      }
    }
    const auto summary = writer->write(archive_);
    if (!summary) {
      // A path error naming another file than the archive is an input that
      // could not be read.
      const fs::path* const failed = summary.error().path();
      const bool input = failed != nullptr && *failed != fs::path(archive_);
      return report_error(summary.error(), input ? ErrorScene::input(*failed)
                                                 : ErrorScene::write(archive_));
    }
    return write_stdout(fmt::format(
        "packed {} files ({} compressed) into {}: {} bytes of content, "
        "{} bytes in the archive\n",
        summary->file_count, summary->compressed_count, archive_,
        summary->content_bytes, summary->header.file_size));
  }

 private:
  // A writer holding every file the manifest lists, once the folder is
  // found to hold exactly those; otherwise the status of the failure,
  // already reported.
  std::expected<DatWriter, ExitStatus> writer_from_manifest(
      const fs::path& path, const InputListing& listing) const {
    const auto fail = [&](std::string_view subject, std::string_view text) {
      return std::unexpected(report_failure(subject, text));
    };
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
      return std::unexpected(
          report_error(DatError::path_error(path, IoError::from_errno(errno)),
                       ErrorScene::input(path)));
    }
    auto manifest = parse_manifest(text.str());
    if (!manifest) {
      return fail(path.string(), "malformed manifest: " + manifest.error());
    }

    std::set<std::string> listed;
    for (const ManifestEntry& entry : manifest->entries) {
      listed.insert(entry.file);
      std::error_code error;
      if (!fs::is_regular_file(fs::path(folder_) / entry.file, error)) {
        return fail(folder_, fmt::format("{} is missing: the manifest lists "
                                         "it for file {}",
                                         entry.file, shown_id(entry.id)));
      }
    }
    for (const auto& [id, files] : listing.sources) {
      for (const InputFile& file : files) {
        if (!listed.contains(file.name)) {
          return fail(folder_, fmt::format("{} is not in the manifest {}",
                                           file.name, path.string()));
        }
      }
    }
    for (const std::string& line : listing.skipped) {
      const std::string name = line.substr(0, line.find(':'));
      if (!listed.contains(name)) {
        std::fputs(plain_line("warning", "skipping " + line).c_str(), stderr);
      }
    }

    WriterOptions options = WriterOptions::from_header(manifest->header);
    options.level = level_of(level_);
    options.block_size =
        block_size_option_->count() > 0 ? block_size_ : manifest->block_size;
    DatWriter writer(options);
    for (const ManifestEntry& entry : manifest->entries) {
      auto file =
          writer_file(entry, fs::path(folder_) / entry.file, options.level);
      if (!file) {
        return std::unexpected(report_error(
            file.error(), ErrorScene::input(fs::path(folder_) / entry.file)));
      }
      if (auto added = writer.add(std::move(*file)); !added) {
        return std::unexpected(
            report_error(added.error(), ErrorScene::open(path)));
      }
    }
    return writer;
  }

  std::string folder_;
  std::string archive_;
  std::string manifest_path_;
  std::uint32_t block_size_ = WriterOptions{}.block_size;
  std::string compress_ = "none";
  std::string level_ = "default";
  bool force_ = false;
  CLI::Option* block_size_option_ = nullptr;
  CLI::Option* compress_option_ = nullptr;
};

}  // namespace

std::unique_ptr<Command> make_pack_command() {
  return std::make_unique<PackCommand>();
}

}  // namespace quillstone_dat::tool
