#include "error_text.h"

#include <fmt/format.h>

#include <cstdio>
#include <system_error>

#include "file_id.h"
#include "format/records.h"
#include "number_text.h"
#include "quillstone_dat/dat_header.h"

namespace quillstone_dat::tool {
namespace {

namespace fs = std::filesystem;

ErrorStyle chosen_style = ErrorStyle::kPlain;

// The name inside the outermost frame of a record read, "root_offset" in
// "While parsing field 'root_offset' in DatHeader"; empty without one.
std::string_view field_of(const BinReadError& error) {
  if (error.frames().empty()) return {};
  const std::string_view frame = error.frames().back().message;
  const std::size_t open = frame.find('\'');
  const std::size_t close = frame.find('\'', open + 1);
  if (close == std::string_view::npos) return {};
  return frame.substr(open + 1, close - open - 1);
}

bool in_header(const BinReadError& error) {
  return !error.frames().empty() &&
         error.frames().back().message.ends_with("DatHeader");
}

// Why an archive's bytes ran out while it was opened: too short for a
// header, or its directory lies past the end. A header that looks like a
// writer's (a usual block size, a root node after the header and within
// the length recorded in file_size) and records a greater length than the
// file has marks an archive cut short; anything else may as well be bytes
// that never were an archive.
std::string describe_short_archive(const fs::path& archive) {
  constexpr std::uint32_t kLargestUsualBlock = 1 << 20;
  std::error_code error;
  const std::uintmax_t size = fs::file_size(archive, error);
  if (error) return "truncated or damaged: its directory runs past its end";
  if (size == 0) return "not a DAT archive: the file is empty";
  if (size < kHeaderEnd) {
    return fmt::format(
        "not a DAT archive, or truncated: the file is {} bytes and its "
        "header ends at byte {}",
        grouped(size), kHeaderEnd);
  }
  const auto header = read_dat_header(archive);
  if (!header) return "truncated or damaged: its directory runs past its end";
  const std::string where =
      header->root_offset >= size
          ? fmt::format(
                "directory node at 0x{:08X} lies past the end of the "
                "{}-byte file",
                header->root_offset, grouped(size))
          : fmt::format("the directory runs past the end of the {}-byte file",
                        grouped(size));
  const bool cut_short = header->file_size > size && header->block_size >= 8 &&
                         header->block_size <= kLargestUsualBlock &&
                         header->root_offset >= kHeaderEnd &&
                         header->root_offset < header->file_size;
  if (cut_short) {
    return fmt::format("truncated: {} (its header gives {} bytes)", where,
                       grouped(header->file_size));
  }
  return "not a DAT archive, or truncated: " + where;
}

std::string describe_record_read(const BinReadError& error,
                                 const ErrorScene& scene) {
  const IoError& cause = error.cause();
  if (cause.kind() == IoErrorKind::kIsADirectory) return "is a directory";
  if (cause.kind() == IoErrorKind::kUnexpectedEof) {
    if (in_header(error)) return describe_short_archive(scene.file);
    return fmt::format(
        "damaged directory: a node counts more entries than its {} slots",
        kNodeMaxEntries);
  }
  const std::string_view field = field_of(error);
  if (field.empty()) return "cannot read: " + cause.message();
  return fmt::format("cannot read {}field '{}': {}",
                     in_header(error) ? "the header's " : "the directory's ",
                     field, cause.message());
}

// A read of the entry's chain that ran out of file.
std::string describe_short_entry(const fs::path& archive,
                                 const DatFileEntry& entry) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(archive, error);
  if (error) {
    return fmt::format(
        "file {} is truncated: its chain runs past the end of "
        "the archive",
        shown_id(entry.id));
  }
  return fmt::format(
      "file {} is truncated: its {} stored bytes at 0x{:08X} run past the "
      "end of the {}-byte archive",
      shown_id(entry.id), grouped(entry.size), entry.offset, grouped(size));
}

std::string describe_io(const IoError& io, const ErrorScene& scene) {
  using Action = ErrorScene::Action;
  switch (scene.action) {
    case Action::kOpenArchive:
      if (io.kind() == IoErrorKind::kNotSeekable) {
        return "not a regular file: an archive is read at offsets, and this "
               "file cannot seek";
      }
      if (io.kind() == IoErrorKind::kIsADirectory) return "is a directory";
      if (io.kind() == IoErrorKind::kUnexpectedEof) {
        return describe_short_archive(scene.file);
      }
      return io.message();
    case Action::kReadEntry:
      if (io.kind() == IoErrorKind::kUnexpectedEof && scene.entry) {
        return describe_short_entry(scene.file, *scene.entry);
      }
      return fmt::format("cannot read file {}: {}",
                         scene.entry ? shown_id(scene.entry->id) : "",
                         io.message());
    case Action::kReadFile:
      return "cannot read: " + io.message();
    case Action::kWriteFile:
      return "cannot write: " + io.message();
  }
  return io.message();
}

}  // namespace

void set_error_style(ErrorStyle style) { chosen_style = style; }

ErrorStyle error_style() { return chosen_style; }

ErrorScene ErrorScene::open(fs::path archive) {
  ErrorScene scene;
  scene.file = std::move(archive);
  return scene;
}

ErrorScene ErrorScene::read(fs::path archive, const DatFileEntry& entry) {
  ErrorScene scene = open(std::move(archive));
  scene.action = Action::kReadEntry;
  scene.entry = entry;
  return scene;
}

ErrorScene ErrorScene::input(fs::path file) {
  ErrorScene scene = open(std::move(file));
  scene.action = Action::kReadFile;
  return scene;
}

ErrorScene ErrorScene::write(fs::path file) {
  ErrorScene scene = open(std::move(file));
  scene.action = Action::kWriteFile;
  return scene;
}

std::string describe(const DatError& error, const ErrorScene& scene) {
  // Problems of one entry's bytes say which file they concern.
  const std::string file =
      scene.action == ErrorScene::Action::kReadEntry && scene.entry
          ? "file " + shown_id(scene.entry->id) + ": "
          : "";
  switch (error.kind()) {
    case DatError::Kind::kIo:
    case DatError::Kind::kPathError:
      return describe_io(*error.io_error(), scene);
    case DatError::Kind::kBinRead:
      return describe_record_read(*error.bin_read_error(), scene);
    case DatError::Kind::kNotFound:
      return fmt::format("no file {} in the archive",
                         shown_id(*error.file_id()));
    case DatError::Kind::kDuplicateId:
      return fmt::format("file {} is given twice", shown_id(*error.file_id()));
    case DatError::Kind::kDuplicateNamespacedId:
      return fmt::format("file {} is given twice in namespace {}",
                         shown_id(*error.file_id()), error.text());
    case DatError::Kind::kInvalidMagic:
      return fmt::format("not a DAT archive: {}", error.text());
    case DatError::Kind::kUnsupportedVersion:
      return fmt::format("unsupported version {}", *error.number());
    case DatError::Kind::kInvalidNamespace:
      return fmt::format("invalid namespace: {}", error.text());
    case DatError::Kind::kCorruption:
      return fmt::format("{}damaged: {}", file, error.text());
    case DatError::Kind::kDecompressionFailed:
      return fmt::format("{}cannot decompress (code {})", file,
                         *error.number());
    case DatError::Kind::kOther:
      break;
  }
  return file + std::string(error.text());
}

std::string error_report(const DatError& error, const ErrorScene& scene) {
  if (chosen_style == ErrorStyle::kDebug) {
    return "error: " + scene.debug_label + error.debug() + "\n";
  }
  // A path error names the file that failed, which may be another than the
  // one the command was given (a file written into a folder, say).
  const fs::path* const failed = error.path();
  return plain_line((failed != nullptr ? *failed : scene.file).string(),
                    describe(error, scene));
}

ExitStatus report_error(const DatError& error, const ErrorScene& scene) {
  const std::string text = error_report(error, scene);
  std::fwrite(text.data(), 1, text.size(), stderr);
  return ExitStatus::kFailure;
}

std::string plain_line(std::string_view subject, std::string_view text) {
  if (subject.empty()) return fmt::format("{}: {}\n", kToolName, text);
  return fmt::format("{}: {}: {}\n", kToolName, subject, text);
}

ExitStatus report_failure(std::string_view subject, std::string_view text) {
  const std::string line = plain_line(subject, text);
  std::fwrite(line.data(), 1, line.size(), stderr);
  return ExitStatus::kFailure;
}

}  // namespace quillstone_dat::tool
