// Text in debug forms: double-quoted, with quotes, backslashes and control
// characters escaped so that one error renders as one line.

#ifndef QUILLSTONE_DAT_ERROR_ESCAPE_H_
#define QUILLSTONE_DAT_ERROR_ESCAPE_H_

#include <string>
#include <string_view>

namespace quillstone_dat {

std::string quote_escaped(std::string_view text);

}  // namespace quillstone_dat

#endif  // QUILLSTONE_DAT_ERROR_ESCAPE_H_
