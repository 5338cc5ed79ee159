#include "lib/record_reader.h"

#include <algorithm>
#include <string>

#include "utils/coding.h"

namespace quillstone_dat {

namespace {

std::string field_context(const char* record, const char* field) {
  return std::string("While parsing field '") + field + "' in " + record;
}

}  // namespace

BinReadError RecordReader::short_read(IoError eof_cause) const {
  return BinReadError(error_at_end_ ? *error_at_end_ : std::move(eof_cause));
}

std::expected<std::uint32_t, BinReadError> RecordReader::u32() {
  if (data_.size() - position_ < 4) {
    return std::unexpected(short_read(IoError::fill_whole_buffer()));
  }
  const std::uint32_t value = decode_fixed32(data_.data() + position_);
  position_ += 4;
  return value;
}

std::expected<std::uint32_t, BinReadError> RecordReader::field_u32(
    const char* record, const char* field, std::source_location where) {
  auto value = u32();
  if (!value) value.error().with_context(field_context(record, field), where);
  return value;
}

std::expected<void, BinReadError> RecordReader::field_bytes(
    std::span<std::uint8_t> out, const char* record, const char* field,
    std::source_location where) {
  if (data_.size() - position_ < out.size()) {
    BinReadError error = short_read(IoError::not_enough_bytes());
    error.with_context(field_context(record, field), where);
    return std::unexpected(std::move(error));
  }
  std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(position_),
              out.size(), out.begin());
  position_ += out.size();
  return {};
}

}  // namespace quillstone_dat
