// Header fields by name, for the comparison and the patch, which deal in
// some of the fields rather than whole headers. The names and the order
// are for_each_header_field's.

#ifndef QUILLSTONE_DAT_COMPARE_HEADER_FIELDS_H_
#define QUILLSTONE_DAT_COMPARE_HEADER_FIELDS_H_

#include <string_view>
#include <vector>

#include "quillstone_dat/dat_header.h"

namespace quillstone_dat {

// The fields that are an archive's content rather than its layout: those a
// writer takes as given (WriterOptions), the block size aside. Two
// archives that differ in any other field can hold the same.
const std::vector<std::string_view>& given_header_fields();

// The given fields in which `a` and `b` differ, in on-disk order.
std::vector<std::string_view> differing_given_fields(const DatHeader& a,
                                                     const DatHeader& b);

// Whether field `name` holds the same in `a` and `b`; false for a name
// that no field has.
bool same_header_field(const DatHeader& a, const DatHeader& b,
                       std::string_view name);

// Sets field `name` of `to` to its value in `from`; false, changing
// nothing, for a name that no field has.
bool copy_header_field(const DatHeader& from, DatHeader& to,
                       std::string_view name);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_COMPARE_HEADER_FIELDS_H_
