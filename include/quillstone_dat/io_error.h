// IoError is the platform's error value for a failed file operation: a kind,
// a message and, when the operating system reported it, the errno value.
//
// Debug form: IoError { kind: UnexpectedEof, message: "failed to fill whole
// buffer" } or, for an OS error, IoError { kind: NotFound, message: "No such
// file or directory", os_error: 2 }.

#ifndef QUILLSTONE_DAT_IO_ERROR_H_
#define QUILLSTONE_DAT_IO_ERROR_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillstone_dat {

enum class IoErrorKind : std::uint8_t {
  kNotFound,
  kPermissionDenied,
  kInterrupted,
  kUnexpectedEof,
  kInvalidInput,
  kIsADirectory,
  kNotSeekable,
  kStorageFull,
  kOther,
};

// "NotFound", "UnexpectedEof", ...
std::string_view to_string(IoErrorKind kind);

class IoError {
 public:
  IoError(IoErrorKind kind, std::string message);

  // The error of a failed system call: kind and message come from
  // `errno_value`.
  static IoError from_errno(int errno_value);
  // End of data inside a fixed-width field: "failed to fill whole buffer".
  static IoError fill_whole_buffer();
  // End of data inside a byte run: "not enough bytes in reader".
  static IoError not_enough_bytes();

  IoErrorKind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  std::optional<int> os_error() const { return os_error_; }

  std::string debug() const;

  friend bool operator==(const IoError&, const IoError&) = default;

 private:
  IoErrorKind kind_;
  std::string message_;
  std::optional<int> os_error_;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_IO_ERROR_H_
