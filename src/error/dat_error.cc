#include <string_view>

#include "error/escape.h"
#include "quillstone_dat/error.h"
#include "quillstone_dat/error_context.h"

namespace quillstone_dat {

namespace {

// Source paths in frames are shown from the project's top folders on.
std::string_view short_source_path(std::string_view file) {
  for (std::string_view top : {"/src/", "/tests/", "/tools/"}) {
    const std::size_t at = file.rfind(top);
    if (at != std::string_view::npos) return file.substr(at + 1);
  }
  return file;
}

template <typename... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
// Spelled out for compilers without deduction from aggregate initialisation.
template <typename... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

BinReadError& BinReadError::with_context(std::string message,
                                         std::source_location where) {
  frames_.push_back(ContextFrame{
      std::move(message), std::string(short_source_path(where.file_name())),
      where.line()});
  return *this;
}

BinReadError& BinReadError::in_field(const char* record, const char* field,
                                     std::source_location where) {
  record_ = record;
  field_ = field;
  return with_context(
      std::string("While parsing field '") + field + "' in " + record, where);
}

BinReadError& BinReadError::counting_entries(std::uint32_t count) {
  counted_entries_ = count;
  return *this;
}

std::string BinReadError::debug() const {
  std::string cause = cause_.message();
  if (cause_.os_error()) {
    cause += " (os error " + std::to_string(*cause_.os_error()) + ")";
  }
  if (frames_.empty()) return cause;
  std::string text = "\n ---------- Backtrace ----------\n  0: " + cause + "\n";
  for (std::size_t i = 0; i < frames_.size(); ++i) {
    const ContextFrame& frame = frames_[i];
    text += "  " + std::to_string(i + 1) + ": " + frame.message +
            "\n       at " + frame.file + ":" + std::to_string(frame.line) +
            "\n";
  }
  text += " -------------------------------\n";
  return text;
}

DatError::DatError(IoError error) : DatError(Kind::kIo, std::move(error)) {}

DatError::DatError(BinReadError error)
    : DatError(Kind::kBinRead, std::move(error)) {}

DatError DatError::not_found(std::uint32_t file_id) {
  return DatError(Kind::kNotFound, FileIdPayload{file_id});
}
DatError DatError::duplicate_id(std::uint32_t file_id) {
  return DatError(Kind::kDuplicateId, FileIdPayload{file_id});
}
DatError DatError::duplicate_namespaced_id(std::string name_space,
                                           std::uint32_t file_id) {
  return DatError(Kind::kDuplicateNamespacedId,
                  NamespacedIdPayload{std::move(name_space), file_id});
}
DatError DatError::invalid_magic(std::string text) {
  return DatError(Kind::kInvalidMagic, TextPayload{std::move(text)});
}
DatError DatError::unsupported_version(std::uint32_t version) {
  return DatError(Kind::kUnsupportedVersion, NumberPayload{version});
}
DatError DatError::invalid_namespace(std::string text) {
  return DatError(Kind::kInvalidNamespace, TextPayload{std::move(text)});
}
DatError DatError::corruption(std::string text) {
  return DatError(Kind::kCorruption, TextPayload{std::move(text)});
}
DatError DatError::decompression_failed(std::uint32_t value) {
  return DatError(Kind::kDecompressionFailed, NumberPayload{value});
}
DatError DatError::path_error(std::filesystem::path path, IoError source) {
  return DatError(Kind::kPathError,
                  PathPayload{std::move(path), std::move(source)});
}
DatError DatError::other(std::string text) {
  return DatError(Kind::kOther, TextPayload{std::move(text)});
}

DatError::Kind DatError::kind() const { return kind_; }

DatError& DatError::set_context(ErrorContext context) {
  context_ = std::make_shared<const ErrorContext>(std::move(context));
  return *this;
}

const IoError* DatError::io_error() const {
  if (const auto* io = std::get_if<IoError>(&payload_)) return io;
  if (const auto* path = std::get_if<PathPayload>(&payload_)) {
    return &path->source;
  }
  if (const auto* bin = std::get_if<BinReadError>(&payload_)) {
    return &bin->cause();
  }
  return nullptr;
}

const BinReadError* DatError::bin_read_error() const {
  return std::get_if<BinReadError>(&payload_);
}

std::optional<std::uint32_t> DatError::file_id() const {
  if (const auto* id = std::get_if<FileIdPayload>(&payload_)) {
    return id->file_id;
  }
  if (const auto* ns = std::get_if<NamespacedIdPayload>(&payload_)) {
    return ns->file_id;
  }
  return std::nullopt;
}

const std::filesystem::path* DatError::path() const {
  const auto* payload = std::get_if<PathPayload>(&payload_);
  return payload ? &payload->path : nullptr;
}

std::string_view DatError::text() const {
  if (const auto* text = std::get_if<TextPayload>(&payload_)) {
    return text->text;
  }
  if (const auto* ns = std::get_if<NamespacedIdPayload>(&payload_)) {
    return ns->name_space;
  }
  return {};
}

std::optional<std::uint32_t> DatError::number() const {
  if (const auto* number = std::get_if<NumberPayload>(&payload_)) {
    return number->number;
  }
  return std::nullopt;
}

std::string DatError::debug() const {
  const std::string name(to_string(kind_));
  return std::visit(
      Overloaded{
          [&](const IoError& io) { return name + "(" + io.debug() + ")"; },
          [&](const BinReadError& bin) {
            return name + "(" + bin.debug() + ")";
          },
          [&](const FileIdPayload& id) {
            return name + "(" + std::to_string(id.file_id) + ")";
          },
          [&](const TextPayload& text) {
            return name + "(" + quote_escaped(text.text) + ")";
          },
          [&](const NumberPayload& number) {
            return name + "(" + std::to_string(number.number) + ")";
          },
          [&](const NamespacedIdPayload& ns) {
            return name + " { namespace: " + quote_escaped(ns.name_space) +
                   ", file_id: " + std::to_string(ns.file_id) + " }";
          },
          [&](const PathPayload& path) {
            return name + " { path: " + quote_escaped(path.path.native()) +
                   ", source: " + path.source.debug() + " }";
          },
      },
      payload_);
}

std::string_view to_string(DatError::Kind kind) {
  switch (kind) {
    case DatError::Kind::kIo:
      return "Io";
    case DatError::Kind::kBinRead:
      return "BinRead";
    case DatError::Kind::kNotFound:
      return "NotFound";
    case DatError::Kind::kDuplicateId:
      return "DuplicateId";
    case DatError::Kind::kDuplicateNamespacedId:
      return "DuplicateNamespacedId";
    case DatError::Kind::kInvalidMagic:
      return "InvalidMagic";
    case DatError::Kind::kUnsupportedVersion:
      return "UnsupportedVersion";
    case DatError::Kind::kInvalidNamespace:
      return "InvalidNamespace";
    case DatError::Kind::kCorruption:
      return "Corruption";
    case DatError::Kind::kDecompressionFailed:
      return "DecompressionFailed";
    case DatError::Kind::kPathError:
      return "PathError";
    case DatError::Kind::kOther:
      break;
  }
  return "Other";
}

std::ostream& operator<<(std::ostream& out, const DatError& error) {
  return out << error.debug();
}

}  // namespace quillstone_dat
