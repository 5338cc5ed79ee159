// Decoding and encoding of the archive's fixed records: the 80-byte header
// and the 24-byte directory entry (layouts in dat_header.h and
// dat_file_entry.h). Fields are read in declared order; a field that fails
// names itself in the error's context frame.

#ifndef QUILLSTONE_DAT_LIB_DAT_RECORDS_H_
#define QUILLSTONE_DAT_LIB_DAT_RECORDS_H_

#include <cstdint>
#include <expected>
#include <span>

#include "lib/record_reader.h"
#include "quillstone_dat/dat_file_entry.h"
#include "quillstone_dat/dat_header.h"

namespace quillstone_dat {

std::expected<DatHeader, BinReadError> read_header(RecordReader& reader);
std::expected<DatFileEntry, BinReadError> read_entry(RecordReader& reader);

// The entry in `in`, for callers that know all its bytes are there.
// Precondition: `in` holds DatFileEntry::kEncodedSize bytes.
DatFileEntry decode_entry(std::span<const std::uint8_t> in);

// Precondition: `out` holds DatHeader::kEncodedSize bytes.
void encode_header(const DatHeader& header, std::span<std::uint8_t> out);
// Precondition: `out` holds DatFileEntry::kEncodedSize bytes.
void encode_entry(const DatFileEntry& entry, std::span<std::uint8_t> out);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_LIB_DAT_RECORDS_H_
