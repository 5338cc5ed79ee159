// A directory entry as a JSON object, as `ls --json` writes one a line and
// `diff --json` shows each side of a file: its fields as numbers, the id
// also in hex (jq has no hex literals), and whether it is compressed.

#ifndef QUILLSTONE_DAT_TOOLS_ENTRY_JSON_H_
#define QUILLSTONE_DAT_TOOLS_ENTRY_JSON_H_

#include <nlohmann/json.hpp>

#include "quillstone_dat/dat_file_entry.h"

namespace quillstone_dat::tool {

nlohmann::ordered_json entry_to_json(const DatFileEntry& entry);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_ENTRY_JSON_H_
