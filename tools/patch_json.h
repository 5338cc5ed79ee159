// patch.json, the description of a patch folder that `diff --patch`
// writes and `apply` reads: what to put (each file's entry fields, the
// checksum of its stored bytes, and the name of the file in the folder
// that holds them, or null when the base's bytes are kept), what to
// remove, the header fields to set, and the base: the entry fields and
// checksums of the files the patch touches, and the header fields' values
// before. One JSON object, one file a line:
//
//   {
//     "patch": "quillstone-dat patch",
//     "patch_version": 1,
//     "header": {"game_version":12},
//     "put": [
//       {"id":167772161,"id_hex":"0A000001","file":"0A000001.bin",
//        "bit_flags":0,"size":1234,"timestamp":0,"version":0,
//        "checksum":"<32 hex digits>"}
//     ],
//     "remove": [{"id":167772165,"id_hex":"0A000005"}],
//     "base": {
//       "header": {"game_version":11},
//       "files": [{"id":167772165,"id_hex":"0A000005","bit_flags":0,
//                  "size":99,"timestamp":0,"version":0,
//                  "checksum":"<32 hex digits>"}]
//     }
//   }
//
// docs/format.md describes every member.

#ifndef QUILLSTONE_DAT_TOOLS_PATCH_JSON_H_
#define QUILLSTONE_DAT_TOOLS_PATCH_JSON_H_

#include <cstdint>
#include <expected>
#include <map>
#include <string>
#include <string_view>

#include "quillstone_dat/archive_patch.h"

namespace quillstone_dat::tool {

inline constexpr std::string_view kPatchName = "patch.json";

// A patch and the names of the files in its folder that hold the stored
// bytes it carries, by id.
struct PatchDocument {
  ArchivePatch patch;
  std::map<std::uint32_t, std::string> files;
};

std::string render_patch(const PatchDocument& document);

// The patch in `text`. Fails, saying what is wrong, on anything but a
// patch this tool writes: missing or extra members, numbers out of range,
// a checksum that is not 32 hex digits, a file name with a folder in it,
// an id or file listed twice, an id both put and removed, bytes kept from
// a base file it does not list, base files or header fields it does not
// touch.
std::expected<PatchDocument, std::string> parse_patch(std::string_view text);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_PATCH_JSON_H_
