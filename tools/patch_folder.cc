#include "patch_folder.h"

#include <fmt/format.h>
#include <stdlib.h>

#include <cerrno>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "error_text.h"
#include "existing_files.h"
#include "file_id.h"
#include "input_folder.h"
#include "written_file.h"

namespace quillstone_dat::tool {

namespace fs = std::filesystem;

namespace {

DatError path_error(const fs::path& path, int error) {
  return DatError::path_error(path, IoError::from_errno(error));
}

// A folder made under a hidden name beside `target`, removed with what it
// holds unless moved into place.
class StagingFolder {
 public:
  static std::expected<StagingFolder, DatError> create(const fs::path& target) {
    const fs::path parent =
        target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string pattern =
        (parent / ("." + target.filename().string() + ".XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      return std::unexpected(path_error(parent, errno));
    }
    return StagingFolder(pattern);
  }

  StagingFolder(StagingFolder&& other) noexcept
      : path_(std::exchange(other.path_, {})) {}
  StagingFolder& operator=(StagingFolder&&) = delete;
  ~StagingFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }

  const fs::path& path() const { return path_; }

  // Renames the folder to `target`; what was there is moved aside first
  // and removed once the new folder has its name.
  DatResult<void> move_to(const fs::path& target) {
    std::optional<fs::path> aside;
    if (name_taken(target)) {
      aside = fs::path(path_.string() + ".old");
      if (std::rename(target.c_str(), aside->c_str()) != 0) {
        return std::unexpected(path_error(target, errno));
      }
    }
    if (std::rename(path_.c_str(), target.c_str()) != 0) {
      const int error = errno;
      if (aside) (void)std::rename(aside->c_str(), target.c_str());
      return std::unexpected(path_error(target, error));
    }
    path_.clear();
    std::error_code ignored;
    if (aside) fs::remove_all(*aside, ignored);
    return {};
  }

 private:
  explicit StagingFolder(fs::path path) : path_(std::move(path)) {}

  fs::path path_;
};

// The stored bytes the patch carries, read from `source` into `folder`;
// kFailure, reported, when one cannot be read or written or is no longer
// what the comparison saw.
ExitStatus write_carried(const fs::path& folder, PatchDocument& document,
                         const DatDatabase& source,
                         const fs::path& source_path) {
  std::map<std::uint32_t, const PatchedFile*> carried;
  std::vector<std::uint32_t> ids;
  for (const PatchedFile& put : document.patch.puts) {
    if (!put.carried) continue;
    carried[put.entry.id] = &put;
    ids.push_back(put.entry.id);
    document.files[put.entry.id] = file_name_of(put.entry.id);
  }
  ExitStatus status = ExitStatus::kSuccess;
  source.for_each_file(
      FileSelection::of(std::move(ids)), {.raw = true},
      [&](const BatchFile& file) {
        if (!file.bytes) {
          status =
              report_error(file.bytes.error(), ErrorScene::read(source_path));
          return BatchStep::kStop;
        }
        const PatchedFile& put = *carried.at(file.id);
        if (file.entry->size != put.entry.size ||
            checksum_of(*file.bytes) != put.checksum) {
          status = report_failure(
              source_path.string(),
              fmt::format("file {} changed while the patch was made",
                          shown_id(file.id)));
          return BatchStep::kStop;
        }
        const fs::path target = folder / document.files.at(file.id);
        if (auto written = write_file(target, *file.bytes, put.entry.timestamp);
            !written) {
          status = report_error(written.error(), ErrorScene::write(target));
          return BatchStep::kStop;
        }
        return BatchStep::kContinue;
      });
  return status;
}

}  // namespace

ExitStatus write_patch_folder(const fs::path& folder, const ArchivePatch& patch,
                              const DatDatabase& source,
                              const fs::path& source_path, bool replace) {
  if (!replace && name_taken(folder)) return report_taken(folder);
  auto staging = StagingFolder::create(folder);
  if (!staging) {
    return report_error(staging.error(), ErrorScene::write(folder));
  }
  PatchDocument document{patch, {}};
  if (const ExitStatus written =
          write_carried(staging->path(), document, source, source_path);
      written != ExitStatus::kSuccess) {
    return written;
  }
  const fs::path json = staging->path() / kPatchName;
  if (auto written = write_text_file(json, render_patch(document)); !written) {
    return report_error(written.error(), ErrorScene::write(folder));
  }
  if (auto moved = staging->move_to(folder); !moved) {
    return report_error(moved.error(), ErrorScene::write(folder));
  }
  return ExitStatus::kSuccess;
}

std::expected<PatchDocument, ExitStatus> read_patch_folder(
    const fs::path& folder) {
  const auto fail = [&](std::string_view subject, std::string_view text) {
    return std::unexpected(report_failure(subject, text));
  };
  const fs::path json = folder / kPatchName;
  std::error_code error;
  if (!fs::is_regular_file(json, error)) {
    return fail(folder.string(), "not a patch folder: it has no patch.json");
  }
  const auto text = read_whole_file(json);
  if (!text) {
    return std::unexpected(report_error(text.error(), ErrorScene::input(json)));
  }
  auto document = parse_patch(std::string_view(
      reinterpret_cast<const char*>(text->data()), text->size()));
  if (!document)
    return fail(json.string(), "malformed patch: " + document.error());

  std::set<std::string> listed;
  for (const PatchedFile& put : document->patch.puts) {
    if (!put.carried) continue;
    const std::string& name = document->files.at(put.entry.id);
    listed.insert(name);
    const fs::path path = folder / name;
    if (!fs::is_regular_file(path, error)) {
      return fail(folder.string(),
                  fmt::format("{} is missing: patch.json lists it for file {}",
                              name, shown_id(put.entry.id)));
    }
    if (const std::uintmax_t size = fs::file_size(path, error);
        !error && size != put.entry.size) {
      return fail(folder.string(),
                  fmt::format("{} holds {} bytes; patch.json lists {} for "
                              "file {}",
                              name, grouped(size), grouped(put.entry.size),
                              shown_id(put.entry.id)));
    }
  }
  InputListing listing;
  if (auto found = list_folder(folder, listing); !found) {
    return std::unexpected(
        report_error(found.error(), ErrorScene::input(folder)));
  }
  for (const auto& [id, files] : listing.sources) {
    for (const InputFile& file : files) {
      if (!listed.contains(file.name)) {
        return fail(folder.string(),
                    fmt::format("{} is not in patch.json, which lists no "
                                "bytes for file {}",
                                file.name, shown_id(id)));
      }
    }
  }
  return std::move(*document);
}

}  // namespace quillstone_dat::tool
