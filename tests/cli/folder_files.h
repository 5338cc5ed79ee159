// Listing the files that tool runs leave in a folder.

#ifndef QUILLSTONE_DAT_TESTS_CLI_FOLDER_FILES_H_
#define QUILLSTONE_DAT_TESTS_CLI_FOLDER_FILES_H_

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/archive_builder.h"

namespace quillstone_dat::testing {

// The names in `folder`, hidden ones included, sorted.
inline std::vector<std::string> names_in(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::ranges::sort(names);
  return names;
}

}  // namespace quillstone_dat::testing

#endif  // QUILLSTONE_DAT_TESTS_CLI_FOLDER_FILES_H_
