// `pack INDIR ARCHIVE [--block-size N] [--compress none|all|auto] [--force]`:
// builds an archive from the files of a folder. A file named by an id (8
// hex digits, then optionally an extension: 0A000001.bin) becomes the entry
// for that id; anything else is reported and left out. The archive is
// written complete under a temporary name and then renamed into place.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "command.h"
#include "output.h"
#include "quillstone_dat/dat_writer.h"

namespace quillstone_dat::tool {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kIdDigits = 8;

// The id a file name stands for: exactly eight hex digits, alone or before
// a '.' and a non-empty extension.
std::optional<std::uint32_t> id_of_name(std::string_view name) {
  if (name.size() < kIdDigits) return std::nullopt;
  const std::string_view digits = name.substr(0, kIdDigits);
  const std::string_view rest = name.substr(kIdDigits);
  if (!rest.empty() && (rest.size() < 2 || rest.front() != '.')) {
    return std::nullopt;
  }
  if (!std::ranges::all_of(digits, [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    return std::nullopt;
  }
  std::uint32_t id = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), id, 16);
  return id;
}

DatError path_error(const fs::path& path, const std::error_code& error) {
  return DatError::path_error(path, IoError::from_errno(error.value()));
}

struct Source {
  std::string name;
  fs::path path;
};

Storage storage_of(std::string_view mode) {
  if (mode == "all") return Storage::kCompressed;
  if (mode == "auto") return Storage::kSmallest;
  return Storage::kPlain;
}

class PackCommand final : public Command {
 public:
  std::string_view name() const override { return "pack"; }
  std::string_view summary() const override {
    return "Build an archive from a folder of files named by id";
  }
  std::string_view synopsis() const override {
    return "INDIR ARCHIVE [--block-size N] [--compress none|all|auto] "
           "[--force]";
  }

  void configure(CLI::App& parser) override {
    parser
        .add_option("INDIR", folder_,
                    "Folder of files named XXXXXXXX or XXXXXXXX.ext (hex id)")
        ->required()
        ->type_name("PATH");
    parser.add_option("ARCHIVE", archive_, "Path of the archive to write")
        ->required()
        ->type_name("PATH");
    parser.add_option("--block-size", block_size_, "Block size in bytes")
        ->capture_default_str()
        ->check(CLI::Range(DatWriter::kMinBlockSize,
                           std::numeric_limits<std::uint32_t>::max()));
    parser
        .add_option("--compress", compress_,
                    "none: store as given; all: LRS-compress every file; "
                    "auto: compress where that is smaller")
        ->capture_default_str()
        ->check(CLI::IsMember({"none", "all", "auto"}));
    parser.add_flag("--force", force_, "Replace ARCHIVE if it exists");
  }

  ExitStatus run() const override {
    std::error_code error;
    if (!force_ && fs::exists(fs::symlink_status(archive_, error))) {
      fmt::print(stderr, "error: {} exists; pass --force to replace it\n",
                 archive_);
      return ExitStatus::kFailure;
    }
    std::map<std::uint32_t, std::vector<Source>> sources;
    if (auto listed = list_sources(sources); !listed) {
      return report_error(listed.error());
    }
    bool duplicated = false;
    for (const auto& [id, files] : sources) {
      if (files.size() < 2) continue;
      std::string names;
      for (const Source& file : files) names += " " + file.name;
      fmt::print(stderr, "error: more than one file for id {:08X}:{}\n", id,
                 names);
      duplicated = true;
    }
    if (duplicated) return ExitStatus::kFailure;

    DatWriter writer(WriterOptions{.block_size = block_size_});
    for (const auto& [id, files] : sources) {
      if (auto added = writer.add(WriterFile{.id = id,
                                             .contents = files.front().path,
                                             .storage = storage_of(compress_)});
          !added) {
        return report_error(added.error());
      }
    }
    const auto summary = writer.write(archive_);
    if (!summary) return report_error(summary.error());
    return write_stdout(fmt::format(
        "packed {} files ({} compressed) into {}: {} bytes of content, "
        "{} bytes in the archive\n",
        summary->file_count, summary->compressed_count, archive_,
        summary->content_bytes, summary->header.file_size));
  }

 private:
  // The folder's id-named regular files, by id; the rest is reported.
  DatResult<void> list_sources(
      std::map<std::uint32_t, std::vector<Source>>& sources) const {
    std::error_code error;
    fs::directory_iterator it(folder_, error);
    if (error) return std::unexpected(path_error(folder_, error));
    std::vector<std::string> skipped;
    for (; it != fs::directory_iterator(); it.increment(error)) {
      if (error) return std::unexpected(path_error(folder_, error));
      const std::string name = it->path().filename().string();
      const std::optional<std::uint32_t> id = id_of_name(name);
      // Follows symbolic links, as reading the file will.
      std::error_code unknown_type;
      if (!it->is_regular_file(unknown_type)) {
        skipped.push_back(name + ": not a regular file");
      } else if (!id) {
        skipped.push_back(name + ": name is not a file id");
      } else {
        sources[*id].push_back({name, it->path()});
      }
    }
    if (error) return std::unexpected(path_error(folder_, error));
    // Directory order is arbitrary; messages should not be.
    std::ranges::sort(skipped);
    for (const std::string& line : skipped) {
      fmt::print(stderr, "warning: skipping {}\n", line);
    }
    for (auto& [id, files] : sources) {
      std::ranges::sort(files, {}, &Source::name);
    }
    return {};
  }

  std::string folder_;
  std::string archive_;
  std::uint32_t block_size_ = WriterOptions{}.block_size;
  std::string compress_ = "none";
  bool force_ = false;
};

}  // namespace

std::unique_ptr<Command> make_pack_command() {
  return std::make_unique<PackCommand>();
}

}  // namespace quillstone_dat::tool
