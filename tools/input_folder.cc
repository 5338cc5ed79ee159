#include "input_folder.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <iterator>

#include "error_text.h"
#include "file_id.h"
#include "manifest.h"

namespace quillstone_dat::tool {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kIdDigits = 8;

DatError path_error(const fs::path& path, const std::error_code& error) {
  return DatError::path_error(path, IoError::from_errno(error.value()));
}

}  // namespace

DatResult<std::vector<std::uint8_t>> read_whole_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> bytes;
  if (in) bytes.assign(std::istreambuf_iterator<char>(in), {});
  if (!in && !in.eof()) {
    return std::unexpected(
        DatError::path_error(path, IoError::from_errno(errno)));
  }
  return bytes;
}

std::optional<std::uint32_t> id_of_name(std::string_view name) {
  if (name.size() < kIdDigits) return std::nullopt;
  const std::string_view digits = name.substr(0, kIdDigits);
  const std::string_view rest = name.substr(kIdDigits);
  if (!rest.empty() && (rest.size() < 2 || rest.front() != '.')) {
    return std::nullopt;
  }
  if (!std::ranges::all_of(digits, [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    return std::nullopt;
  }
  std::uint32_t id = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), id, 16);
  return id;
}

DatResult<void> list_folder(const fs::path& folder, InputListing& listing) {
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) return std::unexpected(path_error(folder, error));
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) return std::unexpected(path_error(folder, error));
    const std::string name = it->path().filename().string();
    if (name == kManifestName) continue;
    const std::optional<std::uint32_t> id = id_of_name(name);
    // Follows symbolic links, as reading the file will.
    std::error_code unknown_type;
    if (!it->is_regular_file(unknown_type)) {
      listing.skipped.push_back(name + ": not a regular file");
    } else if (!id) {
      listing.skipped.push_back(name + ": name is not a file id");
    } else {
      listing.sources[*id].push_back({name, it->path()});
    }
  }
  if (error) return std::unexpected(path_error(folder, error));
  std::ranges::sort(listing.skipped);
  for (auto& [id, files] : listing.sources) {
    std::ranges::sort(files, {}, &InputFile::name);
  }
  return {};
}

bool report_duplicate_inputs(const InputListing& listing,
                             std::string_view subject) {
  bool duplicated = false;
  for (const auto& [id, files] : listing.sources) {
    if (files.size() < 2) continue;
    std::string names;
    for (const InputFile& file : files) names += " " + file.name;
    report_failure(subject, fmt::format("more than one file for id {}:{}",
                                        shown_id(id), names));
    duplicated = true;
  }
  return duplicated;
}

}  // namespace quillstone_dat::tool
