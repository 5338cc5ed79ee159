// RecordReader reads the fields of on-disk records from bytes already in
// memory, front to back. A field that runs past the end fails with an
// UnexpectedEof cause; a failure of the read that fetched the bytes can be
// attached at the position where the data stopped, so the field that
// covers that position reports it instead.

#ifndef QUILLSTONE_DAT_LIB_RECORD_READER_H_
#define QUILLSTONE_DAT_LIB_RECORD_READER_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <source_location>
#include <span>

#include "quillstone_dat/error.h"

namespace quillstone_dat {

class RecordReader {
 public:
  explicit RecordReader(std::span<const std::uint8_t> data,
                        std::optional<IoError> error_at_end = std::nullopt)
      : data_(data), error_at_end_(std::move(error_at_end)) {}

  // A bare u32; failures carry no frame.
  std::expected<std::uint32_t, BinReadError> u32();

  // A u32 field of a record: a failure gets the frame
  // "While parsing field '<field>' in <record>".
  std::expected<std::uint32_t, BinReadError> field_u32(
      const char* record, const char* field,
      std::source_location where = std::source_location::current());

  // A fixed run of bytes of a record; running out gives "not enough bytes
  // in reader".
  std::expected<void, BinReadError> field_bytes(
      std::span<std::uint8_t> out, const char* record, const char* field,
      std::source_location where = std::source_location::current());

  std::size_t position() const { return position_; }

 private:
  BinReadError short_read(IoError eof_cause) const;

  std::span<const std::uint8_t> data_;
  std::optional<IoError> error_at_end_;
  std::size_t position_ = 0;
};

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_LIB_RECORD_READER_H_
