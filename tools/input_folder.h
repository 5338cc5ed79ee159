// The files a writing command takes as input: regular files named by an id
// (eight hex digits, then optionally '.' and an extension: 0A000001.bin),
// given one by one or as the folders that hold them. pack and add read
// their inputs through here.

#ifndef QUILLSTONE_DAT_TOOLS_INPUT_FOLDER_H_
#define QUILLSTONE_DAT_TOOLS_INPUT_FOLDER_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillstone_dat/dat_writer.h"
#include "quillstone_dat/error.h"

namespace quillstone_dat::tool {

// The id a file name stands for, if it is one.
std::optional<std::uint32_t> id_of_name(std::string_view name);

struct InputFile {
  std::string name;
  std::filesystem::path path;
};

// Input files by id (sorted by name within an id: more than one is the
// caller's error to report), and the names passed over with why ("name:
// why", sorted: directory order is arbitrary, messages should not be).
struct InputListing {
  std::map<std::uint32_t, std::vector<InputFile>> sources;
  std::vector<std::string> skipped;
};

// Adds the regular files of `folder` named by an id to `listing`;
// `manifest.json` is passed over silently. PathError when the folder cannot
// be read.
DatResult<void> list_folder(const std::filesystem::path& folder,
                            InputListing& listing);

// Reports "more than one file for id ..." for each id with several files
// under `subject`; true when there was any.
bool report_duplicate_inputs(const InputListing& listing,
                             std::string_view subject);

// The whole of the file at `path`; PathError when it cannot be read.
DatResult<std::vector<std::uint8_t>> read_whole_file(
    const std::filesystem::path& path);

}  // namespace quillstone_dat::tool

#endif  // QUILLSTONE_DAT_TOOLS_INPUT_FOLDER_H_
