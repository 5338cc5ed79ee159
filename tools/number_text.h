// Numbers and times as the tool shows them to people; grouped digits come
// from the library's own messages (utils/shown_numbers.h).

#ifndef QUILLSTONE_DAT_TOOLS_NUMBER_TEXT_H_
#define QUILLSTONE_DAT_TOOLS_NUMBER_TEXT_H_

#include <cstdint>
#include <string>

#include "utils/shown_numbers.h"

namespace quillstone_dat::tool {

// 1536 as "1.5 KiB"; under 1024 as "12 B".
std::string human_bytes(std::uint64_t bytes);

// Seconds since 1970 as an ISO 8601 time in UTC: "2006-02-01T12:29:18Z".
std::string iso_time(std::uint32_t seconds);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_NUMBER_TEXT_H_
