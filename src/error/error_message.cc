// DatError::message(): what went wrong, in one line for people, told from
// the error's structured facts and the ErrorContext of the archive where it
// arose.

#include <string>

#include "format/records.h"
#include "quillstone_dat/error.h"
#include "quillstone_dat/error_context.h"
#include "utils/shown_numbers.h"

namespace quillstone_dat {

namespace {

// Block sizes past this are not what a writer makes: a header that gives
// one is more likely bytes that never were an archive.
constexpr std::uint32_t kLargestUsualBlock = 1 << 20;
constexpr std::uint32_t kSmallestUsualBlock = 8;

// The bytes ran out while the archive was opened: too short for a header,
// or its directory lies past the end. A header that looks like a writer's
// (a usual block size, a root node after the header and within the length
// recorded in file_size) and records a greater length than the file has
// marks an archive cut short; anything else may as well be bytes that
// never were an archive.
std::string short_archive(const ErrorContext& context) {
  const std::uint64_t size = context.archive_length.value_or(0);
  if (context.archive_length && size == 0) {
    return "not a DAT archive: the file is empty";
  }
  if (context.archive_length && size < kHeaderEnd) {
    return "not a DAT archive, or truncated: the file is " + grouped(size) +
           " bytes and its header ends at byte " + std::to_string(kHeaderEnd);
  }
  if (!context.archive_length || !context.header) {
    return "truncated or damaged: its directory runs past its end";
  }
  const DatHeader& header = *context.header;
  const std::uint32_t node = context.node_offset.value_or(header.root_offset);
  const std::string where = "directory node at " + shown_id(node) +
                            (node >= size ? " lies past" : " runs past") +
                            " the end of the " + grouped(size) + "-byte file";
  const bool cut_short =
      header.file_size > size && header.block_size >= kSmallestUsualBlock &&
      header.block_size <= kLargestUsualBlock &&
      header.root_offset >= kHeaderEnd && header.root_offset < header.file_size;
  if (cut_short) {
    return "truncated: " + where + " (its header gives " +
           grouped(header.file_size) + " bytes)";
  }
  return "not a DAT archive, or truncated: " + where;
}

// An entry's chain that ran out of file.
std::string short_entry(const DatFileEntry& entry,
                        const ErrorContext& context) {
  const std::string file = "file " + shown_id(entry.id) + " is truncated: ";
  if (!context.archive_length) {
    return file + "its chain runs past the end of the archive";
  }
  return file + "its " + grouped(entry.size) + " stored bytes at " +
         shown_id(entry.offset) + " run past the end of the " +
         grouped(*context.archive_length) + "-byte archive";
}

std::string describe_io(const IoError& io, const ErrorContext* context) {
  const DatFileEntry* const entry =
      context != nullptr && context->entry ? &*context->entry : nullptr;
  switch (io.kind()) {
    case IoErrorKind::kIsADirectory:
      return "is a directory";
    case IoErrorKind::kNotSeekable:
      if (context != nullptr && entry == nullptr) {
        return "not a regular file: an archive is read at offsets, and this "
               "file cannot seek";
      }
      break;
    case IoErrorKind::kUnexpectedEof:
      if (entry != nullptr) return short_entry(*entry, *context);
      if (context != nullptr) return short_archive(*context);
      break;
    default:
      break;
  }
  if (entry != nullptr) {
    return "cannot read file " + shown_id(entry->id) + ": " + io.message();
  }
  return io.message();
}

std::string describe_record_read(const BinReadError& error,
                                 const ErrorContext* context) {
  const IoError& cause = error.cause();
  const bool in_header = error.record() == "DatHeader";
  if (cause.kind() == IoErrorKind::kIsADirectory) return "is a directory";
  if (cause.kind() == IoErrorKind::kUnexpectedEof) {
    if (const auto count = error.counted_entries()) {
      std::string text =
          "damaged directory: a node counts more entries than "
          "its " +
          std::to_string(kNodeMaxEntries) + " slots";
      if (context != nullptr && context->node_offset) {
        text += ": the node at " + shown_id(*context->node_offset) +
                " counts " + grouped(*count);
      }
      return text;
    }
    if (in_header && context != nullptr) return short_archive(*context);
  }
  if (error.field().empty()) return "cannot read: " + cause.message();
  return std::string("cannot read the ") +
         (in_header ? "header's" : "directory's") + " field '" +
         std::string(error.field()) + "': " + cause.message();
}

}  // namespace

std::string DatError::message() const {
  const ErrorContext* const where = context();
  // Problems of one entry's bytes say which file they concern.
  const std::string file = where != nullptr && where->entry
                               ? "file " + shown_id(where->entry->id) + ": "
                               : "";
  switch (kind_) {
    case Kind::kIo:
    case Kind::kPathError:
      return describe_io(*io_error(), where);
    case Kind::kBinRead:
      return describe_record_read(*bin_read_error(), where);
    case Kind::kNotFound:
      return "no file " + shown_id(*file_id()) + " in the archive";
    case Kind::kDuplicateId:
      return "file " + shown_id(*file_id()) + " is given twice";
    case Kind::kDuplicateNamespacedId:
      return "file " + shown_id(*file_id()) + " is given twice in namespace " +
             std::string(text());
    case Kind::kInvalidMagic:
      return "not a DAT archive: " + std::string(text());
    case Kind::kUnsupportedVersion:
      return "unsupported version " + std::to_string(*number());
    case Kind::kInvalidNamespace:
      return "invalid namespace: " + std::string(text());
    case Kind::kCorruption:
      return file + "damaged: " + std::string(text());
    case Kind::kDecompressionFailed:
      return file + "cannot decompress (code " + std::to_string(*number()) +
             ")";
    case Kind::kOther:
      break;
  }
  return file + std::string(text());
}

}  // namespace quillstone_dat
