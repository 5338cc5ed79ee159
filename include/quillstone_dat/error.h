// DatError is the one error type of the library: every fallible operation
// returns its value or a DatError (see DatResult). It is a tagged union of
// twelve kinds; each owns its payload.
//
// BinReadError is the payload of the BinRead kind: the I/O error that stopped
// a record read, plus context frames (innermost first) naming the field.
//
// message() says what went wrong in one line for people, in the archive's
// own terms where the library knew them (ErrorContext, error_context.h):
// "truncated: directory node at 0x018D5000 lies past the end of the
// 1,000,000-byte file (its header gives 26,179,584 bytes)". It never names
// the archive's file, which the caller knows; a PathError's path() is the
// file it concerns.

#ifndef QUILLSTONE_DAT_ERROR_H_
#define QUILLSTONE_DAT_ERROR_H_

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <source_location>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quillstone_dat/io_error.h"

namespace quillstone_dat {

struct ContextFrame {
  std::string message;
  std::string file;
  std::uint32_t line = 0;

  friend bool operator==(const ContextFrame&, const ContextFrame&) = default;
};

class BinReadError {
 public:
  explicit BinReadError(IoError cause) : cause_(std::move(cause)) {}

  // Adds a frame outside the existing ones; the location is the caller's.
  BinReadError& with_context(
      std::string message,
      std::source_location where = std::source_location::current());

  // Records that the read failed in `field` of `record` (both static text)
  // and adds the frame "While parsing field 'FIELD' in RECORD".
  BinReadError& in_field(
      const char* record, const char* field,
      std::source_location where = std::source_location::current());

  // Records that a directory node counted `count` entries, more than its
  // slots hold: why its entries ran past the node's end.
  BinReadError& counting_entries(std::uint32_t count);

  const IoError& cause() const { return cause_; }
  const std::vector<ContextFrame>& frames() const { return frames_; }
  // The record and field that failed, as in_field() named them; empty when
  // the read was of no record's field.
  std::string_view record() const { return record_; }
  std::string_view field() const { return field_; }
  // The entry count of the node whose entries ran out, when that is why.
  std::optional<std::uint32_t> counted_entries() const {
    return counted_entries_;
  }

  // The cause's message alone without frames; otherwise a block of lines
  // under a "Backtrace" heading: the cause, then each frame, innermost first.
  std::string debug() const;

  friend bool operator==(const BinReadError&, const BinReadError&) = default;

 private:
  IoError cause_;
  std::vector<ContextFrame> frames_;
  std::string_view record_;
  std::string_view field_;
  std::optional<std::uint32_t> counted_entries_;
};

struct ErrorContext;

class DatError {
 public:
  // Declaration order is the kinds' canonical order.
  enum class Kind : std::uint8_t {
    kIo,
    kBinRead,
    kNotFound,
    kDuplicateId,
    kDuplicateNamespacedId,
    kInvalidMagic,
    kUnsupportedVersion,
    kInvalidNamespace,
    kCorruption,
    kDecompressionFailed,
    kPathError,
    kOther,
  };

  // Conversions: an I/O error becomes Io, a record-read error BinRead.
  DatError(IoError error);       // NOLINT(google-explicit-constructor)
  DatError(BinReadError error);  // NOLINT(google-explicit-constructor)

  static DatError not_found(std::uint32_t file_id);
  static DatError duplicate_id(std::uint32_t file_id);
  static DatError duplicate_namespaced_id(std::string name_space,
                                          std::uint32_t file_id);
  static DatError invalid_magic(std::string text);
  static DatError unsupported_version(std::uint32_t version);
  static DatError invalid_namespace(std::string text);
  static DatError corruption(std::string text);
  static DatError decompression_failed(std::uint32_t value);
  static DatError path_error(std::filesystem::path path, IoError source);
  static DatError other(std::string text);

  Kind kind() const;

  // The wrapped I/O error of Io and PathError, or the cause of BinRead.
  const IoError* io_error() const;
  const BinReadError* bin_read_error() const;
  // The id of NotFound, DuplicateId and DuplicateNamespacedId.
  std::optional<std::uint32_t> file_id() const;
  // The path of PathError.
  const std::filesystem::path* path() const;
  // The text of InvalidMagic, InvalidNamespace, Corruption and Other, or the
  // namespace of DuplicateNamespacedId; empty for the other kinds.
  std::string_view text() const;
  // The number of UnsupportedVersion and DecompressionFailed.
  std::optional<std::uint32_t> number() const;

  // The debug form: `NotFound(255)`, `Corruption("...")`,
  // `PathError { path: "...", source: IoError { ... } }`, ...
  std::string debug() const;
  // A one-line message for people (see the top of this file).
  std::string message() const;

  // What the library knew of the archive where the error arose; null when
  // it arose outside one. Not part of debug().
  const ErrorContext* context() const { return context_.get(); }
  DatError& set_context(ErrorContext context);

  // Errors are equal when kind and payload are; the context only explains.
  friend bool operator==(const DatError& a, const DatError& b) {
    return a.kind_ == b.kind_ && a.payload_ == b.payload_;
  }

 private:
  struct FileIdPayload {
    std::uint32_t file_id;
    friend bool operator==(const FileIdPayload&,
                           const FileIdPayload&) = default;
  };
  struct TextPayload {
    std::string text;
    friend bool operator==(const TextPayload&, const TextPayload&) = default;
  };
  struct NumberPayload {
    std::uint32_t number;
    friend bool operator==(const NumberPayload&,
                           const NumberPayload&) = default;
  };
  struct NamespacedIdPayload {
    std::string name_space;
    std::uint32_t file_id;
    friend bool operator==(const NamespacedIdPayload&,
                           const NamespacedIdPayload&) = default;
  };
  struct PathPayload {
    std::filesystem::path path;
    IoError source;
    friend bool operator==(const PathPayload&, const PathPayload&) = default;
  };
  using Payload =
      std::variant<IoError, BinReadError, FileIdPayload, NamespacedIdPayload,
                   TextPayload, NumberPayload, PathPayload>;

  DatError(Kind kind, Payload payload)
      : kind_(kind), payload_(std::move(payload)) {}

  Kind kind_;
  Payload payload_;
  // Shared and never changed once set: copies of an error stay cheap.
  std::shared_ptr<const ErrorContext> context_;
};

// "Io", "BinRead", "NotFound", ...
std::string_view to_string(DatError::Kind kind);

std::ostream& operator<<(std::ostream& out, const DatError& error);

template <typename T>
using DatResult = std::expected<T, DatError>;

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_ERROR_H_
