#include "quillstone_dat/io_error.h"

#include <cerrno>
#include <cstring>

#include "error/escape.h"

namespace quillstone_dat {

namespace {

IoErrorKind kind_of_errno(int errno_value) {
  switch (errno_value) {
    case ENOENT:
      return IoErrorKind::kNotFound;
    case EACCES:
    case EPERM:
      return IoErrorKind::kPermissionDenied;
    case EINTR:
      return IoErrorKind::kInterrupted;
    case EINVAL:
      return IoErrorKind::kInvalidInput;
    case EISDIR:
      return IoErrorKind::kIsADirectory;
    case ESPIPE:
      return IoErrorKind::kNotSeekable;
    case ENOSPC:
      return IoErrorKind::kStorageFull;
    default:
      return IoErrorKind::kOther;
  }
}

}  // namespace

std::string_view to_string(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::kNotFound:
      return "NotFound";
    case IoErrorKind::kPermissionDenied:
      return "PermissionDenied";
    case IoErrorKind::kInterrupted:
      return "Interrupted";
    case IoErrorKind::kUnexpectedEof:
      return "UnexpectedEof";
    case IoErrorKind::kInvalidInput:
      return "InvalidInput";
    case IoErrorKind::kIsADirectory:
      return "IsADirectory";
    case IoErrorKind::kNotSeekable:
      return "NotSeekable";
    case IoErrorKind::kStorageFull:
      return "StorageFull";
    case IoErrorKind::kOther:
      break;
  }
  return "Other";
}

IoError::IoError(IoErrorKind kind, std::string message)
    : kind_(kind), message_(std::move(message)) {}

IoError IoError::from_errno(int errno_value) {
  IoError error(kind_of_errno(errno_value), std::strerror(errno_value));
  error.os_error_ = errno_value;
  return error;
}

IoError IoError::fill_whole_buffer() {
  return IoError(IoErrorKind::kUnexpectedEof, "failed to fill whole buffer");
}

IoError IoError::not_enough_bytes() {
  return IoError(IoErrorKind::kUnexpectedEof, "not enough bytes in reader");
}

std::string IoError::debug() const {
  std::string text = "IoError { kind: ";
  text += to_string(kind_);
  text += ", message: ";
  text += quote_escaped(message_);
  if (os_error_) {
    text += ", os_error: ";
    text += std::to_string(*os_error_);
  }
  text += " }";
  return text;
}

}  // namespace quillstone_dat
