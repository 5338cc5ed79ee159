#include "entry_json.h"

#include "file_id.h"

namespace quillstone_dat::tool {

nlohmann::ordered_json entry_to_json(const DatFileEntry& entry) {
  return {
      {"id", entry.id},
      {"id_hex", hex_id(entry.id)},
      {"bit_flags", entry.bit_flags},
      {"offset", entry.offset},
      {"size", entry.size},
      {"timestamp", entry.timestamp},
      {"version", entry.version},
      {"compressed", entry.is_compressed()},
  };
}

}  // namespace quillstone_dat::tool
